#include "check/CheckFindings.h"

#include <algorithm>
#include <cctype>
#include <tuple>

#include "conversation/Capabilities.h"
#include "conversation/ReplyRules.h"

namespace {

std::string Lower(std::string Text)
{
    for (char& C : Text)
        C = static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
    return Text;
}

bool Contains(const std::string& Text, const std::string& Part)
{
    return Lower(Text).find(Part) != std::string::npos;
}

// Digits dropped: session numbers and times in a refusal say nothing.
std::string RefusalShape(const std::string& Reply)
{
    std::string Shape;
    for (char C : Lower(Reply))
        if (!std::isdigit(static_cast<unsigned char>(C)))
            Shape += C;
    return Shape;
}

bool ConnectionEnded(const std::string& Refusal)
{
    return Refusal.rfind("(Verbindung beendet", 0) == 0;
}

std::string Join(const std::vector<std::string>& Items, const std::string& Separator)
{
    std::string Text;
    for (const std::string& Item : Items)
        Text += (Text.empty() ? "" : Separator) + Item;
    return Text;
}

TCapabilities ParseLines(const std::vector<std::string>& Lines)
{
    std::string Body;
    for (const std::string& Line : Lines)
        Body += Line + "\r\n";
    return TCapabilities::Parse(Body);
}

std::vector<std::string> Names(const std::vector<std::string>& Lines)
{
    std::vector<std::string> Result;
    const TCapabilities List = ParseLines(Lines);
    for (const TCapability& Item : List.All())
        Result.push_back(Item.Name);
    return Result;
}

struct TJudge {
    std::vector<TCheckFinding> Findings;
    std::string Address;
    uint16_t Port = 0;
    int64_t Duration = 0;

    void Add(const std::string& Id, TCheckVerdict Verdict, const std::string& Title, const std::string& Explanation,
        const std::string& Details)
    {
        Findings.push_back({ Id, Verdict, Title, Explanation, Details, Duration, Address, Port });
    }
};

std::string Where(const TAddressFacts& Address, const TPortFacts& Port)
{
    return (Address.Ipv6 ? "[" + Address.Address + "]" : Address.Address) + ":" + std::to_string(Port.Port);
}

void JudgeCertificate(TJudge& Judge, const TCertificateFacts& Certificate, const std::string& At)
{
    const std::string Id = "certificate";
    if (!Certificate.Present) {
        Judge.Add(Id, TCheckVerdict::Failure, "Kein Zertifikat (" + At + ")",
            "Der Server schickte kein Zertifikat; ein Programm kann nicht prüfen, mit wem es spricht.", "");
        return;
    }
    const std::string Expiry
        = "gültig bis " + Certificate.NotAfter + ", noch " + std::to_string(Certificate.DaysLeft) + " Tage";
    if (Certificate.DaysLeft < 0)
        Judge.Add(Id + ".expiry", TCheckVerdict::Failure, "Zertifikat abgelaufen (" + At + ")",
            "Das Zertifikat des Servers ist abgelaufen. Mail-Programme warnen oder verweigern die Verbindung; der "
            "Betreiber muß ein neues Zertifikat einspielen.",
            Expiry);
    else if (Certificate.DaysLeft < 30)
        Judge.Add(Id + ".expiry", TCheckVerdict::Warning, "Zertifikat läuft bald ab (" + At + ")",
            "Das Zertifikat gilt weniger als 30 Tage. Es sollte bald erneuert werden, sonst scheitern die "
            "Verbindungen ab dem Ablauftag.",
            Expiry);
    else
        Judge.Add(Id + ".expiry", TCheckVerdict::Good, "Zertifikat gültig (" + At + ")",
            "Das Zertifikat ist gültig und läuft nicht in den nächsten 30 Tagen ab.", Expiry);

    if (Certificate.NameMatches)
        Judge.Add(Id + ".name", TCheckVerdict::Good, "Zertifikat paßt zum Namen (" + At + ")",
            "Das Zertifikat nennt den Namen, unter dem der Server angesprochen wurde.", Certificate.Subject);
    else
        Judge.Add(Id + ".name", TCheckVerdict::Failure, "Zertifikat nennt einen anderen Namen (" + At + ")",
            "Das Zertifikat gilt nicht für den Namen, unter dem der Server angesprochen wurde. Mail-Programme "
            "warnen; entweder ist ein anderer Name zu verwenden, oder das Zertifikat muß diesen Namen enthalten.",
            Certificate.Subject);

    if (!Certificate.ChainComplete)
        Judge.Add(Id + ".chain", TCheckVerdict::Failure, "Zwischenzertifikat fehlt (" + At + ")",
            "Der Server schickt sein Zertifikat ohne das Zwischenzertifikat, das es mit einer bekannten Stelle "
            "verbindet. Manche Programme finden es selbst, andere melden ein unbekanntes Zertifikat. Der Betreiber "
            "muß die vollständige Kette einrichten.",
            Certificate.Issuer + (Certificate.VerifyText.empty() ? "" : "; " + Certificate.VerifyText));
    if (Certificate.Trusted)
        Judge.Add(Id + ".trust", TCheckVerdict::Good, "Zertifikat vertrauenswürdig (" + At + ")",
            "Die Kette führt zu einer Stelle, der dieses System vertraut.", Certificate.Issuer);
    else if (Certificate.ChainComplete)
        Judge.Add(Id + ".trust", TCheckVerdict::Failure, "Zertifikat nicht vertrauenswürdig (" + At + ")",
            "Die Kette führt zu keiner Stelle, der dieses System vertraut (selbst ausgestellt oder eine eigene "
            "Stelle). Jeder Benutzer müßte das Zertifikat von Hand annehmen und könnte einen Angreifer nicht "
            "erkennen.",
            Certificate.Issuer + "; " + Certificate.VerifyText);

    std::string Keys;
    TCheckVerdict KeyVerdict = TCheckVerdict::Good;
    for (const TChainCertificate& Entry : Certificate.Chain) {
        Keys += (Keys.empty() ? "" : "\n") + Entry.Subject + ": " + Entry.KeyType + " " + std::to_string(Entry.KeyBits)
            + " Bit, " + Entry.SignatureAlgorithm + ", " + Entry.NotBefore + " bis " + Entry.NotAfter;
        const bool Rsa = Entry.KeyType == "RSA" || Entry.KeyType == "DSA";
        if ((Rsa && Entry.KeyBits < 2048) || (!Rsa && Entry.KeyBits > 0 && Entry.KeyBits < 224)
            || Contains(Entry.SignatureAlgorithm, "md5") || Contains(Entry.SignatureAlgorithm, "sha1"))
            KeyVerdict = TCheckVerdict::Warning;
    }
    Judge.Add(Id + ".keys", KeyVerdict,
        KeyVerdict == TCheckVerdict::Good ? "Schlüssel und Signaturen stark (" + At + ")"
                                          : "Schwacher Schlüssel oder Signatur (" + At + ")",
        KeyVerdict == TCheckVerdict::Good
            ? "Die Kette verwendet ausreichend lange Schlüssel und aktuelle Signaturverfahren."
            : "Ein Schlüssel der Kette ist zu kurz (RSA unter 2048 Bit) oder mit MD5/SHA-1 "
              "signiert. Das Zertifikat sollte mit stärkeren Verfahren neu ausgestellt werden.",
        Keys);
}

void JudgeTls(TJudge& Judge, const TPortFacts& Port, const std::string& At)
{
    const TTlsFacts& Tls = Port.Tls;
    if (Tls.Tested) {
        std::vector<std::string> Yes;
        for (const auto& [Name, On] : { std::pair("TLS 1.3", Tls.Tls13), std::pair("TLS 1.2", Tls.Tls12),
                 std::pair("TLS 1.1", Tls.Tls11), std::pair("TLS 1.0", Tls.Tls10) })
            if (On)
                Yes.push_back(Name);
        const std::string Details = "angenommen: " + (Yes.empty() ? std::string("keine") : Join(Yes, ", "));
        if (!Tls.Tls12 && !Tls.Tls13)
            Judge.Add("tls.versions", TCheckVerdict::Failure, "Kein aktuelles TLS (" + At + ")",
                "Der Server nimmt weder TLS 1.2 noch TLS 1.3 an. Aktuelle Mail-Programme verbinden sich nicht mehr; "
                "der Server braucht eine neuere TLS-Einrichtung.",
                Details);
        else if (Tls.Tls10 || Tls.Tls11)
            Judge.Add("tls.versions", TCheckVerdict::Warning, "Veraltete TLS-Versionen angenommen (" + At + ")",
                "Der Server nimmt noch TLS 1.0 oder 1.1 an. Beide gelten seit RFC 8996 als veraltet und sollten "
                "abgeschaltet werden; aktuelle Programme brauchen sie nicht.",
                Details);
        else if (!Tls.Tls13)
            Judge.Add("tls.versions", TCheckVerdict::Notice, "TLS 1.2, aber kein TLS 1.3 (" + At + ")",
                "TLS 1.2 genügt, TLS 1.3 ist schneller beim Verbindungsaufbau und läßt schwache Verfahren aus.",
                Details);
        else
            Judge.Add("tls.versions", TCheckVerdict::Good, "TLS-Versionen in Ordnung (" + At + ")",
                "Der Server spricht aktuelles TLS und keine veralteten Versionen.", Details);
    }
    if (!Port.TlsWorked)
        return;
    const std::string Cipher = Tls.Protocol + ", " + Tls.Cipher + ", Schlüsseltausch " + Tls.KeyExchange;
    if (Tls.ForwardSecrecy)
        Judge.Add("tls.cipher", TCheckVerdict::Good, "Verschlüsselung mit Forward Secrecy (" + At + ")",
            "Das ausgehandelte Verfahren schützt aufgezeichnete Verbindungen auch dann, wenn der Schlüssel des "
            "Servers später bekannt wird.",
            Cipher);
    else
        Judge.Add("tls.cipher", TCheckVerdict::Warning, "Verschlüsselung ohne Forward Secrecy (" + At + ")",
            "Wer den Schlüssel des Servers erbeutet, kann aufgezeichnete Verbindungen nachträglich entschlüsseln. "
            "Der Server sollte ECDHE- oder DHE-Verfahren bevorzugen.",
            Cipher);
    JudgeCertificate(Judge, Tls.Certificate, At);
}

void JudgeCapabilities(TJudge& Judge, const TPortFacts& Port, const std::string& At)
{
    const std::vector<std::string> Before = Names(Port.CapaBeforeTls);
    const std::vector<std::string> After = Names(Port.CapaAfterTls);
    if (Port.Mode == TPortMode::Plain) {
        if (!Port.CapaBeforeRead)
            Judge.Add("capa", TCheckVerdict::Notice, "CAPA nicht unterstützt (" + At + ")",
                "Der Server beantwortet CAPA nicht (RFC 2449). Programme müssen raten, was er kann.", "");
        if (Port.StlsOffered && Port.TlsWorked)
            Judge.Add("stls", TCheckVerdict::Good, "STLS angeboten und funktionsfähig (" + At + ")",
                "Auf diesem Port kann die Verbindung vor der Anmeldung verschlüsselt werden.", Port.Tls.Protocol);
        else if (Port.StlsOffered)
            Judge.Add("stls", TCheckVerdict::Failure, "STLS angeboten, aber gescheitert (" + At + ")",
                "Der Server nennt STLS, die Verschlüsselung kam aber nicht zustande.", Port.TlsError);
        else
            Judge.Add("stls", TCheckVerdict::Warning,
                "Kein STLS auf Port " + std::to_string(Port.Port) + " (" + At + ")",
                "Auf diesem Port läßt sich die Verbindung nicht verschlüsseln: Name und Paßwort gingen im Klartext. "
                "Programme sollten Port 995 (TLS ab dem ersten Byte) verwenden, oder der Server sollte STLS anbieten.",
                Port.TlsError.empty() ? Join(Before, " ") : Port.TlsError);
        if (Port.CapaBeforeRead && Port.CapaAfterRead) {
            std::vector<std::string> Added;
            std::vector<std::string> Dropped;
            for (const std::string& Name : After)
                if (std::find(Before.begin(), Before.end(), Name) == Before.end())
                    Added.push_back(Name);
            for (const std::string& Name : Before)
                if (std::find(After.begin(), After.end(), Name) == After.end())
                    Dropped.push_back(Name);
            const std::string Details = "vor TLS: " + Join(Before, " ") + "\nnach TLS: " + Join(After, " ")
                + (Added.empty() ? "" : "\nhinzu: " + Join(Added, " "))
                + (Dropped.empty() ? "" : "\nweggefallen: " + Join(Dropped, " "));
            Judge.Add("capa.compare", Added.empty() && Dropped.empty() ? TCheckVerdict::Good : TCheckVerdict::Notice,
                "CAPA vor und nach STLS verglichen (" + At + ")",
                "Nach STLS muß ein Programm die Fähigkeiten neu erfragen (RFC 2595), denn vor TLS konnte sie ein "
                "Angreifer verfälschen. Unterschiede sind üblich (etwa Anmeldeverfahren erst nach TLS) und hier "
                "aufgeführt.",
                Details);
        }
        const TCapabilities Plain = ParseLines(Port.CapaBeforeTls);
        std::vector<std::string> Clear;
        for (const std::string& Mechanism : Plain.SaslMechanisms())
            if (Mechanism == "PLAIN" || Mechanism == "LOGIN")
                Clear.push_back(Mechanism);
        if (!Clear.empty())
            Judge.Add("sasl.before-tls", TCheckVerdict::Notice, "PLAIN/LOGIN vor TLS aufgeführt (" + At + ")",
                "Vor der Verschlüsselung nennt der Server Verfahren, die das Paßwort lesbar übertragen. Ob er sie "
                "dann auch annimmt, zeigt die Prüfung der Klartext-Anmeldung.",
                Join(Clear, " "));
    }
    const std::vector<std::string>& Lines = Port.CapaAfterRead ? Port.CapaAfterTls : Port.CapaBeforeTls;
    if (Lines.empty())
        return;
    const TCapabilities List = ParseLines(Lines);
    const std::vector<std::string> Mechanisms = List.SaslMechanisms();
    const bool Strong = std::find(Mechanisms.begin(), Mechanisms.end(), "SCRAM-SHA-256") != Mechanisms.end();
    Judge.Add("sasl", Mechanisms.empty() || Strong ? TCheckVerdict::Good : TCheckVerdict::Notice,
        "Anmeldeverfahren (" + At + ")",
        Mechanisms.empty() ? "Der Server nennt keine SASL-Verfahren; angemeldet wird mit USER und PASS."
            : Strong       ? "Der Server bietet SCRAM-SHA-256 an: das Paßwort verläßt den Rechner nie, und der "
                             "Server beweist, daß er es kennt."
                           : "Der Server bietet kein SCRAM-SHA-256 an, das stärkste Verfahren. Über TLS genügen die "
                             "anderen, SCRAM schützt aber auch gegen einen falschen Server.",
        Mechanisms.empty() ? "SASL: keine" : "SASL: " + Join(Mechanisms, " "));
    std::vector<std::string> Present;
    std::vector<std::string> Missing;
    for (const char* Name :
        { "RESP-CODES", "AUTH-RESP-CODE", "PIPELINING", "EXPIRE", "LOGIN-DELAY", "IMPLEMENTATION" }) {
        const TCapability* Found = List.Find(Name);
        if (Found)
            Present.push_back(Found->Arguments.empty() ? Name : std::string(Name) + " " + Join(Found->Arguments, " "));
        else
            Missing.push_back(Name);
    }
    const bool Codes = List.Has("RESP-CODES") && List.Has("AUTH-RESP-CODE");
    Judge.Add("capa.extensions", Codes ? TCheckVerdict::Good : TCheckVerdict::Notice, "Erweiterungen (" + At + ")",
        Codes ? "Der Server kennzeichnet Fehler mit Antwortcodes ([AUTH], [IN-USE], [LOGIN-DELAY], [SYS/TEMP]); "
                "Programme können so richtig reagieren."
              : "Ohne RESP-CODES und AUTH-RESP-CODE kann ein Programm ein falsches Paßwort nicht von einem "
                "gesperrten Postfach unterscheiden.",
        "vorhanden: " + (Present.empty() ? std::string("keine") : Join(Present, ", "))
            + (Missing.empty() ? "" : "\nfehlt: " + Join(Missing, " ")));
}

void JudgePort(TJudge& Judge, const TAddressFacts& Address, const TPortFacts& Port)
{
    const std::string At = Where(Address, Port);
    Judge.Address = Address.Address;
    Judge.Port = Port.Port;
    Judge.Duration = Port.ProbeMs.count("main") ? Port.ProbeMs.at("main") : 0;
    if (!Port.Connected) {
        Judge.Add("connect", TCheckVerdict::Failure, "Keine Verbindung zu " + At,
            "Der Server nimmt auf diesem Port keine Verbindung an. Läuft er, läßt eine Firewall durch, stimmt der "
            "Port?",
            Port.ConnectError);
        return;
    }
    const std::string Times = "Verbindung " + std::to_string(Port.ConnectMs) + " ms"
        + (Port.TlsMs >= 0 ? ", TLS " + std::to_string(Port.TlsMs) + " ms" : "")
        + (Port.GreetingMs >= 0 ? ", Begrüßung " + std::to_string(Port.GreetingMs) + " ms" : "");
    if (Port.Mode == TPortMode::Tls && !Port.TlsWorked) {
        Judge.Add("connect", TCheckVerdict::Failure, "TLS-Handshake gescheitert auf " + At,
            "Die Verbindung steht, aber TLS kommt nicht zustande. Spricht der Port TLS ab dem ersten Byte?",
            Port.TlsError);
        return;
    }
    if (Port.GreetingMs < 0 || !IsPositiveReply(Port.Greeting)) {
        Judge.Add("greeting", TCheckVerdict::Failure, "Keine gültige Begrüßung auf " + At,
            "Ein POP3-Server begrüßt mit \"+OK\". Hier kam keine oder eine andere Antwort; ist es ein POP3-Server?",
            Port.Greeting + "\n" + Times);
        return;
    }
    const bool Slow = Port.GreetingMs > 3000 || Port.ConnectMs > 3000;
    Judge.Add("connect", Slow ? TCheckVerdict::Warning : TCheckVerdict::Good,
        (Slow ? "Langsame Antwort auf " : "Erreichbar: ") + At,
        Slow ? "Verbindung oder Begrüßung dauern mehr als drei Sekunden; Programme brechen bei knapper Zeitgrenze ab."
             : "Der Server nimmt Verbindungen an und begrüßt zügig.",
        Times);
    const bool Software = GreetingNamesSoftware(Port.Greeting);
    const bool Version = GreetingNamesVersion(Port.Greeting);
    Judge.Add("greeting", Version ? TCheckVerdict::Notice : TCheckVerdict::Good, "Begrüßung (" + At + ")",
        Version ? "Die Begrüßung nennt Software und Version. Ein Angreifer erfährt so, welche Lücken er versuchen "
                  "kann; die Versionsangabe läßt sich meist abschalten."
            : Software ? "Die Begrüßung nennt die Software, aber keine Version."
                       : "Die Begrüßung verrät weder Software noch Version.",
        Port.Greeting);
    if (!Port.ApopTimestamp.empty())
        Judge.Add("apop", TCheckVerdict::Notice, "APOP angeboten (" + At + ")",
            "Die Begrüßung enthält einen Zeitstempel für APOP. APOP beruht auf MD5 und setzt ein im Klartext "
            "gespeichertes Paßwort voraus; über TLS ist es unnötig.",
            Port.ApopTimestamp);
    JudgeTls(Judge, Port, At);
    JudgeCapabilities(Judge, Port, At);

    if (Port.Mode == TPortMode::Plain && !Port.PlainRefusal.empty()) {
        const bool Taken = Port.PlaintextLoginAccepted;
        const std::string Details
            = "vor TLS: " + Port.PlainRefusal + (Port.TlsRefusal.empty() ? "" : "\nin TLS: " + Port.TlsRefusal);
        Judge.Add("plaintext-login", Taken ? TCheckVerdict::Warning : TCheckVerdict::Good,
            Taken ? "Anmeldung im Klartext möglich (" + At + ")" : "Keine Anmeldung im Klartext (" + At + ")",
            Taken
                ? "Der Server prüft ein Paßwort auch ohne Verschlüsselung (die Ablehnung eines erfundenen Namens "
                  "lautet vor und in TLS gleich). Jedes Programm ohne STLS schickt das Paßwort lesbar durchs Netz. "
                  "Der Server sollte die Anmeldung erst nach STLS zulassen (bei Dovecot: disable_plaintext_auth = yes)."
                : "Der Server lehnt eine Anmeldung ohne Verschlüsselung anders ab als in TLS: er nimmt Paßwörter "
                  "im Klartext nicht an. Ein USER-Eintrag in CAPA oder ein \"+OK\" auf USER allein beweist nichts.",
            Details);
    }
    if (Port.Mode == TPortMode::Plain) {
        Judge.Duration = Port.ProbeMs.count("injection") ? Port.ProbeMs.at("injection") : 0;
        if (Port.Injection == TInjectionResult::Vulnerable)
            Judge.Add("stls-injection", TCheckVerdict::Failure, "STLS-Einschleusung möglich (" + At + ")",
                "Der Server beantwortet innerhalb von TLS ein Kommando, das vor TLS mitgeschickt wurde (Fehlerklasse "
                "von CVE-2011-0411). Ein Angreifer kann so Kommandos in die verschlüsselte Sitzung schmuggeln. Die "
                "Server-Software muß nach STLS alles vorher Gepufferte verwerfen.",
                Port.InjectionDetails);
        else if (Port.Injection == TInjectionResult::NotVulnerable)
            Judge.Add("stls-injection", TCheckVerdict::Good, "Keine STLS-Einschleusung (" + At + ")",
                "Mit STLS im selben Paket geschickte Kommandos werden nicht in TLS ausgeführt.", Port.InjectionDetails);
    }
}

} // namespace

bool GreetingNamesSoftware(const std::string& Greeting)
{
    for (const char* Name :
        { "dovecot", "cyrus", "courier", "qpopper", "exchange", "zimbra", "popa3d", "uw ", "ipop3d", "gpop", "teapop",
            "solid pop3", "mdaemon", "kerio", "hmailserver", "qmail", "citadel", "axigen", "brieflotse" })
        if (Contains(Greeting, Name))
            return true;
    return GreetingNamesVersion(Greeting);
}

bool GreetingNamesVersion(const std::string& Greeting)
{
    // A dotted number ("2.3.19", "v5.1") outside the APOP timestamp.
    std::string Text = Greeting;
    const size_t Open = Text.find('<');
    const size_t Close = Text.find('>', Open == std::string::npos ? 0 : Open);
    if (Open != std::string::npos && Close != std::string::npos)
        Text.erase(Open, Close - Open + 1);
    for (size_t Index = 1; Index + 1 < Text.size(); ++Index)
        if (Text[Index] == '.' && std::isdigit(static_cast<unsigned char>(Text[Index - 1]))
            && std::isdigit(static_cast<unsigned char>(Text[Index + 1])))
            return true;
    return false;
}

bool PlaintextLoginTaken(const std::string& PlainRefusal, const std::string& TlsRefusal, bool Accepted)
{
    if (Accepted)
        return true;
    if (PlainRefusal.empty() || ConnectionEnded(PlainRefusal))
        return false;
    // "(...)": no reply of the server's (connection ended, attempt left out).
    if (!TlsRefusal.empty() && TlsRefusal[0] != '(')
        return RefusalShape(PlainRefusal) == RefusalShape(TlsRefusal);
    for (const char* Word : { "plaintext", "cleartext", "clear text", "disallowed", "not allowed", "tls", "ssl",
             "secure", "encrypt", "stls", "privacy" })
        if (Contains(PlainRefusal, Word))
            return false;
    return true;
}

std::vector<TCheckFinding> JudgeReport(const TCheckReport& Report, const std::string& LookupProblem)
{
    TJudge Judge;
    if (Report.Cancelled)
        Judge.Add("cancelled", TCheckVerdict::Failure, "Prüfung abgebrochen",
            "Die Prüfung wurde vor ihrem Ende abgebrochen; der Bericht ist unvollständig.", "");
    if (Report.Addresses.empty()) {
        Judge.Add("addresses", TCheckVerdict::Failure, "Keine Adresse für " + Report.Host,
            "Der Name ergibt keine Adresse. Ist er richtig geschrieben, und gibt es für ihn einen A- oder "
            "AAAA-Eintrag?",
            LookupProblem);
        return Judge.Findings;
    }
    std::vector<std::string> V4;
    std::vector<std::string> V6;
    bool V4Reached = false;
    bool V6Reached = false;
    for (const TAddressFacts& Address : Report.Addresses) {
        bool Reached = false;
        for (const TPortFacts& Port : Address.Ports)
            Reached = Reached || Port.Connected;
        (Address.Ipv6 ? V6 : V4).push_back(Address.Address);
        (Address.Ipv6 ? V6Reached : V4Reached) |= Reached;
    }
    Judge.Add("addresses", TCheckVerdict::Good, "Adressen von " + Report.Host,
        "Jede Adresse des Namens wird einzeln geprüft, IPv4 und IPv6 getrennt.",
        "IPv4: " + (V4.empty() ? std::string("keine") : Join(V4, ", "))
            + "\nIPv6: " + (V6.empty() ? std::string("keine") : Join(V6, ", ")));
    for (const auto& [Name, List, Reached] :
        { std::tuple("IPv4", &V4, V4Reached), std::tuple("IPv6", &V6, V6Reached) }) {
        const std::string Family = Name;
        if (!List->empty() && !Reached)
            Judge.Add("family." + Lower(Family), TCheckVerdict::Failure, Family + " nicht erreichbar",
                "Der Name hat " + Family + "-Adressen, aber keine nimmt Verbindungen an. Programme, die " + Family
                    + " bevorzugen, warten erst vergeblich oder scheitern; der Eintrag sollte stimmen oder entfernt "
                      "werden.",
                Join(*List, ", "));
    }
    for (const TAddressFacts& Address : Report.Addresses)
        for (const TPortFacts& Port : Address.Ports)
            JudgePort(Judge, Address, Port);
    Judge.Address.clear();
    Judge.Port = 0;
    Judge.Duration = 0;
    const TLoginFacts& Login = Report.Login;
    if (Login.Tried) {
        const std::string Code = ResponseCode(Login.Reply);
        std::string Meaning;
        if (Code == "AUTH")
            Meaning = " Der Server nennt [AUTH]: Name oder Paßwort stimmen nicht.";
        else if (Code == "IN-USE")
            Meaning = " Der Server nennt [IN-USE]: ein anderes Programm hält das Postfach gerade offen.";
        else if (Code == "LOGIN-DELAY")
            Meaning = " Der Server nennt [LOGIN-DELAY]: die nächste Anmeldung ist erst nach einer Wartezeit erlaubt.";
        else if (Code == "SYS/TEMP")
            Meaning = " Der Server nennt [SYS/TEMP]: ein vorübergehendes Problem beim Server; später erneut versuchen.";
        if (Login.Succeeded)
            Judge.Add("login", TCheckVerdict::Good, "Anmeldung erfolgreich (" + Login.Mechanism + ")",
                "Die Anmeldung über eine verschlüsselte Verbindung gelang; STAT und UIDL wurden gelesen, nichts "
                "gelöscht.",
                "Nachrichten: " + std::to_string(Login.MessageCount) + ", Bytes: " + std::to_string(Login.MailboxBytes)
                    + ", UIDL-Einträge: " + std::to_string(Login.UidlCount));
        else if (Login.Mechanism.empty())
            Judge.Add("login", TCheckVerdict::Warning, "Anmeldung nicht versucht",
                "Es kam keine verschlüsselte Verbindung zustande; ein Paßwort wird nie im Klartext gesendet.",
                Login.Reply);
        else
            Judge.Add("login", TCheckVerdict::Failure, "Anmeldung abgelehnt (" + Login.Mechanism + ")",
                "Der Server nahm Name und Paßwort nicht an." + Meaning, Login.Reply);
    }
    if (!Report.AnythingReached())
        Judge.Add("reach", TCheckVerdict::Failure, "Server nicht erreichbar",
            "Keine Adresse und kein Port nahm eine Verbindung an.", Report.Target);
    return Judge.Findings;
}
