// The server check's engine: the plan of probes per address and port, the
// pool that runs them, the probes themselves, and the optional log-in.
#include "check/ServerCheck.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <functional>
#include <memory>
#include <poll.h>
#include <thread>
#include <utility>

#include "auth/AuthCrypto.h"
#include "auth/Pop3Auth.h"
#include "auth/SaslClient.h"
#include "check/CertificateFacts.h"
#include "check/CheckFindings.h"
#include "check/ProbeConnection.h"
#include "conversation/Capabilities.h"
#include "conversation/ReplyRules.h"
#include "net/HostLookup.h"
#include "net/WinsockErrors.h"
#include "net/WinsockTarget.h"

#include <openssl/ssl.h>

namespace {

using TClock = std::chrono::steady_clock;

int64_t MillisecondsSince(TClock::time_point Start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - Start).count();
}

std::string IsoTime(std::time_t When)
{
    std::tm Parts {};
    gmtime_r(&When, &Parts);
    char Text[32];
    std::strftime(Text, sizeof Text, "%Y-%m-%dT%H:%M:%SZ", &Parts);
    return Text;
}

// Whether the first probe of a port got a connection: the others wait for
// it, so an address that does not answer costs one connect time-out.
struct TGate {
    enum class TPhase { Unknown, Open, Closed };
    std::mutex Lock;
    std::condition_variable Changed;
    TPhase State = TPhase::Unknown;
};

// What the clear-text attempt of an address showed: its refusal alone may
// settle the question (Dovecot: "Plaintext authentication disallowed"), and
// the attempts inside TLS are then left out: a failed log-in less, and no
// wait for a server's delay after it (Dovecot's is 2 s).
struct TPlainVerdict {
    std::mutex Lock;
    std::condition_variable Changed;
    bool Known = false;
    bool Settled = false;
};

struct TPortPlan {
    std::shared_ptr<TPlainVerdict> Plain; // null: no clear-text port at this address
    TPeerAddress Address;
    std::string Numeric;
    uint16_t Port = 0;
    TPortMode Mode = TPortMode::Plain;
    size_t AddressIndex = 0;
    size_t PortIndex = 0;
    TGate Gate;
};

struct TJob {
    std::string Id;
    std::string Title;
    std::function<void(TProbeTranscript&)> Body;
};

// Valid host characters: letters, digits, '-', '.', '_' (some internal names).
bool IsHostName(const std::string& Host)
{
    if (Host.empty() || Host.size() > 253)
        return false;
    return std::all_of(Host.begin(), Host.end(), [](char C) {
        const unsigned char U = static_cast<unsigned char>(C);
        return (U >= 'a' && U <= 'z') || (U >= 'A' && U <= 'Z') || (U >= '0' && U <= '9') || U == '-' || U == '.'
            || U == '_';
    });
}

// A name and password no server can have: a refusal is certain, and the
// attempt spends no real account's tries.
std::pair<std::string, std::string> ImpossibleAccount()
{
    return { "brieflotse-check-" + LowerHex(RandomBytes(6)), LowerHex(RandomBytes(12)) };
}

std::string TlsVersionName(int Version)
{
    switch (Version) {
    case TLS1_VERSION:
        return "TLS 1.0";
    case TLS1_1_VERSION:
        return "TLS 1.1";
    case TLS1_2_VERSION:
        return "TLS 1.2";
    default:
        return "TLS 1.3";
    }
}

} // namespace

bool IsSafeCredential(const std::string& Text)
{
    return std::none_of(Text.begin(), Text.end(), [](char C) {
        const unsigned char U = static_cast<unsigned char>(C);
        return U < 0x20 || U == 0x7F;
    });
}

bool ParseCheckTarget(const std::string& Text, TCheckOptions& Options, std::string& Problem)
{
    std::string Trimmed = Text;
    while (!Trimmed.empty() && (Trimmed.back() == ' ' || Trimmed.back() == '\t'))
        Trimmed.pop_back();
    while (!Trimmed.empty() && (Trimmed.front() == ' ' || Trimmed.front() == '\t'))
        Trimmed.erase(0, 1);
    const TTargetParts Parts = SplitTarget(Trimmed);
    std::string Host = HostForLookup(Parts.Host);
    TPeerAddress Numeric;
    const bool Bracketed = Parts.Host.size() > 1 && Parts.Host.front() == '[';
    if (Bracketed ? !ParseNumericAddress(Host, Numeric) : !IsHostName(Host)) {
        Problem = "\"" + Parts.Host
            + "\" ist kein gültiger Server-Name (erlaubt sind Buchstaben, Ziffern, '-' und "
              "'.'; eine IPv6-Adresse in eckigen Klammern).";
        return false;
    }
    uint16_t Port = 0;
    if (!Parts.Port.empty()) {
        const bool Digits = Parts.Port.size() <= 5
            && std::all_of(Parts.Port.begin(), Parts.Port.end(), [](char C) { return C >= '0' && C <= '9'; });
        const long Value = Digits ? std::stol(Parts.Port) : 0;
        if (Value < 1 || Value > 65535) {
            Problem = "Port \"" + Parts.Port + "\" liegt nicht zwischen 1 und 65535.";
            return false;
        }
        Port = static_cast<uint16_t>(Value);
    } else if (Parts.Security == scImplicitTls) {
        Port = 995;
    } else if (Parts.Security == scPlain) {
        Port = 110;
    }
    Options.Host = Host;
    Options.Port = Port;
    Options.PortTls = Parts.Security == scImplicitTls || (Parts.Security == scByPort && Port == 995);
    return true;
}

struct TServerCheck::TState {
    const TCheckOptions& Options;
    TCheckObserver* Observer;
    const std::atomic<bool>& Cancel;
    std::mutex Lock; // the report and the observer
    TCheckReport Report;
    std::vector<std::unique_ptr<TPortPlan>> Ports;
    std::string CertificateName; // what the certificate must name
    std::string ServerName; // SNI: names only
    int Done = 0;
    int Total = 0;

    TState(const TCheckOptions& Given, TCheckObserver* Watcher, const std::atomic<bool>& Stop)
        : Options(Given)
        , Observer(Watcher)
        , Cancel(Stop)
    {
    }

    template <typename TChange> void Update(const TPortPlan& Plan, TChange Change)
    {
        std::lock_guard<std::mutex> Guard(Lock);
        Change(Report.Addresses[Plan.AddressIndex].Ports[Plan.PortIndex]);
    }

    void OpenGate(TPortPlan& Plan, bool Reached)
    {
        {
            std::lock_guard<std::mutex> Guard(Plan.Gate.Lock);
            Plan.Gate.State = Reached ? TGate::TPhase::Open : TGate::TPhase::Closed;
        }
        Plan.Gate.Changed.notify_all();
    }

    bool WaitGate(TPortPlan& Plan)
    {
        std::unique_lock<std::mutex> Guard(Plan.Gate.Lock);
        while (Plan.Gate.State == TGate::TPhase::Unknown && !Cancel.load())
            Plan.Gate.Changed.wait_for(Guard, std::chrono::milliseconds(kSliceMs));
        return Plan.Gate.State == TGate::TPhase::Open;
    }

    TTlsAttempt Attempt(int Version = 0) const { return { Version, ServerName }; }

    // Connect, TLS from the first byte where the port wants it, the greeting.
    bool Open(TProbeConnection& Connection, const TPortPlan& Plan)
    {
        std::string Greeting;
        if (!Connection.Connect(Plan.Address, Plan.Port, Options.ConnectTimeoutMs))
            return false;
        if (Plan.Mode == TPortMode::Tls && !Connection.StartTls(Attempt(), Options.ReplyTimeoutMs))
            return false;
        return Connection.ReadLine(Greeting, Options.ReplyTimeoutMs) && IsPositiveReply(Greeting);
    }

    bool Command(
        TProbeConnection& Connection, const std::string& Line, std::string& Reply, const std::string& Shown = {})
    {
        Reply.clear();
        return Connection.SendLine(Line, Shown) && Connection.ReadLine(Reply, Options.ReplyTimeoutMs);
    }

    bool Capa(TProbeConnection& Connection, std::vector<std::string>& Lines)
    {
        std::string Reply;
        return Command(Connection, "CAPA", Reply) && IsPositiveReply(Reply)
            && Connection.ReadBody(Lines, Options.ReplyTimeoutMs);
    }

    // USER and PASS of an account that cannot exist: the refusal, or the
    // acceptance of the clear-text attempt as such ("+OK" to PASS is
    // accepted as well: it would have taken a real password).
    std::string ImpossibleLogin(TProbeConnection& Connection, bool& Accepted)
    {
        Accepted = false;
        const auto [Name, Password] = ImpossibleAccount();
        std::string Reply;
        if (!Command(Connection, "USER " + Name, Reply))
            return "(Verbindung beendet: " + Connection.Error() + ")";
        if (!IsPositiveReply(Reply))
            return Reply;
        if (!Command(Connection, "PASS " + Password, Reply, "PASS ********"))
            return "(Verbindung beendet: " + Connection.Error() + ")";
        Accepted = IsPositiveReply(Reply);
        return Reply;
    }

    void Quit(TProbeConnection& Connection)
    {
        std::string Reply;
        if (Connection.SendLine("QUIT"))
            Connection.ReadLine(Reply, std::min(Options.ReplyTimeoutMs, 1000));
    }

    // CAPA and the impossible log-in on this connection kind (in clear text
    // or inside TLS), then QUIT.
    void CapaAndRefusal(const TPortPlan& Plan, TProbeConnection& Connection)
    {
        std::vector<std::string> Lines;
        const bool Listed = Capa(Connection, Lines);
        bool Accepted = false;
        const bool Encrypted = Connection.Encrypted();
        const std::string Refusal = Encrypted && PlainRefusalSettles(Plan)
            ? "(nicht versucht: die Ablehnung ohne TLS nennt den Grund)"
            : ImpossibleLogin(Connection, Accepted);
        if (!Encrypted)
            KnowPlainVerdict(Plan, !PlaintextLoginTaken(Refusal, {}, Accepted));
        Update(Plan, [&](TPortFacts& Facts) {
            if (!Encrypted) {
                Facts.CapaBeforeRead = Listed;
                Facts.CapaBeforeTls = Lines;
                std::string Joined;
                for (const std::string& Line : Lines)
                    Joined += Line + "\r\n";
                Facts.StlsOffered = TCapabilities::Parse(Joined).Has("STLS");
                Facts.PlainRefusal = Refusal;
                Facts.PlaintextLoginAccepted = Accepted;
            } else {
                Facts.CapaAfterRead = Listed;
                Facts.CapaAfterTls = Lines;
                Facts.TlsRefusal = Refusal;
            }
        });
        Quit(Connection);
    }

    void KnowPlainVerdict(const TPortPlan& Plan, bool Settled)
    {
        if (!Plan.Plain)
            return;
        {
            std::lock_guard<std::mutex> Guard(Plan.Plain->Lock);
            if (Plan.Plain->Known)
                return;
            Plan.Plain->Known = true;
            Plan.Plain->Settled = Settled;
        }
        Plan.Plain->Changed.notify_all();
    }

    bool PlainRefusalSettles(const TPortPlan& Plan)
    {
        if (!Plan.Plain)
            return false;
        std::unique_lock<std::mutex> Guard(Plan.Plain->Lock);
        const auto Until = TClock::now() + std::chrono::milliseconds(Options.ReplyTimeoutMs);
        while (!Plan.Plain->Known && !Cancel.load() && TClock::now() < Until)
            Plan.Plain->Changed.wait_for(Guard, std::chrono::milliseconds(kSliceMs));
        return Plan.Plain->Known && Plan.Plain->Settled;
    }

    // A later probe of a port: once the first one got through, connected and greeted.
    bool OpenWhenReachable(TPortPlan& Plan, TProbeConnection& Connection)
    {
        return WaitGate(Plan) && Open(Connection, Plan);
    }

    void KeepTlsFacts(const TPortPlan& Plan, TProbeConnection& Connection)
    {
        TTlsFacts Read;
        ReadTlsFacts(Connection.Ssl(), CertificateName, std::time(nullptr), Read);
        Update(Plan, [&](TPortFacts& Facts) {
            Facts.TlsWorked = true;
            Facts.TlsMs = Connection.TlsMs();
            Facts.Tls.Protocol = Read.Protocol;
            Facts.Tls.Cipher = Read.Cipher;
            Facts.Tls.ForwardSecrecy = Read.ForwardSecrecy;
            Facts.Tls.KeyExchange = Read.KeyExchange;
            Facts.Tls.Certificate = Read.Certificate;
        });
    }

    // The first probe of a port: connect, TLS on a TLS port, greeting; then
    // CAPA and the impossible log-in on this connection kind, QUIT. The other
    // probes of the port wait for its greeting: a port that does not answer
    // or is no POP3 server costs one time-out, not one per probe.
    void MainProbe(TPortPlan& Plan)
    {
        TProbeConnection Connection(Cancel, &CurrentTranscript());
        const bool Greeted = ConnectAndGreet(Plan, Connection);
        OpenGate(Plan, Greeted);
        if (Greeted)
            CapaAndRefusal(Plan, Connection);
        if (Plan.Mode == TPortMode::Plain)
            KnowPlainVerdict(Plan, false); // no attempt: inside TLS decides
    }

    bool ConnectAndGreet(TPortPlan& Plan, TProbeConnection& Connection)
    {
        const bool Reached = Connection.Connect(Plan.Address, Plan.Port, Options.ConnectTimeoutMs);
        Update(Plan, [&](TPortFacts& Facts) {
            Facts.Connected = Reached;
            Facts.ConnectMs = Connection.ConnectMs();
            Facts.ConnectError = Reached ? "" : Connection.Error();
        });
        if (!Reached)
            return false;
        if (Plan.Mode == TPortMode::Tls) {
            if (!Connection.StartTls(Attempt(), Options.ReplyTimeoutMs)) {
                Update(Plan, [&](TPortFacts& Facts) { Facts.TlsError = Connection.Error(); });
                return false;
            }
            KeepTlsFacts(Plan, Connection);
        }
        const auto Start = TClock::now();
        std::string Greeting;
        const bool Greeted = Connection.ReadLine(Greeting, Options.ReplyTimeoutMs);
        Update(Plan, [&](TPortFacts& Facts) {
            Facts.Greeting = Greeted ? Greeting : "(keine Begrüßung: " + Connection.Error() + ")";
            Facts.GreetingMs = Greeted ? MillisecondsSince(Start) : -1;
            Facts.ApopTimestamp = Greeted ? GreetingTimestamp(Greeting) : "";
        });
        return Greeted && IsPositiveReply(Greeting);
    }

    // Port 110: STLS, CAPA inside TLS, the impossible log-in inside TLS.
    void StlsProbe(TPortPlan& Plan)
    {
        TProbeConnection Connection(Cancel, &CurrentTranscript());
        std::string Reply;
        if (!OpenWhenReachable(Plan, Connection))
            return;
        if (!Command(Connection, "STLS", Reply) || !IsPositiveReply(Reply)) {
            Update(Plan,
                [&](TPortFacts& Facts) { Facts.TlsError = "STLS: " + (Reply.empty() ? Connection.Error() : Reply); });
            return;
        }
        if (!Connection.StartTls(Attempt(), Options.ReplyTimeoutMs)) {
            Update(Plan, [&](TPortFacts& Facts) { Facts.TlsError = Connection.Error(); });
            return;
        }
        KeepTlsFacts(Plan, Connection);
        CapaAndRefusal(Plan, Connection);
    }

    // STLS and CAPA in one write: an answer to that CAPA inside TLS came from
    // bytes buffered before TLS (the flaw class of CVE-2011-0411).
    void InjectionProbe(TPortPlan& Plan)
    {
        TProbeConnection Connection(Cancel, &CurrentTranscript());
        std::string Reply;
        if (!OpenWhenReachable(Plan, Connection))
            return;
        auto Result = [&](TInjectionResult Found, const std::string& Details) {
            Update(Plan, [&](TPortFacts& Facts) {
                Facts.Injection = Found;
                Facts.InjectionDetails = Details;
            });
        };
        if (!Connection.SendRaw("STLS\r\nCAPA\r\n", "STLS + CAPA (in einem Paket)")
            || !Connection.ReadLine(Reply, Options.ReplyTimeoutMs) || !IsPositiveReply(Reply))
            return Result(TInjectionResult::NotTested, "STLS: " + (Reply.empty() ? Connection.Error() : Reply));
        if (!Connection.StartTls(Attempt(), Options.ReplyTimeoutMs))
            return Result(TInjectionResult::NotVulnerable,
                "Handshake nach den vorausgeschickten Bytes gescheitert (" + Connection.Error() + ")");
        // A vulnerable server answers at once; a sound one waits for a command.
        if (Connection.DataArrives(kInjectionWaitMs) && Connection.ReadLine(Reply, Options.ReplyTimeoutMs))
            return Result(TInjectionResult::Vulnerable, "Antwort innerhalb TLS ohne neue Frage: " + Reply);
        Result(TInjectionResult::NotVulnerable, "Keine Antwort auf das vor TLS geschickte CAPA.");
        Quit(Connection);
    }

    void VersionProbe(TPortPlan& Plan, int Version)
    {
        if (!WaitGate(Plan))
            return;
        TProbeConnection Connection(Cancel, &CurrentTranscript());
        if (!Connection.Connect(Plan.Address, Plan.Port, Options.ConnectTimeoutMs))
            return;
        if (Plan.Mode == TPortMode::Plain) {
            std::string Greeting;
            std::string Reply;
            if (!Connection.ReadLine(Greeting, Options.ReplyTimeoutMs) || !IsPositiveReply(Greeting)
                || !Command(Connection, "STLS", Reply) || !IsPositiveReply(Reply))
                return;
        }
        const bool Accepted = Connection.StartTls(Attempt(Version), Options.ReplyTimeoutMs);
        if (Cancel.load())
            return;
        if (!Accepted)
            CurrentTranscript().Lines.push_back(
                { false, "(" + TlsVersionName(Version) + ": " + Connection.Error() + ")" });
        else
            CurrentTranscript().Lines.push_back({ false, "(" + TlsVersionName(Version) + " angenommen)" });
        Update(Plan, [&](TPortFacts& Facts) {
            Facts.Tls.Tested = true;
            bool* Flag = Version == TLS1_VERSION ? &Facts.Tls.Tls10
                : Version == TLS1_1_VERSION      ? &Facts.Tls.Tls11
                : Version == TLS1_2_VERSION      ? &Facts.Tls.Tls12
                                                 : &Facts.Tls.Tls13;
            *Flag = Accepted;
        });
    }

    void Login();

    static TProbeTranscript& CurrentTranscript();
    static constexpr int kInjectionWaitMs = 400;
};

namespace {
thread_local TProbeTranscript* CurrentProbe = nullptr;
}

TProbeTranscript& TServerCheck::TState::CurrentTranscript()
{
    static thread_local TProbeTranscript Spare;
    return CurrentProbe ? *CurrentProbe : Spare;
}

// The log-in with the user's own name and password: only over TLS, the
// strongest mechanism offered, then STAT, UIDL and QUIT (never DELE).
void TServerCheck::TState::Login()
{
    TLoginFacts& Facts = Report.Login;
    Facts.Tried = true;
    if (!IsSafeCredential(Options.User) || !IsSafeCredential(Options.Password)) {
        Facts.Reply = "Name oder Paßwort enthalten Steuerzeichen: nichts gesendet.";
        return;
    }
    const TPortPlan* Chosen = nullptr;
    for (int Pass = 0; Pass < 2 && !Chosen; ++Pass)
        for (const auto& Plan : Ports) {
            const TPortFacts& Port = Report.Addresses[Plan->AddressIndex].Ports[Plan->PortIndex];
            if (Port.TlsWorked && (Pass == 1 || Plan->Mode == TPortMode::Tls)) {
                Chosen = Plan.get();
                break;
            }
        }
    if (!Chosen) {
        Facts.Reply = "Keine verschlüsselte Verbindung: das Paßwort wurde nicht gesendet.";
        return;
    }
    TProbeConnection Connection(Cancel, &CurrentTranscript());
    std::string Reply;
    if (!Open(Connection, *Chosen)) {
        Facts.Reply = Connection.Error();
        return;
    }
    if (Chosen->Mode == TPortMode::Plain
        && (!Command(Connection, "STLS", Reply) || !IsPositiveReply(Reply)
            || !Connection.StartTls(Attempt(), Options.ReplyTimeoutMs))) {
        Facts.Reply = Reply.empty() || IsPositiveReply(Reply) ? Connection.Error() : Reply;
        return;
    }
    std::vector<std::string> Lines;
    std::string Joined;
    if (Capa(Connection, Lines))
        for (const std::string& Line : Lines)
            Joined += Line + "\r\n";
    const std::vector<std::string> Offered = TCapabilities::Parse(Joined).SaslMechanisms();
    auto IsOffered = [&](const char* Name) { return std::find(Offered.begin(), Offered.end(), Name) != Offered.end(); };
    bool Sasl = true;
    TSaslMechanism Mechanism = TSaslMechanism::Plain;
    if (IsOffered("SCRAM-SHA-256"))
        Mechanism = TSaslMechanism::ScramSha256;
    else if (IsOffered("CRAM-MD5"))
        Mechanism = TSaslMechanism::CramMd5;
    else if (!IsOffered("PLAIN"))
        Sasl = false;
    if (Sasl) {
        Facts.Mechanism = SaslMechanismName(Mechanism);
        TSaslClient Client(Mechanism, Options.User, Options.Password);
        TSaslStep Step = Client.Start();
        bool Sent = Connection.SendLine(Step.Line, "AUTH " + Facts.Mechanism + " (Anmeldedaten verborgen)");
        for (int Round = 0; Sent && Round < 6; ++Round) {
            if (!Connection.ReadLine(Reply, Options.ReplyTimeoutMs) || !IsContinuationReply(Reply))
                break;
            Step = Client.Answer(ContinuationData(Reply));
            Sent = Connection.SendLine(Step.Line, "(Antwort verborgen)");
        }
    } else {
        Facts.Mechanism = "USER/PASS";
        if (Command(Connection, "USER " + Options.User, Reply) && IsPositiveReply(Reply))
            Command(Connection, "PASS " + Options.Password, Reply, "PASS ********");
    }
    Facts.Succeeded = IsPositiveReply(Reply);
    Facts.Reply = Reply.empty() ? Connection.Error() : Reply;
    if (!Facts.Succeeded)
        return;
    if (Command(Connection, "STAT", Reply) && IsPositiveReply(Reply)) {
        long long Count = -1;
        long long Bytes = -1;
        if (std::sscanf(Reply.c_str(), "+OK %lld %lld", &Count, &Bytes) == 2) {
            Facts.MessageCount = Count;
            Facts.MailboxBytes = Bytes;
        }
    }
    if (Command(Connection, "UIDL", Reply) && IsPositiveReply(Reply)
        && Connection.ReadBody(Lines, Options.ReplyTimeoutMs))
        Facts.UidlCount = static_cast<int64_t>(Lines.size());
    Quit(Connection);
}

TServerCheck::TServerCheck(TCheckOptions Options, TCheckObserver* Observer)
    : FOptions(std::move(Options))
    , FObserver(Observer)
{
}

TServerCheck::~TServerCheck() = default;

namespace {

// Every address of the name, IPv4 ones first, each once.
std::vector<TPeerAddress> Resolve(const TCheckOptions& Options, const std::atomic<bool>& Cancel, std::string& Problem)
{
    std::vector<TPeerAddress> Found;
    TPeerAddress Numeric;
    if (!Options.Addresses.empty()) {
        for (const std::string& Text : Options.Addresses)
            if (ParseNumericAddress(Text, Numeric))
                Found.push_back(Numeric);
    } else if (ParseNumericAddress(Options.Host, Numeric)) {
        Found.push_back(Numeric);
    } else {
        THostLookup Lookup(Options.Host);
        const auto Until = TClock::now() + std::chrono::milliseconds(Options.ConnectTimeoutMs);
        while (!Lookup.Finished() && !Cancel.load() && TClock::now() < Until) {
            pollfd Watch { Lookup.ReadyHandle(), POLLIN, 0 };
            ::poll(&Watch, 1, TServerCheck::kSliceMs);
        }
        if (!Lookup.Finished())
            Problem = Cancel.load() ? "cancelled" : "look-up timed out";
        else if (Lookup.ErrorCode() != 0)
            Problem = WinsockErrorText(Lookup.ErrorCode());
        else
            Found = Lookup.Addresses();
    }
    std::vector<TPeerAddress> Unique;
    std::vector<std::string> Seen;
    for (int Family : { AF_INET, AF_INET6 })
        for (const TPeerAddress& Address : Found) {
            const std::string Text = NumericAddress(Address);
            if (Address.Family() != Family || Text.empty() || std::find(Seen.begin(), Seen.end(), Text) != Seen.end())
                continue;
            Seen.push_back(Text);
            Unique.push_back(Address);
        }
    return Unique;
}

} // namespace

TCheckReport TServerCheck::Run()
{
    const auto Start = TClock::now();
    TState State(FOptions, FObserver, FCancel);
    TCheckReport& Report = State.Report;
    Report.Host = FOptions.Host;
    Report.Port = FOptions.Port;
    const bool V6Literal = FOptions.Host.find(':') != std::string::npos;
    const std::string HostText = V6Literal ? "[" + FOptions.Host + "]" : FOptions.Host;
    Report.Target = FOptions.Port ? HostText + ":" + std::to_string(FOptions.Port) : HostText;
    Report.Started = IsoTime(std::time(nullptr));
    State.CertificateName = FOptions.Host;
    TPeerAddress Numeric;
    if (!ParseNumericAddress(FOptions.Host, Numeric))
        State.ServerName = FOptions.Host;

    std::string LookupProblem;
    const std::vector<TPeerAddress> Addresses = Resolve(FOptions, FCancel, LookupProblem);
    std::vector<std::pair<uint16_t, TPortMode>> Ports;
    if (FOptions.Port)
        Ports.emplace_back(FOptions.Port, FOptions.PortTls ? TPortMode::Tls : TPortMode::Plain);
    else
        Ports = { { FOptions.TlsPort, TPortMode::Tls }, { FOptions.PlainPort, TPortMode::Plain } };
    for (const TPeerAddress& Address : Addresses) {
        TAddressFacts Facts;
        const bool HasPlain
            = std::any_of(Ports.begin(), Ports.end(), [](const auto& Port) { return Port.second == TPortMode::Plain; });
        const auto Plain = HasPlain ? std::make_shared<TPlainVerdict>() : nullptr;
        Facts.Address = NumericAddress(Address);
        Facts.Ipv6 = Address.Family() == AF_INET6;
        for (const auto& [Port, Mode] : Ports) {
            auto Plan = std::make_unique<TPortPlan>();
            Plan->Plain = Plain;
            Plan->Address = Address;
            Plan->Numeric = Facts.Address;
            Plan->Port = Port;
            Plan->Mode = Mode;
            Plan->AddressIndex = Report.Addresses.size();
            Plan->PortIndex = Facts.Ports.size();
            TPortFacts PortFacts;
            PortFacts.Port = Port;
            PortFacts.Mode = Mode;
            Facts.Ports.push_back(PortFacts);
            State.Ports.push_back(std::move(Plan));
        }
        Report.Addresses.push_back(Facts);
    }

    // First probes first: every later one waits for its port's first connect.
    std::vector<TJob> Jobs;
    auto Where = [](const TPortPlan& Plan) {
        const std::string Host = Plan.Numeric.find(':') != std::string::npos ? "[" + Plan.Numeric + "]" : Plan.Numeric;
        return Host + ":" + std::to_string(Plan.Port);
    };
    auto Timed = [&State](TPortPlan& Plan, const char* Key, std::function<void()> Body) {
        return [&State, &Plan, Key, Body](TProbeTranscript&) {
            const auto Begin = TClock::now();
            Body();
            const int64_t Took = MillisecondsSince(Begin);
            State.Update(Plan, [&](TPortFacts& Facts) {
                int64_t& Kept = Facts.ProbeMs[Key];
                Kept = std::max(Kept, Took);
            });
        };
    };
    // Clear-text ports first: the attempts inside TLS wait for their refusal.
    std::stable_sort(State.Ports.begin(), State.Ports.end(),
        [](const auto& A, const auto& B) { return A->Mode == TPortMode::Plain && B->Mode == TPortMode::Tls; });
    for (auto& Plan : State.Ports) {
        TPortPlan& P = *Plan;
        Jobs.push_back({ "connect:" + Where(P), "Verbindung, Begrüßung, CAPA, Klartext-Anmeldung auf " + Where(P),
            Timed(P, "main", [&State, &P] { State.MainProbe(P); }) });
    }
    for (auto& Plan : State.Ports) {
        TPortPlan& P = *Plan;
        if (P.Mode == TPortMode::Plain) {
            Jobs.push_back({ "stls:" + Where(P), "STLS, CAPA nach TLS, Anmeldung in TLS auf " + Where(P),
                Timed(P, "stls", [&State, &P] { State.StlsProbe(P); }) });
            Jobs.push_back({ "injection:" + Where(P), "STLS-Einschleusung auf " + Where(P),
                Timed(P, "injection", [&State, &P] { State.InjectionProbe(P); }) });
        }
        for (int Version : { TLS1_3_VERSION, TLS1_2_VERSION, TLS1_1_VERSION, TLS1_VERSION })
            Jobs.push_back(
                { "tls" + std::to_string(Version) + ":" + Where(P), TlsVersionName(Version) + " auf " + Where(P),
                    Timed(P, "versions", [&State, &P, Version] { State.VersionProbe(P, Version); }) });
    }
    const bool WithLogin = !FOptions.User.empty() && !FOptions.Password.empty();
    State.Total = static_cast<int>(Jobs.size()) + (WithLogin ? 1 : 0);

    auto Announce = [&State](const TJob& Job, bool Starting, const TProbeTranscript* Transcript) {
        std::lock_guard<std::mutex> Guard(State.Lock);
        if (!State.Observer)
            return;
        if (Starting) {
            State.Observer->ProbeStarted(Job.Id, Job.Title);
            return;
        }
        State.Observer->ProbeFinished(Job.Id, *Transcript);
        State.Observer->Progress(++State.Done, State.Total);
    };
    auto RunJob = [&](TJob& Job) {
        TProbeTranscript Transcript;
        Transcript.Heading = "Prüfung: " + Job.Title;
        CurrentProbe = &Transcript;
        Announce(Job, true, nullptr);
        if (!FCancel.load())
            Job.Body(Transcript);
        CurrentProbe = nullptr;
        Announce(Job, false, &Transcript);
    };
    std::atomic<size_t> Next { 0 };
    auto Work = [&] {
        BlockBrokenPipeSignal();
        for (size_t Index = Next++; Index < Jobs.size(); Index = Next++)
            RunJob(Jobs[Index]);
    };
    std::vector<std::thread> Workers;
    const size_t Count = std::min<size_t>(kMaxConnections, Jobs.size());
    for (size_t Index = 0; Index < Count; ++Index)
        Workers.emplace_back(Work);
    for (std::thread& Worker : Workers)
        Worker.join();

    if (WithLogin && !FCancel.load()) {
        TJob Job { "login", "Anmeldung mit Name und Paßwort", [&State](TProbeTranscript&) { State.Login(); } };
        std::thread Single([&] {
            BlockBrokenPipeSignal();
            RunJob(Job);
        });
        Single.join();
    }

    // The raw "+OK to PASS" becomes the judgement from both refusals.
    for (TAddressFacts& Address : Report.Addresses)
        for (TPortFacts& Port : Address.Ports)
            Port.PlaintextLoginAccepted
                = PlaintextLoginTaken(Port.PlainRefusal, Port.TlsRefusal, Port.PlaintextLoginAccepted);
    Report.Cancelled = FCancel.load();
    Report.DurationMs = MillisecondsSince(Start);
    Report.Checks = JudgeReport(Report, LookupProblem);
    if (FObserver)
        for (const TCheckFinding& Finding : Report.Checks)
            FObserver->CheckFinished(Finding);
    return Report;
}
