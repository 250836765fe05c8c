#pragma once

// What the address finder asks and finds, without any widget: the query, one
// row per question a source asked, the servers the sources offered and the
// merged candidates the user chooses from.

#include <cstdint>
#include <string>
#include <vector>

struct TFinderQuery {
    std::string Address; // "anna@beispiel.test"; empty when only a domain was given
    std::string LocalPart; // "anna"
    std::string Domain; // "beispiel.test", lower case, no final dot
};

// Splits an address or a domain; false with a German reason when it is neither.
bool ParseFinderQuery(const std::string& Text, TFinderQuery& Query, std::string& Problem);

enum class TSourceResult { Found, None, Error };
const char* SourceResultName(TSourceResult Result); // "found", "none", "error"

struct TSourceRow {
    std::string Source; // "srv", "autoconfig", ... as in the JSON
    std::string Asked; // the URL or the DNS question
    TSourceResult Result = TSourceResult::None;
    std::string Detail; // German
    int64_t Ms = 0;
};

// How the server wants to be spoken to, as config-v1.1 names it.
enum class TSocketKind { Ssl, StartTls, Plain };
const char* SocketName(TSocketKind Kind); // "SSL", "STARTTLS", "plain"
const char* SocketLabel(TSocketKind Kind); // "TLS", "STLS", "unverschlüsselt"

// One server as one source named it.
struct TOffer {
    std::string Host; // lower case
    uint16_t Port = 0;
    TSocketKind Socket = TSocketKind::Ssl;
    std::string Username; // placeholders filled in where the query allows
    std::vector<std::string> Authentication;
    std::string Source;
    bool OverHttp = false; // the file came unencrypted
    bool ViaOtherName = false; // found through DNS outside the domain (SRV, MX), not checked by DNSSEC
    std::string EnableUrl; // the provider's page for switching POP on
    std::string DocumentationUrl;
    std::vector<std::string> Notes; // the source's own remarks
};

struct TCandidate {
    std::string Host;
    uint16_t Port = 0;
    TSocketKind Socket = TSocketKind::Ssl;
    std::string Username;
    std::vector<std::string> Authentication;
    std::vector<std::string> Sources;
    std::vector<std::string> Notes; // German
    std::string ProviderUrl; // a page for switching POP on, else the documentation; empty for none
};

struct TFinderReport {
    TFinderQuery Query;
    std::vector<TSourceRow> Sources;
    std::vector<TCandidate> Candidates;
    // The domain's MX hosts, lowest preference first: SMTP servers, for learning.
    std::vector<std::pair<uint16_t, std::string>> MXHosts;
    bool Cancelled = false;
    int64_t Ms = 0;
};
