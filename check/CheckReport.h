#pragma once

// The server check's results: what was found out about each address and port
// (the facts, in the shape of the JSON export) and the findings judged from
// them (verdict, German title and explanation, technical details). Plain
// data, no Qt: the window, the terminal and the exports read the same report.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

enum class TCheckVerdict { Good, Notice, Warning, Failure };

// "Gut", "Hinweis", "Warnung", "Fehler".
std::string VerdictWord(TCheckVerdict Verdict);
// The JSON words: "good", "notice", "warning", "failure".
std::string VerdictKey(TCheckVerdict Verdict);

struct TCheckFinding {
    std::string Id; // stable, for scripts: "tls.version.tls10", "plaintext-login", ...
    TCheckVerdict Verdict = TCheckVerdict::Good;
    std::string Title; // German, one line
    std::string Explanation; // German: what it means, what to do
    std::string Details; // technical, as the server said it
    int64_t DurationMs = 0; // time of the probes behind it
    std::string Address; // empty for findings about the name as a whole
    uint16_t Port = 0; // 0 likewise
};

// One certificate of the chain as the server sent it.
struct TChainCertificate {
    std::string Subject;
    std::string Issuer;
    std::string NotBefore; // "2026-12-07 11:00:00 UTC"
    std::string NotAfter;
    std::string KeyType; // "RSA", "EC P-256", "Ed25519"
    int KeyBits = 0;
    std::string SignatureAlgorithm; // "sha256WithRSAEncryption"
};

struct TCertificateFacts {
    bool Present = false;
    std::string Subject; // of the server's own certificate
    std::string Issuer;
    std::string NotAfter; // ISO 8601, "2027-03-01T12:00:00Z"
    int DaysLeft = 0; // negative once expired
    bool NameMatches = false;
    bool Trusted = false; // a chain to the system store, time and name aside
    bool ChainComplete = false; // no intermediate missing
    std::string VerifyText; // OpenSSL's words when not trusted
    std::vector<TChainCertificate> Chain; // as sent, the server's own first
};

struct TTlsFacts {
    bool Tested = false; // the versions were tried
    // Each version tried on its own connection.
    bool Tls10 = false;
    bool Tls11 = false;
    bool Tls12 = false;
    bool Tls13 = false;
    std::string Protocol; // negotiated without limits: "TLSv1.3"
    std::string Cipher; // "TLS_AES_256_GCM_SHA384"
    bool ForwardSecrecy = false;
    std::string KeyExchange; // "ECDHE", "DHE", "RSA", "any" (TLS 1.3)
    TCertificateFacts Certificate;
};

enum class TPortMode { Tls, Plain };
enum class TInjectionResult { NotTested, NotVulnerable, Vulnerable };

struct TPortFacts {
    uint16_t Port = 0;
    TPortMode Mode = TPortMode::Plain;
    bool Connected = false;
    std::string ConnectError; // English, from the socket
    std::string Greeting; // the first line, without CR LF
    std::string ApopTimestamp; // "<1896.697170952@dbc.mtview.ca.us>", empty when none
    bool StlsOffered = false;
    bool TlsWorked = false; // a handshake (from the first byte or after STLS) got through
    std::string TlsError;
    TTlsFacts Tls;
    bool CapaBeforeRead = false;
    bool CapaAfterRead = false;
    std::vector<std::string> CapaBeforeTls; // one line each, as sent
    std::vector<std::string> CapaAfterTls;
    // Would take a password in clear text (see PlaintextLoginTaken); while
    // the probes run: "+OK" came to PASS before TLS.
    bool PlaintextLoginAccepted = false;
    std::string PlainRefusal; // the reply that ended the clear-text attempt
    std::string TlsRefusal; // the same attempt inside TLS
    TInjectionResult Injection = TInjectionResult::NotTested;
    std::string InjectionDetails;
    int64_t ConnectMs = -1; // -1: not measured
    int64_t TlsMs = -1;
    int64_t GreetingMs = -1;
    // How long each probe of this port took: "main", "stls", "injection", "versions".
    std::map<std::string, int64_t> ProbeMs;
};

struct TAddressFacts {
    std::string Address; // numeric
    bool Ipv6 = false;
    std::vector<TPortFacts> Ports;
};

// The optional log-in with the user's name and password.
struct TLoginFacts {
    bool Tried = false;
    bool Succeeded = false;
    std::string Mechanism; // "SCRAM-SHA-256", "CRAM-MD5", "PLAIN", "USER/PASS"
    std::string Reply; // the last reply, secrets never included
    int64_t MessageCount = -1;
    int64_t MailboxBytes = -1;
    int64_t UidlCount = -1;
};

struct TCheckReport {
    std::string Target; // "mail.example.org" or "mail.example.org:995"
    std::string Host;
    uint16_t Port = 0; // 0: both 995 and 110
    std::string Started; // ISO 8601 in UTC
    int64_t DurationMs = 0;
    bool Cancelled = false;
    std::vector<TAddressFacts> Addresses;
    TLoginFacts Login;
    std::vector<TCheckFinding> Checks;

    // The worst verdict; a report without findings (cancelled early) counts
    // as a failure, and so does one where no address answered.
    TCheckVerdict Overall() const;
    int Count(TCheckVerdict Verdict) const;
    bool AnythingReached() const;
};

// "ok" (good and notices only), "warning", "failure".
std::string OverallKey(const TCheckReport& Report);
// 0 all good (notices allowed), 1 warnings only, 2 a failure or nothing reached.
int ExitCodeOf(const TCheckReport& Report);
