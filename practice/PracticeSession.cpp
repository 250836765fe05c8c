#include "practice/PracticeSession.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <random>
#include <utility>

#include "auth/Pop3Auth.h"
#include "auth/SaslServer.h"
#include "text/AsciiText.h"

namespace {

const char* const kCrLf = "\r\n";
const char* const kMechanisms = "PLAIN LOGIN CRAM-MD5 SCRAM-SHA-256 XOAUTH2 OAUTHBEARER";

// A message number or line count: digits only, small enough for size_t.
bool ParseNumber(const std::string& Text, size_t& Value)
{
    if (Text.empty() || Text.size() > 9)
        return false;
    Value = 0;
    for (char Each : Text) {
        if (!IsAsciiDigit(Each))
            return false;
        Value = Value * 10 + static_cast<size_t>(Each - '0');
    }
    return true;
}

// Replies stay ASCII (clients show 8-bit bytes in many ways): umlauts as
// their two-letter forms.
std::string Ascii(const std::string& Text)
{
    static const std::pair<const char*, const char*> kForms[]
        = { { "ä", "ae" }, { "ö", "oe" }, { "ü", "ue" }, { "Ä", "Ae" }, { "Ö", "Oe" }, { "Ü", "Ue" }, { "ß", "ss" } };
    std::string Result = Text;
    for (const auto& [Umlaut, Form] : kForms) {
        for (size_t At = Result.find(Umlaut); At != std::string::npos; At = Result.find(Umlaut, At))
            Result.replace(At, std::strlen(Umlaut), Form);
    }
    return Result;
}

// What a client sent may come back in an answer: control and 8-bit bytes as
// \xNN, so no answer carries a raw byte a terminal or client would act on.
std::string Escaped(const std::string& Text)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string Result;
    Result.reserve(Text.size());
    for (const char Each : Text) {
        const auto Byte = static_cast<unsigned char>(Each);
        if (Byte >= 0x20 && Byte < 0x7f)
            Result += Each;
        else
            Result += std::string("\\x") + kHex[Byte >> 4] + kHex[Byte & 15];
    }
    return Result;
}

// The APOP timestamp: unique per greeting, in the form RFC 1939 shows.
std::string MakeTimestamp()
{
    static std::atomic<unsigned> Counter { 0 };
    std::random_device Random;
    const auto Now
        = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
    return "<" + std::to_string(Random() % 100000) + "." + std::to_string(++Counter) + "." + std::to_string(Now)
        + "@brieflotse.uebung>";
}

} // namespace

void TPracticeLoginClock::Record()
{
    std::lock_guard<std::mutex> Guard(FLock);
    FLast = TClock::now();
    FAny = true;
}

bool TPracticeLoginClock::Allows(int Seconds) const
{
    std::lock_guard<std::mutex> Guard(FLock);
    return !FAny || TClock::now() - FLast >= std::chrono::seconds(Seconds);
}

TPracticeSession::TPracticeSession(const TPracticeSetup& Setup, const TPracticeMailbox& Mailbox)
    : FSetup(Setup)
    , FMailbox(Mailbox)
    , FEncrypted(Setup.Encrypted)
    , FDeleted(Mailbox.Count(), false)
{
}

TPracticeSession::~TPracticeSession() = default;

size_t TPracticeSession::LineLimit() const
{
    // RFC 2449 allows 255; the program's command field sends up to 254
    // characters, and a practice server should answer what its client sends.
    return FSasl ? TSaslServer::MaxAnswerChars + 2 : 256;
}

void TPracticeSession::Show(TPracticeFault Fault) const
{
    if (FSetup.OnFault)
        FSetup.OnFault(Fault);
}

TPracticeAnswer TPracticeSession::Ok(const std::string& Text)
{
    TPracticeAnswer Answer;
    Answer.Lines = "+OK " + Escaped(Text) + kCrLf;
    return Answer;
}

TPracticeAnswer TPracticeSession::Err(const std::string& Text)
{
    TPracticeAnswer Answer;
    Answer.Lines = "-ERR " + Escaped(Text) + kCrLf;
    return Answer;
}

TPracticeAnswer TPracticeSession::Greeting()
{
    if (FSetup.OnExchange)
        FSetup.OnExchange();
    std::string Text = "Brieflotse-Uebungs-Server bereit";
    if (FSetup.Fault == TPracticeFault::NoApop)
        Show(TPracticeFault::NoApop);
    else {
        FTimestamp = MakeTimestamp();
        Text += " " + FTimestamp;
    }
    TPracticeAnswer Answer = Ok(Text);
    if (FSetup.Fault == TPracticeFault::Slow) {
        Answer.DelayMs = FSetup.SlowMs;
        Show(TPracticeFault::Slow);
    }
    return Answer;
}

TPracticeAnswer TPracticeSession::LineTooLong()
{
    return Err("Zeile zu lang (hoechstens " + std::to_string(LineLimit()) + " Zeichen mit CR LF)");
}

TPracticeAnswer TPracticeSession::Answer(const std::string& Line)
{
    if (FSetup.OnExchange)
        FSetup.OnExchange();
    const size_t Space = Line.find(' ');
    const std::string Command = AsciiUpper(Line.substr(0, Space));
    const std::string Argument = Space == std::string::npos ? std::string() : Line.substr(Space + 1);
    TPracticeAnswer Result;
    if (FSasl)
        Result = AuthStep(false, Line);
    else if (Command == "CAPA")
        Result = Capabilities();
    else if (FState == TState::Authorization)
        Result = Authorization(Command, Argument);
    else
        Result = Transaction(Command, Argument);
    if (FSetup.Fault == TPracticeFault::Slow) {
        Result.DelayMs = FSetup.SlowMs;
        Show(TPracticeFault::Slow);
    }
    return Result;
}

TPracticeAnswer TPracticeSession::Capabilities() const
{
    TPracticeAnswer Answer = Ok("Faehigkeiten folgen");
    std::string& Lines = Answer.Lines;
    for (const char* Each : { "TOP", "UIDL", "USER", "RESP-CODES", "AUTH-RESP-CODE", "PIPELINING", "EXPIRE NEVER" })
        Lines += std::string(Each) + kCrLf;
    if (FSetup.Fault == TPracticeFault::LoginDelay)
        Lines += "LOGIN-DELAY " + std::to_string(FSetup.LoginDelaySeconds) + kCrLf;
    if (FState == TState::Authorization)
        Lines += std::string("SASL ") + kMechanisms + kCrLf;
    if (FSetup.TlsOffered && !FEncrypted && FState == TState::Authorization)
        Lines += std::string("STLS") + kCrLf;
    Lines += std::string("IMPLEMENTATION Brieflotse-Uebungs-Server") + kCrLf + "." + kCrLf;
    return Answer;
}

TPracticeAnswer TPracticeSession::Authorization(const std::string& Command, const std::string& Argument)
{
    if (Command == "USER") {
        if (Argument.empty())
            return Err("USER braucht einen Namen");
        FUser = Argument;
        return Ok("Name " + FUser + " notiert, jetzt bitte PASS");
    }
    if (Command == "PASS") {
        if (FUser.empty())
            return Err("Bitte zuerst USER senden");
        const std::string Name = FUser;
        FUser.clear();
        if (Name != kPracticeUser || Argument != kPracticePassword)
            return Err("[AUTH] Name oder Passwort falsch");
        return LogIn(Name);
    }
    if (Command == "APOP")
        return Apop(Argument);
    if (Command == "AUTH")
        return StartAuth(Argument);
    if (Command == "STLS") {
        if (FEncrypted)
            return Err("Die Verbindung ist schon verschluesselt");
        if (!FSetup.TlsOffered)
            return Err("STLS gibt es hier nicht");
        TPracticeAnswer Answer = Ok("TLS beginnt");
        Answer.After = TPracticeAfter::StartTls;
        return Answer;
    }
    if (Command == "QUIT") {
        TPracticeAnswer Answer = Ok("Auf Wiedersehen");
        Answer.After = TPracticeAfter::Close;
        return Answer;
    }
    if (Command == "STAT" || Command == "LIST" || Command == "RETR" || Command == "DELE" || Command == "NOOP"
        || Command == "RSET" || Command == "TOP" || Command == "UIDL")
        return Err("Bitte zuerst anmelden (USER und PASS)");
    return Err(Command.empty() ? "Leere Zeile, kein Kommando" : "Unbekanntes Kommando " + Command);
}

TPracticeAnswer TPracticeSession::LogIn(const std::string& Name)
{
    if (FSetup.Fault == TPracticeFault::InUse) {
        Show(TPracticeFault::InUse);
        return Err("[IN-USE] Die Mailbox ist gerade von einer anderen Sitzung gesperrt");
    }
    if (FSetup.Fault == TPracticeFault::LoginDelay && FSetup.LoginClock
        && !FSetup.LoginClock->Allows(FSetup.LoginDelaySeconds)) {
        Show(TPracticeFault::LoginDelay);
        return Err(
            "[LOGIN-DELAY] Anmeldungen hoechstens alle " + std::to_string(FSetup.LoginDelaySeconds) + " Sekunden");
    }
    if (FSetup.LoginClock)
        FSetup.LoginClock->Record();
    FState = TState::Transaction;
    size_t Size = 0;
    for (size_t Number = 1; Number <= FMailbox.Count(); ++Number)
        Size += FMailbox.Message(Number).Text.size();
    return Ok("Mailbox von " + Name + " geoeffnet: " + std::to_string(FMailbox.Count()) + " Nachrichten ("
        + std::to_string(Size) + " Octets)");
}

TPracticeAnswer TPracticeSession::Apop(const std::string& Argument)
{
    if (FTimestamp.empty()) {
        Show(TPracticeFault::NoApop);
        return Err("APOP geht nicht: die Begruessung hatte keinen Zeitstempel");
    }
    const size_t Space = Argument.rfind(' ');
    if (Space == std::string::npos || Space == 0)
        return Err("APOP braucht einen Namen und einen Digest");
    const std::string Name = Argument.substr(0, Space);
    if (Name != kPracticeUser || !ApopMatches(FTimestamp, kPracticePassword, Argument.substr(Space + 1)))
        return Err("[AUTH] Name oder Digest falsch");
    return LogIn(Name);
}

TPracticeAnswer TPracticeSession::StartAuth(const std::string& Argument)
{
    if (Argument.empty()) {
        // Not in RFC 5034, but many servers answer it, and it helps to look.
        TPracticeAnswer Answer = Ok("Verfahren folgen");
        std::string Names = kMechanisms;
        for (size_t Space = Names.find(' '); Space != std::string::npos; Space = Names.find(' '))
            Names.replace(Space, 1, kCrLf);
        Answer.Lines += Names + kCrLf + "." + kCrLf;
        return Answer;
    }
    const size_t Space = Argument.find(' ');
    TSaslMechanism Mechanism;
    if (!ParseSaslMechanism(Argument.substr(0, Space), Mechanism))
        return Err("Unbekanntes Verfahren, hier gibt es " + std::string(kMechanisms));
    FSasl = std::make_unique<TSaslServer>(Mechanism, kPracticeUser, kPracticePassword);
    return AuthStep(true, Space == std::string::npos ? std::string() : Argument.substr(Space + 1));
}

// The AUTH line's initial response (First) or a client line inside the exchange.
TPracticeAnswer TPracticeSession::AuthStep(bool First, const std::string& Line)
{
    const TSaslServerStep Step = First ? FSasl->Start(Line) : FSasl->Answer(Line);
    if (Step.Verdict == TSaslVerdict::Continue) {
        TPracticeAnswer Answer;
        Answer.Lines = Step.Line + kCrLf; // "+ ..." already
        return Answer;
    }
    const std::string User = FSasl->AuthenticatedUser();
    FSasl.reset();
    switch (Step.Verdict) {
    case TSaslVerdict::Success:
        return LogIn(User);
    case TSaslVerdict::Cancelled:
        return Err("AUTH abgebrochen");
    case TSaslVerdict::Failure:
        return Err("[AUTH] " + Ascii(Step.Reason));
    default:
        return Err(Step.Reason.empty() ? std::string("AUTH: Antwort nicht verstanden") : Ascii(Step.Reason));
    }
}

const TPracticeMessage* TPracticeSession::Find(const std::string& Argument, size_t& Number, std::string& Problem) const
{
    if (!ParseNumber(Argument, Number) || Number == 0) {
        Problem = "Bitte eine Nachrichtennummer angeben";
        return nullptr;
    }
    if (Number > FMailbox.Count()) {
        Problem = "Keine Nachricht " + Argument + " (es gibt " + std::to_string(FMailbox.Count()) + ")";
        return nullptr;
    }
    if (FDeleted[Number - 1]) {
        Problem = "Nachricht " + Argument + " ist schon zum Loeschen markiert";
        return nullptr;
    }
    return &FMailbox.Message(Number);
}

TPracticeAnswer TPracticeSession::Transaction(const std::string& Command, const std::string& Argument)
{
    size_t Number = 0;
    std::string Problem;
    if (Command == "STAT" || Command == "NOOP") {
        TPracticeAnswer Answer;
        if (Command == "NOOP")
            Answer = Ok("Nichts zu tun");
        else {
            size_t Count = 0, Size = 0;
            for (size_t Each = 1; Each <= FMailbox.Count(); ++Each) {
                if (!FDeleted[Each - 1]) {
                    ++Count;
                    Size += FMailbox.Message(Each).Text.size();
                }
            }
            Answer = Ok(std::to_string(Count) + " " + std::to_string(Size));
        }
        if (FSetup.Fault == TPracticeFault::BrokenMultiline) {
            // Against the rules on purpose: these commands have one-line answers.
            Answer.Lines += std::string("Diese Zeile gehoert nicht zur Antwort.") + kCrLf + "." + kCrLf;
            Show(TPracticeFault::BrokenMultiline);
        }
        return Answer;
    }
    if (Command == "LIST" || Command == "UIDL")
        return ListOrUidl(Argument, Command == "UIDL");
    if (Command == "RETR")
        return Retrieve(Argument);
    if (Command == "TOP")
        return Top(Argument);
    if (Command == "DELE") {
        if (!Find(Argument, Number, Problem))
            return Err(Problem);
        FDeleted[Number - 1] = true;
        return Ok("Nachricht " + Argument + " zum Loeschen markiert (wirkt erst bei QUIT)");
    }
    if (Command == "RSET") {
        std::fill(FDeleted.begin(), FDeleted.end(), false);
        return Ok("Alle Loeschmarken aufgehoben");
    }
    if (Command == "QUIT")
        return Quit();
    if (Command == "USER" || Command == "PASS" || Command == "APOP" || Command == "AUTH" || Command == "STLS")
        return Err("Sie sind schon angemeldet");
    return Err(Command.empty() ? "Leere Zeile, kein Kommando" : "Unbekanntes Kommando " + Command);
}

TPracticeAnswer TPracticeSession::Quit()
{
    FState = TState::Update;
    const auto Count = std::count(FDeleted.begin(), FDeleted.end(), true);
    TPracticeAnswer Answer
        = Ok(std::to_string(Count) + " Nachrichten geloescht (nur in dieser Sitzung), auf Wiedersehen");
    Answer.After = TPracticeAfter::Close;
    return Answer;
}

TPracticeAnswer TPracticeSession::ListOrUidl(const std::string& Argument, bool Uidl) const
{
    auto Value = [&](size_t Number) {
        const TPracticeMessage& Message = FMailbox.Message(Number);
        return std::to_string(Number) + " " + (Uidl ? Message.Uid : std::to_string(Message.Text.size()));
    };
    if (!Argument.empty()) {
        size_t Number = 0;
        std::string Problem;
        if (!Find(Argument, Number, Problem))
            return Err(Problem);
        return Ok(Value(Number));
    }
    TPracticeAnswer Answer = Ok(Uidl ? "Eindeutige Kennungen folgen" : "Groessen folgen");
    for (size_t Number = 1; Number <= FMailbox.Count(); ++Number) {
        if (!FDeleted[Number - 1])
            Answer.Lines += Value(Number) + kCrLf;
    }
    Answer.Lines += std::string(".") + kCrLf;
    return Answer;
}

TPracticeAnswer TPracticeSession::Retrieve(const std::string& Argument)
{
    size_t Number = 0;
    std::string Problem;
    const TPracticeMessage* Message = Find(Argument, Number, Problem);
    if (!Message)
        return Err(Problem);
    TPracticeAnswer Answer = Ok(std::to_string(Message->Text.size()) + " Octets");
    Answer.Body.Text = &Message->Text;
    Answer.Body.End = Message->Text.size();
    if (FSetup.Fault == TPracticeFault::DropRetr) {
        // Half of it, then the line goes dead: no terminating ".".
        Answer.Body.End = Message->Text.size() / 2;
        Answer.Body.Terminate = false;
        Answer.After = TPracticeAfter::Drop;
        Show(TPracticeFault::DropRetr);
    }
    return Answer;
}

TPracticeAnswer TPracticeSession::Top(const std::string& Argument) const
{
    const size_t Space = Argument.find(' ');
    size_t Number = 0, Lines = 0;
    std::string Problem;
    if (Space == std::string::npos || !ParseNumber(Argument.substr(Space + 1), Lines))
        return Err("TOP braucht eine Nachrichtennummer und eine Zeilenzahl");
    const TPracticeMessage* Message = Find(Argument.substr(0, Space), Number, Problem);
    if (!Message)
        return Err(Problem);
    const std::string& Text = Message->Text;
    // The headers and the blank line after them, then Lines lines of the body.
    size_t End = Text.find("\r\n\r\n");
    End = End == std::string::npos ? Text.size() : End + 4;
    for (size_t Count = 0; Count < Lines && End < Text.size(); ++Count) {
        const size_t Next = Text.find("\r\n", End);
        End = Next == std::string::npos ? Text.size() : Next + 2;
    }
    TPracticeAnswer Answer = Ok("Kopf und " + std::to_string(Lines) + " Zeilen folgen");
    Answer.Body.Text = &Text;
    Answer.Body.End = End;
    return Answer;
}
