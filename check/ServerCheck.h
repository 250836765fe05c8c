#pragma once

// TServerCheck: the whole check of one POP3 server. Looks up every address of
// the name (A and AAAA through the system's resolver, like every connection
// of the program, so /etc/hosts counts), runs the probes of each address and
// port concurrently, at most kMaxConnections at a time, and judges the
// findings. No Qt.
//
// Threads: Run() blocks its caller (the window runs it on a worker thread)
// and runs the probes on threads of its own. The observer's ProbeStarted,
// ProbeFinished and Progress come from those threads, CheckFinished from the
// thread of Run() once the probes have ended; never two calls at once (the
// check serialises them). A window forwards each through a queued signal.
// Cancel() is safe from any thread: every probe waits with poll() in slices
// of kSliceMs, so all of them end within 100 ms.

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "check/CheckReport.h"

// What a probe sent and received, for the protocol log: one heading of the
// program's own ("Prüfung: TLS 1.2 auf 127.0.0.1:995") and the lines in
// order. Passwords never appear: the log-in's secrets are replaced.
struct TProbeTranscript {
    struct TLine {
        bool Sent = false;
        std::string Text; // without CR LF
    };
    std::string Heading;
    std::vector<TLine> Lines;
};

class TCheckObserver {
public:
    virtual ~TCheckObserver() = default;
    // A probe (one connection) starts or ends; Id is unique within a run.
    virtual void ProbeStarted(const std::string& Id, const std::string& Title)
    {
        (void)Id;
        (void)Title;
    }
    virtual void ProbeFinished(const std::string& Id, const TProbeTranscript& Transcript)
    {
        (void)Id;
        (void)Transcript;
    }
    // A finding is judged (in the order of the report).
    virtual void CheckFinished(const TCheckFinding& Finding) { (void)Finding; }
    // Probes done out of all planned so far (the total grows once the
    // addresses are known).
    virtual void Progress(int Done, int Total)
    {
        (void)Done;
        (void)Total;
    }
};

struct TCheckOptions {
    std::string Host; // name or address; an IPv6 literal without brackets
    uint16_t Port = 0; // 0: 995 (TLS) and 110 (plain, then STLS)
    bool PortTls = false; // the one Port given speaks TLS from the first byte
    // Where the two ports are when Port is 0 (servers on other ports, tests).
    uint16_t TlsPort = 995;
    uint16_t PlainPort = 110;
    std::string User; // with Password: the optional log-in
    std::string Password;
    int ConnectTimeoutMs = 8000;
    int ReplyTimeoutMs = 8000; // one reply, one handshake
    // Addresses to use instead of a look-up (tests, the window's own list).
    std::vector<std::string> Addresses;
};

// A host and port as typed ("host", "host:port", "[v6]:port", "pop3s://host"
// for 995, "pop3://host" for 110) into Host, Port and PortTls of Options;
// false and a German reason for characters no host name has or a port
// outside 1-65535, before anything goes on the wire.
bool ParseCheckTarget(const std::string& Text, TCheckOptions& Options, std::string& Problem);

// No control characters: a CR LF in a name or password would end the USER
// or PASS line early and send what follows as a command of its own.
bool IsSafeCredential(const std::string& Text);

class TServerCheck {
public:
    static constexpr int kMaxConnections = 8;
    static constexpr int kSliceMs = 50;

    explicit TServerCheck(TCheckOptions Options, TCheckObserver* Observer = nullptr);
    ~TServerCheck();
    TServerCheck(const TServerCheck&) = delete;
    TServerCheck& operator=(const TServerCheck&) = delete;

    // The whole check; returns when every probe has ended (also after
    // Cancel(), then with Cancelled set and the findings so far).
    TCheckReport Run();
    void Cancel() { FCancel.store(true); }
    bool Cancelled() const { return FCancel.load(); }

private:
    struct TState;
    TCheckOptions FOptions;
    TCheckObserver* FObserver;
    std::atomic<bool> FCancel { false };
};
