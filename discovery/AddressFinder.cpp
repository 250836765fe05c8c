#include "discovery/AddressFinder.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <poll.h>
#include <thread>

#include "check/ProbeConnection.h"
#include "discovery/ConfigFile.h"
#include "discovery/HttpFetch.h"
#include "discovery/PinnedNames.h"
#include "dns/SmartNSLookup.h"
#include "net/HostLookup.h"
#include "net/WinsockErrors.h"
#include "text/AsciiText.h"

namespace {

using TClock = std::chrono::steady_clock;

int64_t MsSince(TClock::time_point Start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - Start).count();
}

std::string ServerText(const std::string& Host, uint16_t Port, TSocketKind Socket)
{
    return Host + ":" + std::to_string(Port) + " (" + SocketLabel(Socket) + ")";
}

// Query values in a URL: letters, digits and "-._~" as they are, the rest %XX.
std::string UrlEncoded(const std::string& Text)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string Out;
    for (const char Char : Text) {
        const auto Byte = static_cast<unsigned char>(Char);
        if (IsAsciiAlnum(Char) || Char == '-' || Char == '.' || Char == '_' || Char == '~') {
            Out += Char;
        } else {
            Out += '%';
            Out += kHex[Byte >> 4];
            Out += kHex[Byte & 15];
        }
    }
    return Out;
}

std::string AutoconfigUrl(const std::string& Scheme, const std::string& Domain, const TFinderQuery& Query)
{
    std::string Url = Scheme + "://autoconfig." + Domain + "/mail/config-v1.1.xml";
    if (!Query.Address.empty())
        Url += "?emailaddress=" + UrlEncoded(Query.Address);
    return Url;
}

std::string WellKnownUrl(const std::string& Scheme, const std::string& Domain)
{
    return Scheme + "://" + Domain + "/.well-known/autoconfig/mail/config-v1.1.xml";
}

} // namespace

struct TAddressFinder::TShared {
    TFinderQuery Query;
    TFinderOptions Options;
    TFinderObserver* Observer = nullptr;
    TClock::time_point Start;
    std::atomic<bool> Cancel { false };
    // Also set by Cancel(): the probes stop when another source has named a server.
    std::atomic<bool> GuessCancel { false };

    std::mutex Lock;
    std::condition_variable Changed;
    std::vector<TSourceRow> Rows;
    std::vector<TOffer> Offers;
    std::vector<std::pair<uint16_t, std::string>> MXHosts;
    int HttpsPending = 2; // the two HTTPS autoconfig files
    bool HttpsFound = false;
    int OthersPending = 0; // every source but the probing
    bool OthersFound = false;

    void Report(const std::vector<TSourceRow>& NewRows, const std::vector<TOffer>& NewOffers)
    {
        std::lock_guard<std::mutex> Guard(Lock);
        for (const TSourceRow& Row : NewRows) {
            Rows.push_back(Row);
            if (Observer)
                Observer->SourceDone(Row);
        }
        Offers.insert(Offers.end(), NewOffers.begin(), NewOffers.end());
    }
};

namespace {

using TShared = TAddressFinder::TShared;

struct TAnswer {
    std::vector<TSourceRow> Rows;
    std::vector<TOffer> Offers;
};

// One config file: its row, a row for every server it names that cannot be
// offered, and the servers.
TAnswer FetchConfig(TShared& Shared, const std::string& Source, const std::string& Url)
{
    const auto Start = TClock::now();
    TFetchLimits Limits;
    Limits.TotalMs = Shared.Options.HttpTimeoutMs;
    const TFetchResult Fetched = FetchUrl(Url, Shared.Cancel, Limits);
    TAnswer Answer;
    TSourceRow Row;
    Row.Source = Source;
    Row.Asked = Url;
    const std::string Via = Fetched.Redirects > 0
        ? " (nach " + std::to_string(Fetched.Redirects) + " Weiterleitung(en), zuletzt " + Fetched.FinalUrl + ")"
        : std::string();
    if (Fetched.Outcome != TFetchOutcome::Ok) {
        Row.Result = Fetched.Outcome == TFetchOutcome::Missing ? TSourceResult::None : TSourceResult::Error;
        Row.Detail = Fetched.Problem;
    } else {
        const TConfigFile File = ReadConfigFile(Fetched.Body, Shared.Query);
        // A redirect from HTTP to HTTPS was itself open to forgery: which server answered was not chosen safely.
        const bool OverHttp = !StartsWithIgnoringAsciiCase(Url, "https://")
            || !StartsWithIgnoringAsciiCase(Fetched.FinalUrl, "https://");
        if (!File.Readable) {
            Row.Result = TSourceResult::Error;
            Row.Detail = File.Error + Via;
        } else if (File.Servers.empty()) {
            Row.Result = TSourceResult::None;
            Row.Detail = (File.Problems.empty() ? "Datei gelesen; sie nennt keinen POP3-Server."
                                                : "Datei gelesen; kein POP3-Server darin ist brauchbar.")
                + Via;
        } else {
            Row.Result = TSourceResult::Found;
            Row.Detail = "POP3: ";
            for (size_t Index = 0; Index < File.Servers.size(); ++Index)
                Row.Detail += (Index ? ", " : "")
                    + ServerText(File.Servers[Index].Host, File.Servers[Index].Port, File.Servers[Index].Socket);
            if (OverHttp)
                Row.Detail += "; unverschlüsselt abgerufen: könnte unterwegs verfälscht worden sein";
            Row.Detail += Via;
        }
        for (TOffer Offer : File.Servers) {
            Offer.Source = Source;
            Offer.OverHttp = OverHttp;
            Offer.ViaOtherName = Source.rfind("mx-", 0) == 0;
            Offer.EnableUrl = File.EnableUrl;
            Offer.DocumentationUrl = File.DocumentationUrl;
            Answer.Offers.push_back(Offer);
        }
        for (const std::string& Problem : File.Problems)
            Answer.Rows.push_back({ Source, Url, TSourceResult::Error, Problem, 0 });
    }
    Row.Ms = MsSince(Start);
    for (TSourceRow& Extra : Answer.Rows)
        Extra.Ms = Row.Ms;
    Answer.Rows.insert(Answer.Rows.begin(), Row);
    return Answer;
}

// A DNS response code says the record is not there; anything else means the
// name server cannot be asked.
bool IsAnswerCode(int32_t Code)
{
    return Code >= 1 && Code <= 15;
}

// One DNS question; false with the row filled in when it brought no records.
// One DNS question; false with the row filled in when it brought no records.
// Code: 0, or why there is no answer.
bool AskDns(TShared& Shared, TSmartNSLookup& Lookup, const std::string& Name, const char* Type, bool Tls,
    TSourceRow& Row, int32_t& Code)
{
    Code = 0;
    Lookup.Reset(true);
    Lookup.Header().SetRD(true);
    Lookup.Question().SetQName(Name);
    Lookup.Question().SetQType(Type);
    Lookup.Question().SetQClass("IN");
    Lookup.SetTimeout(Shared.Options.DnsTimeoutSeconds);
    Lookup.OnWaiting = [&] {
        if (Shared.Cancel.load())
            Lookup.Cancel();
    };
    TDnsAnswer Answer;
    Answer.Name = Name;
    Answer.Type = Type;
    Answer.Tls = Tls;
    Answer.Lookup = &Lookup;
    Answer.Answered = Lookup.Lookup();
    if (Answer.Answered) {
        if (Shared.Observer)
            Shared.Observer->DnsAnswered(Answer);
        return true;
    }
    std::string Origin;
    Lookup.GetErrorInfo(Origin, Answer.Code, Answer.Description);
    Code = Answer.Code;
    std::string Description = Answer.Description;
    if (Shared.Observer && !Shared.Cancel.load())
        Shared.Observer->DnsAnswered(Answer);
    // A response code says the record is not there; anything else is a failure.
    Row.Result = IsAnswerCode(Code) ? TSourceResult::None : TSourceResult::Error;
    if (Code == TSmartNSLookup::ErrorClosed || Code == TSmartNSLookup::ErrorNotDNS)
        Description = "antwortet nicht mit DNS über TCP";
    Row.Detail = "Name-Server " + Lookup.TargetHost() + ": " + Description;
    return false;
}

int32_t AskSrv(TShared& Shared, TSmartNSLookup& Lookup, bool Tls)
{
    const auto Start = TClock::now();
    TAnswer Answer;
    TSourceRow Row;
    Row.Source = "srv";
    const std::string Name = (Tls ? "_pop3s._tcp." : "_pop3._tcp.") + Shared.Query.Domain;
    Row.Asked = "SRV " + Name;
    int32_t Code = 0;
    if (CheckName(Name) != TSmartNSNameFault::None) {
        Row.Result = TSourceResult::Error;
        Row.Detail = "Der Name ist für eine DNS-Frage zu lang: nicht gefragt.";
    } else if (AskDns(Shared, Lookup, Name, "SRV", Tls, Row, Code)) {
        std::vector<TSmartNSSRV> Records;
        for (int Index = 0; Index < Lookup.Answers().Count(); ++Index) {
            TSmartNSSRV SRV;
            const TSmartNSRecord& Record = Lookup.Answers().Items(Index);
            if (Record.RRType == "SRV" && Record.Data.GetSRV(SRV))
                Records.push_back(SRV);
        }
        std::stable_sort(Records.begin(), Records.end(), [](const TSmartNSSRV& Left, const TSmartNSSRV& Right) {
            return Left.Priority != Right.Priority ? Left.Priority < Right.Priority : Left.Weight > Right.Weight;
        });
        for (const TSmartNSSRV& SRV : Records) {
            const std::string Host = AsciiLower(SRV.Target);
            std::string Problem;
            if (Host.empty())
                Problem = "Ziel „.“: die Domain bietet diesen Dienst ausdrücklich nicht an.";
            else if (!IsPlainHostName(Host))
                Problem = "Ziel mit unzulässigen Zeichen: nicht angeboten.";
            else if (SRV.Port == 0)
                Problem = "Port 0 von " + Host + " ist kein gültiger Port: nicht angeboten.";
            if (!Problem.empty()) {
                Answer.Rows.push_back({ "srv", Row.Asked, TSourceResult::Error, Problem, 0 });
                continue;
            }
            TOffer Offer;
            Offer.Host = Host;
            Offer.Port = SRV.Port;
            Offer.Socket = Tls ? TSocketKind::Ssl : TSocketKind::Plain;
            Offer.Source = "srv";
            Offer.ViaOtherName = true;
            if (!Tls)
                Offer.Notes.push_back("SRV _pop3: ob der Server STLS anbietet, zeigt erst CAPA.");
            Answer.Offers.push_back(Offer);
        }
        Row.Result = Answer.Offers.empty() ? TSourceResult::None : TSourceResult::Found;
        Row.Detail = Answer.Offers.empty() ? "Keine brauchbaren SRV-Einträge." : "";
        for (const TOffer& Offer : Answer.Offers)
            Row.Detail += (Row.Detail.empty() ? "" : ", ") + ServerText(Offer.Host, Offer.Port, Offer.Socket);
    }
    Row.Ms = MsSince(Start);
    for (TSourceRow& Extra : Answer.Rows)
        Extra.Ms = Row.Ms;
    Answer.Rows.insert(Answer.Rows.begin(), Row);
    Shared.Report(Answer.Rows, Answer.Offers);
    return Code;
}

std::string DatabaseBase(const TFinderOptions& Options)
{
    if (!Options.ProviderDatabase.empty())
        return Options.ProviderDatabase;
    const char* Chosen = std::getenv("BRIEFLOTSE_ISPDB");
    return Chosen && *Chosen ? Chosen : DefaultProviderDatabase;
}

// SRV for both services, then the MX, one after another to the one name
// server; then autoconfig and the database of the provider behind the MX, both
// at once. A name server that cannot be asked is not asked again.
void AskDnsAndProviderOfMX(TShared& Shared)
{
    TSmartNSLookup Lookup;
    if (!Shared.Options.NameServerHost.empty())
        Lookup.SetTargetHost(Shared.Options.NameServerHost);
    if (!Shared.Options.NameServerPort.empty())
        Lookup.SetTargetPort(Shared.Options.NameServerPort);
    if (Lookup.TargetHost().empty())
        Lookup.SetTargetHost(FinderFallbackNameServer);
    bool Reachable = true;
    for (const bool Tls : { true, false }) {
        if (!Reachable || Shared.Cancel.load()) {
            const std::string Name = (Tls ? "_pop3s._tcp." : "_pop3._tcp.") + Shared.Query.Domain;
            Shared.Report({ { "srv", "SRV " + Name, TSourceResult::Error,
                              "Nicht gefragt: der Name-Server war nicht zu erreichen.", 0 } },
                {});
            continue;
        }
        const int32_t Code = AskSrv(Shared, Lookup, Tls);
        Reachable = Code == 0 || IsAnswerCode(Code);
    }
    const auto Start = TClock::now();
    const std::string& Domain = Shared.Query.Domain;
    TSourceRow Row;
    Row.Source = "mx-autoconfig";
    Row.Asked = "MX " + Domain;
    std::vector<std::pair<uint16_t, std::string>> Hosts;
    int32_t Code = 0;
    if (!Reachable || Shared.Cancel.load()) {
        Row.Result = TSourceResult::Error;
        Row.Detail = "Nicht gefragt: der Name-Server war nicht zu erreichen.";
    } else if (AskDns(Shared, Lookup, Domain, "MX", false, Row, Code)) {
        for (int Index = 0; Index < Lookup.Answers().Count(); ++Index) {
            TSmartNSMX MX;
            const TSmartNSRecord& Record = Lookup.Answers().Items(Index);
            if (Record.RRType == "MX" && Record.Data.GetMX(MX) && IsPlainHostName(AsciiLower(MX.Exchange)))
                Hosts.emplace_back(MX.Preference, AsciiLower(MX.Exchange));
        }
        std::stable_sort(
            Hosts.begin(), Hosts.end(), [](const auto& Left, const auto& Right) { return Left.first < Right.first; });
        Row.Result = TSourceResult::None;
        Row.Detail = "Kein brauchbarer MX-Eintrag.";
    }
    std::vector<std::string> Domains;
    if (!Hosts.empty()) {
        Domains = FinderRules::ProviderDomains(Hosts.front().second, Domain);
        Row.Detail
            = "Niedrigster MX: " + Hosts.front().second + " (Vorrang " + std::to_string(Hosts.front().first) + "); ";
        if (Domains.empty()) {
            Row.Detail += "er liegt in der gefragten Domain selbst, nichts weiter zu fragen.";
        } else {
            Row.Result = TSourceResult::Found;
            Row.Detail += "Anbieter-Domain(s): ";
            for (size_t Index = 0; Index < Domains.size(); ++Index)
                Row.Detail += (Index ? ", " : "") + Domains[Index];
        }
    }
    Row.Ms = MsSince(Start);
    {
        std::lock_guard<std::mutex> Guard(Shared.Lock);
        Shared.MXHosts = Hosts;
    }
    Shared.Report({ Row }, {});
    std::vector<std::thread> Fetches;
    if (Shared.Options.DnsOnly)
        Domains.clear();
    for (const std::string& Provider : Domains) {
        Fetches.emplace_back([&Shared, Provider] {
            BlockBrokenPipeSignal();
            const TAnswer Answer = FetchConfig(Shared, "mx-autoconfig", AutoconfigUrl("https", Provider, Shared.Query));
            Shared.Report(Answer.Rows, Answer.Offers);
        });
        Fetches.emplace_back([&Shared, Provider] {
            BlockBrokenPipeSignal();
            const TAnswer Answer = FetchConfig(
                Shared, "mx-ispdb", FinderRules::ProviderDatabaseUrl(DatabaseBase(Shared.Options), Provider));
            Shared.Report(Answer.Rows, Answer.Offers);
        });
    }
    for (std::thread& Fetch : Fetches)
        Fetch.join();
}

void AskHttpsAutoconfig(TShared& Shared, const std::string& Source, const std::string& Url)
{
    const TAnswer Answer = FetchConfig(Shared, Source, Url);
    Shared.Report(Answer.Rows, Answer.Offers);
    std::lock_guard<std::mutex> Guard(Shared.Lock);
    --Shared.HttpsPending;
    Shared.HttpsFound = Shared.HttpsFound || !Answer.Offers.empty();
    Shared.Changed.notify_all();
}

// Fetched at once, used only when neither HTTPS file names a server.
void AskHttpAutoconfig(TShared& Shared, const std::string& Url)
{
    TAnswer Answer = FetchConfig(Shared, "autoconfig-http", Url);
    std::unique_lock<std::mutex> Guard(Shared.Lock);
    Shared.Changed.wait(Guard, [&] { return Shared.HttpsPending == 0; });
    const bool Unused = Shared.HttpsFound && !Answer.Offers.empty();
    Guard.unlock();
    if (Unused) {
        Answer.Offers.clear();
        Answer.Rows.resize(1);
        Answer.Rows.front().Result = TSourceResult::None;
        Answer.Rows.front().Detail = "Nicht verwendet: eine über HTTPS abgerufene Datei nennt schon Server.";
    }
    Shared.Report(Answer.Rows, Answer.Offers);
}

struct TProbeResult {
    bool Done = false;
    bool Pop3 = false;
    bool Stls = false;
    std::string Detail;
    int64_t Ms = 0;
};

// Connect, greeting, CAPA, QUIT: is there a POP3 server, and does it offer STLS?
TProbeResult Probe(TShared& Shared, const std::string& Host, uint16_t Port, bool Tls)
{
    const auto Start = TClock::now();
    TProbeResult Result;
    const int Limit = Shared.Options.ProbeTimeoutMs;
    const std::atomic<bool>& Cancel = Shared.GuessCancel;
    std::vector<TPeerAddress> Addresses;
    uint16_t ConnectPort = Port;
    if (const TPinnedName* Pin = FindPin(PinnedNames(), Host, Port)) {
        TPeerAddress Address;
        ParseNumericAddress(Pin->Address, Address);
        Addresses.push_back(Address);
        ConnectPort = Pin->ConnectPort ? Pin->ConnectPort : Port;
    } else {
        THostLookup Lookup(Host);
        const auto Until = TClock::now() + std::chrono::milliseconds(Limit);
        while (!Lookup.Finished() && !Cancel.load() && TClock::now() < Until) {
            pollfd Watch { Lookup.ReadyHandle(), POLLIN, 0 };
            ::poll(&Watch, 1, TProbeConnection::kSliceMs);
        }
        if (Lookup.Finished() && Lookup.ErrorCode() == 0)
            Addresses = Lookup.Addresses();
        else if (Lookup.Finished())
            Result.Detail = "Host nicht gefunden.";
        else
            Result.Detail = Cancel.load() ? "Abgebrochen." : "Host-Suche ohne Antwort.";
    }
    for (size_t Index = 0; Index < Addresses.size() && Index < 2 && !Result.Pop3 && !Cancel.load(); ++Index) {
        TProbeConnection Connection(Cancel, nullptr);
        std::string Line;
        if (!Connection.Connect(Addresses[Index], ConnectPort, Limit)) {
            Result.Detail = "Keine Verbindung: " + Connection.Error();
            continue;
        }
        if (Tls && !Connection.StartTls({ 0, Host }, Limit)) {
            Result.Detail = "Kein TLS: " + Connection.Error();
            continue;
        }
        if (!Connection.ReadLine(Line, Limit) || Line.rfind("+OK", 0) != 0) {
            Result.Detail = "Kein POP3-Gruß.";
            continue;
        }
        Result.Pop3 = true;
        std::vector<std::string> Capabilities;
        if (Connection.SendLine("CAPA") && Connection.ReadLine(Line, Limit) && Line.rfind("+OK", 0) == 0)
            Connection.ReadBody(Capabilities, Limit);
        for (const std::string& Capability : Capabilities)
            Result.Stls = Result.Stls || EqualsIgnoringAsciiCase(Capability, "STLS");
        if (Connection.SendLine("QUIT"))
            Connection.ReadLine(Line, 1000);
        Result.Detail = Tls ? "POP3-Server, TLS ab dem ersten Byte."
            : Result.Stls   ? "POP3-Server; CAPA nennt STLS."
                            : "POP3-Server; CAPA nennt kein STLS.";
    }
    if (Cancel.load() && !Result.Pop3)
        Result.Detail = "Abgebrochen.";
    Result.Ms = MsSince(Start);
    Result.Done = true;
    return Result;
}

// Likely host names on 995 and 110, all at once (8 connections); the first
// host in this order that answers as a POP3 server wins. Only when no other
// source names a server: the probes stop as soon as one does.
void Guess(TShared& Shared)
{
    const auto Start = TClock::now();
    const std::string& Domain = Shared.Query.Domain;
    const std::vector<std::string> Hosts = { "pop3." + Domain, "pop." + Domain, "mail." + Domain, Domain };
    const uint16_t Ports[] = { 995, 110 };
    std::vector<TProbeResult> Results(Hosts.size() * 2);
    std::vector<std::thread> Probes;
    for (size_t Index = 0; Index < Results.size(); ++Index)
        Probes.emplace_back([&, Index] {
            BlockBrokenPipeSignal();
            TProbeResult Result = Probe(Shared, Hosts[Index / 2], Ports[Index % 2], Index % 2 == 0);
            std::lock_guard<std::mutex> Guard(Shared.Lock);
            Results[Index] = Result;
            Shared.Changed.notify_all();
        });
    int Winner = -1;
    bool NotNeeded = false;
    {
        std::unique_lock<std::mutex> Guard(Shared.Lock);
        for (;;) {
            if (Shared.OthersPending == 0 && Shared.OthersFound) {
                NotNeeded = true;
                break;
            }
            // The first host, in order, whose two probes have ended: it wins or the next one is looked at.
            bool Open = false;
            for (size_t Host = 0; Host < Hosts.size() && !Open && Winner < 0; ++Host) {
                const TProbeResult& Secure = Results[Host * 2];
                const TProbeResult& Plain = Results[Host * 2 + 1];
                if ((Secure.Done && Secure.Pop3) || (Plain.Done && Plain.Pop3)) {
                    if (Secure.Done && Plain.Done)
                        Winner = static_cast<int>(Host);
                    else
                        Open = true;
                } else if (!Secure.Done || !Plain.Done) {
                    Open = true;
                }
            }
            if (Winner >= 0)
                Shared.GuessCancel.store(true);
            const bool AllEnded = std::all_of(Results.begin(), Results.end(), [](const auto& R) { return R.Done; });
            if ((Winner >= 0 || AllEnded || Shared.Cancel.load()) && Shared.OthersPending == 0)
                break;
            Shared.Changed.wait_for(Guard, std::chrono::milliseconds(50));
        }
    }
    Shared.GuessCancel.store(true);
    for (std::thread& Probe : Probes)
        Probe.join();
    const std::string Asked = Hosts[0] + ", " + Hosts[1] + ", " + Hosts[2] + ", " + Hosts[3] + ": Port 995 und 110";
    if (NotNeeded) {
        Shared.Report({ { "guess", Asked, TSourceResult::None, "Nicht nötig: andere Quellen nennen einen Server.",
                          MsSince(Start) } },
            {});
        return;
    }
    TAnswer Answer;
    for (size_t Index = 0; Index < Results.size(); ++Index) {
        const TProbeResult& Result = Results[Index];
        const std::string& Host = Hosts[Index / 2];
        const bool Tls = Index % 2 == 0;
        TSourceRow Row { "guess", Host + ":" + std::to_string(Ports[Index % 2]) + (Tls ? " (TLS)" : ""),
            Result.Pop3 ? TSourceResult::Found : TSourceResult::None, Result.Detail, Result.Ms };
        if (Winner >= 0 && static_cast<size_t>(Winner) < Index / 2 && !Result.Pop3)
            Row.Detail = "Nicht mehr nötig: " + Hosts[static_cast<size_t>(Winner)] + " antwortet.";
        Answer.Rows.push_back(Row);
        if (Result.Pop3 && Winner == static_cast<int>(Index / 2)) {
            TOffer Offer;
            Offer.Host = Host;
            Offer.Port = Ports[Index % 2];
            Offer.Socket = Tls ? TSocketKind::Ssl : Result.Stls ? TSocketKind::StartTls : TSocketKind::Plain;
            Offer.Source = "guess";
            // The probe only asks whether POP3 answers; "--check" judges the certificate.
            Offer.Notes.push_back("Durch Ausprobieren gefunden (Zertifikat dabei nicht geprüft): der Benutzername ist "
                                  "nicht bekannt.");
            Answer.Offers.push_back(Offer);
        }
    }
    Shared.Report(Answer.Rows, Answer.Offers);
}

} // namespace

TAddressFinder::TAddressFinder(TFinderQuery Query, TFinderOptions Options, TFinderObserver* Observer)
    : FShared(std::make_shared<TShared>())
{
    FShared->Query = std::move(Query);
    FShared->Options = std::move(Options);
    FShared->Observer = Observer;
}

TAddressFinder::~TAddressFinder() = default;

void TAddressFinder::Cancel()
{
    FShared->Cancel.store(true);
    FShared->GuessCancel.store(true);
    std::lock_guard<std::mutex> Guard(FShared->Lock);
    FShared->Changed.notify_all();
}

TFinderReport TAddressFinder::Run()
{
    TShared& Shared = *FShared;
    Shared.Start = TClock::now();
    const TFinderQuery& Query = Shared.Query;
    const std::string Database = DatabaseBase(Shared.Options);
    std::vector<std::function<void(TShared&)>> Sources = {
        [&](TShared& S) { AskHttpsAutoconfig(S, "autoconfig", AutoconfigUrl("https", Query.Domain, Query)); },
        [&](TShared& S) { AskHttpsAutoconfig(S, "autoconfig-wellknown", WellKnownUrl("https", Query.Domain)); },
        [&](TShared& S) { AskHttpAutoconfig(S, AutoconfigUrl("http", Query.Domain, Query)); },
        [&](TShared& S) { AskHttpAutoconfig(S, WellKnownUrl("http", Query.Domain)); },
        [&](TShared& S) {
            const TAnswer Answer = FetchConfig(S, "ispdb", FinderRules::ProviderDatabaseUrl(Database, Query.Domain));
            S.Report(Answer.Rows, Answer.Offers);
        },
        AskDnsAndProviderOfMX,
    };
    if (Shared.Options.DnsOnly)
        Sources.erase(Sources.begin(), Sources.end() - 1);
    Shared.OthersPending = static_cast<int>(Sources.size());
    std::vector<std::thread> Threads;
    for (auto& Source : Sources)
        Threads.emplace_back([&Shared, &Source] {
            BlockBrokenPipeSignal();
            Source(Shared);
            std::lock_guard<std::mutex> Guard(Shared.Lock);
            --Shared.OthersPending;
            Shared.OthersFound = !Shared.Offers.empty();
            Shared.Changed.notify_all();
        });
    if (!Shared.Options.DnsOnly)
        Threads.emplace_back([&Shared] {
            BlockBrokenPipeSignal();
            Guess(Shared);
        });
    for (std::thread& Thread : Threads)
        Thread.join();

    TFinderReport Report;
    Report.Query = Query;
    Report.Sources = Shared.Rows;
    Report.Candidates = FinderRules::MergeOffers(Shared.Offers, Query.Domain);
    Report.MXHosts = Shared.MXHosts;
    Report.Cancelled = Shared.Cancel.load();
    Report.Ms = MsSince(Shared.Start);
    return Report;
}
