// Capabilities from the answer to CAPA and their explanation.
#include "conversation/Capabilities.h"

#include "auth/SaslClient.h"
#include "conversation/ReplyRules.h"
#include "text/AsciiText.h"

namespace {

// Words as a person should read them in the guidance: the log's character
// rule and a length that cannot flood the panel.
std::string Shown(const std::string& Word)
{
    return QuotedStatusWord(Word, 40);
}

std::string JoinShown(const std::vector<std::string>& Words)
{
    std::string Text;
    for (const std::string& Word : Words)
        Text += (Text.empty() ? "" : " ") + Shown(Word);
    return Text;
}

// "A, B und C": the words as shown, the last two joined by Last.
std::string Listed(const std::vector<std::string>& Words, const char* Last)
{
    std::string Text;
    for (size_t At = 0; At < Words.size(); ++At)
        Text += (At == 0 ? "" : At + 1 == Words.size() ? Last : ", ") + Shown(Words[At]);
    return Text;
}

// The mechanisms the assistant cannot work out are named, with what to do instead.
std::string SaslExplanation(const std::vector<std::string>& Mechanisms)
{
    std::vector<std::string> Known, Unknown;
    for (const std::string& Mechanism : Mechanisms) {
        TSaslMechanism Parsed;
        (ParseSaslMechanism(Mechanism, Parsed) ? Known : Unknown).push_back(Mechanism);
    }
    std::string Text = "Anmeldung mit dem Kommando AUTH und einem dieser Verfahren";
    if (Unknown.empty())
        return Text + " (Menü \"Befehle\", \"AUTH ...\").";
    Text += ". " + Listed(Unknown, " und ")
        + " kann der Assistent nicht ausrechnen (er kennt PLAIN, LOGIN, CRAM-MD5, SCRAM-SHA-256, XOAUTH2 und "
          "OAUTHBEARER). ";
    if (!Known.empty())
        return Text + "Wählen Sie im Assistenten (Menü \"Befehle\", \"AUTH ...\") " + Listed(Known, " oder ") + ".";
    return Text
        + "Melden Sie sich statt dessen mit USER und PASS oder mit APOP an, wenn der Server das erlaubt; "
          "sonst braucht es ein Mail-Programm, das eines seiner Verfahren beherrscht.";
}

std::string Explain(const TCapability& Capability)
{
    const std::string& Name = Capability.Name;
    const std::string Arguments = JoinShown(Capability.Arguments);
    const std::string First = Capability.Arguments.empty() ? "" : Shown(Capability.Arguments.front());
    if (Name == "TOP")
        return "TOP: Kopf und die ersten Zeilen einer Nachricht abrufen, ohne sie ganz zu laden (Button \"RETR\", im "
               "Assistenten \"TOP\").";
    if (Name == "USER")
        return "USER: Anmeldung mit Name und Paßwort über USER und PASS (Buttons \"USER\" und \"PASS\").";
    if (Name == "UIDL")
        return "UIDL: dauerhafte Kennungen der Nachrichten, an denen ein Programm erkennt, was es schon abgerufen hat "
               "(Button \"LIST\", im Assistenten \"UIDL\").";
    if (Name == "SASL")
        return "SASL " + Arguments + ": " + SaslExplanation(Capability.Arguments);
    if (Name == "STLS")
        return "STLS: Die Verbindung läßt sich vor der Anmeldung verschlüsseln (Menü \"Befehle\", \"STLS\").";
    if (Name == "RESP-CODES")
        return "RESP-CODES: Antworten können Codes in eckigen Klammern tragen, etwa [IN-USE]; Brieflotse erklärt sie.";
    if (Name == "AUTH-RESP-CODE")
        return "AUTH-RESP-CODE: Eine abgelehnte Anmeldung sagt mit [AUTH], daß die Anmeldedaten selbst falsch waren.";
    if (Name == "PIPELINING")
        return "PIPELINING: Der Server nimmt mehrere Kommandos auf einmal an; Brieflotse sendet trotzdem eines nach "
               "dem anderen, damit Sie jede Antwort sehen.";
    if (Name == "EXPIRE") {
        if (AsciiUpper(First) == "NEVER")
            return "EXPIRE NEVER: Der Server löscht keine Nachricht von sich aus.";
        if (First == "0")
            return "EXPIRE 0: Der Server löscht eine Nachricht, sobald sie abgerufen wurde (RETR), auch ohne DELE.";
        return "EXPIRE " + Arguments + ": Der Server löscht abgerufene Nachrichten nach so vielen Tagen von selbst.";
    }
    if (Name == "LOGIN-DELAY")
        return "LOGIN-DELAY " + Arguments
            + ": Zwischen zwei Anmeldungen müssen so viele Sekunden liegen; wer früher kommt, erhält [LOGIN-DELAY].";
    if (Name == "IMPLEMENTATION")
        return "IMPLEMENTATION: Die Server-Software nennt sich \"" + Arguments + "\".";
    if (Name == "UTF8")
        return "UTF8: Der Server versteht nach dem Kommando UTF8 Namen, Paßwörter und Nachrichten in UTF-8.";
    return Shown(Name) + (Arguments.empty() ? "" : " " + Arguments)
        + ": eine Fähigkeit, die Brieflotse nicht kennt (eine Erweiterung des Servers).";
}

// One line of the body without its line end, dot-stuffing undone; false for
// the terminator.
bool UnstuffLine(std::string& Line)
{
    if (Line == ".")
        return false;
    if (!Line.empty() && Line[0] == '.')
        Line.erase(0, 1);
    return true;
}

std::vector<std::string> SplitWords(const std::string& Line)
{
    std::vector<std::string> Words;
    size_t At = 0;
    while (At < Line.size() && Words.size() <= TCapabilities::kMaxCount) {
        const size_t Start = Line.find_first_not_of(" \t", At);
        if (Start == std::string::npos)
            break;
        const size_t End = Line.find_first_of(" \t", Start);
        Words.push_back(Line.substr(Start, End == std::string::npos ? std::string::npos : End - Start));
        At = End == std::string::npos ? Line.size() : End;
    }
    return Words;
}

} // namespace

TCapabilities TCapabilities::Parse(const std::string& Body)
{
    TCapabilities Result;
    for (std::string Line : SplitLogLines(Body)) {
        if (!UnstuffLine(Line))
            break;
        std::vector<std::string> Words = SplitWords(Line);
        if (Words.empty())
            continue;
        TCapability Capability;
        Capability.Name = AsciiUpper(Words.front());
        Words.erase(Words.begin());
        if (Words.size() > kMaxCount)
            Words.resize(kMaxCount);
        Capability.Arguments = std::move(Words);
        Result.FList.push_back(std::move(Capability));
        if (Result.FList.size() == kMaxCount)
            break;
    }
    return Result;
}

const TCapability* TCapabilities::Find(const std::string& Name) const
{
    for (const TCapability& Capability : FList)
        if (Capability.Name == Name)
            return &Capability;
    return nullptr;
}

bool TCapabilities::Has(const std::string& Name) const
{
    return Find(Name) != nullptr;
}

std::vector<std::string> TCapabilities::SaslMechanisms() const
{
    std::vector<std::string> Mechanisms;
    if (const TCapability* Sasl = Find("SASL"))
        for (const std::string& Mechanism : Sasl->Arguments)
            Mechanisms.push_back(AsciiUpper(Mechanism));
    return Mechanisms;
}

std::string CapabilityGuidance(const TCapabilities& Capabilities)
{
    if (Capabilities.All().empty())
        return "Der Server hat CAPA bestätigt, aber keine Fähigkeit genannt. Melden Sie sich mit USER und PASS an.";
    std::string Text = "Der Server hat aufgezählt, was er außer den Grundkommandos kann (siehe Protokoll):";
    for (const TCapability& Capability : Capabilities.All())
        Text += "\r\n\u2022 " + Explain(Capability);
    return Text;
}
