#pragma once

// The address finder: from an e-mail address or a domain to its POP3 servers.
// Every source starts at once on a thread of its own and reports one row per
// question it asked, as soon as it has the answer: SRV and MX records (one
// after another to the one name server, so that a dead one costs one wait, not
// three), the domain's
// autoconfig file (HTTPS; HTTP only as a fallback), the provider database,
// the provider behind the MX and, when none of those names a server, probing
// likely host names. The servers are then merged into candidates with the
// sources that named them and notes on how far each can be trusted.

#include <atomic>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "discovery/FinderTypes.h"

class TSmartNSLookup;

// One DNS question of the search and its answer, for a caller that shows the
// records themselves. Lookup holds the answer only during the call.
struct TDnsAnswer {
    std::string Name;
    std::string Type; // "SRV" or "MX"
    bool Tls = false; // _pop3s
    bool Answered = false; // false: Code and Description say why
    int32_t Code = 0;
    std::string Description;
    const TSmartNSLookup* Lookup = nullptr;
};

// Told of each row as it is ready, from the sources' threads, one at a time.
class TFinderObserver {
public:
    virtual ~TFinderObserver() = default;
    virtual void SourceDone(const TSourceRow& Row) = 0;
    // Before the row of a DNS question, on the thread that asked.
    virtual void DnsAnswered(const TDnsAnswer& Answer) { (void)Answer; }
};

struct TFinderOptions {
    // The provider database's address, the domain appended; empty:
    // BRIEFLOTSE_ISPDB, else DefaultProviderDatabase.
    std::string ProviderDatabase;
    // The name server; empty: the machine's (BRIEFLOTSE_NAMESERVER, the
    // resolver configuration), else FallbackNameServer.
    std::string NameServerHost;
    std::string NameServerPort;
    int DnsTimeoutSeconds = 10;
    // Only the name server's SRV and MX records, no web and no probing: for
    // tests of what the name server says, which must not wait on the
    // machine's resolver.
    bool DnsOnly = false;
    int ProbeTimeoutMs = 5000;
    int HttpTimeoutMs = 10000;
};

inline constexpr char FinderFallbackNameServer[] = "9.9.9.9";
inline constexpr char DefaultProviderDatabase[] = "https://autoconfig.thunderbird.net/v1.1/";

class TAddressFinder {
public:
    TAddressFinder(TFinderQuery Query, TFinderOptions Options, TFinderObserver* Observer = nullptr);
    ~TAddressFinder();
    TAddressFinder(const TAddressFinder&) = delete;
    TAddressFinder& operator=(const TAddressFinder&) = delete;

    // Runs every source and waits for them; the report's rows in the order they came.
    TFinderReport Run();
    // From any thread: every source stops within one wait slice (50 ms).
    void Cancel();

    struct TShared;

private:
    std::shared_ptr<TShared> FShared;
};

// The pure parts, for the tests and the window.
namespace FinderRules {

// The provider database's address for a domain.
std::string ProviderDatabaseUrl(const std::string& Base, const std::string& Domain);
// Where the provider behind an MX host may keep its settings: the host's
// domain without its first label when that is below the registrable domain,
// then the registrable domain (Public Suffix List); neither when it is Domain.
std::vector<std::string> ProviderDomains(const std::string& MXHost, const std::string& Domain);
// True when Host is Domain or below it.
bool InsideDomain(const std::string& Host, const std::string& Domain);
// The offers merged by host, port and socket, in the order of the sources'
// rank and then as named; notes in German.
std::vector<TCandidate> MergeOffers(const std::vector<TOffer>& Offers, const std::string& Domain);

} // namespace FinderRules
