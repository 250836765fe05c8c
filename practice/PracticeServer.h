#pragma once

// The practice server: POP3 on 127.0.0.1 with the built-in sample mailbox,
// plain (with STLS) on one port and TLS from the first byte on a second one.
// One worker thread waits in poll() on both listening sockets and every
// client, so any number of sessions run side by side without blocking the
// caller; Stop() (or the destructor) ends them all and joins the thread.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "practice/PracticeFault.h"
#include "practice/PracticeLoop.h"
#include "practice/PracticeSession.h"

class TPracticeTls;

struct TPracticeOptions {
    int Port = 0; // 0: a free one
    int TlsPort = 0; // 0: a free one
    bool WithTls = true; // STLS and the TLS port
    int IdleSeconds = 600; // RFC 1939's ten minutes
    int LineSeconds = 60; // for a command line from its first byte, and a TLS handshake
    int FirstCommandSeconds = 300; // from a connection to its first command
    int SlowMs = 12000; // delay per answer with TPracticeFault::Slow
    int LoginDelaySeconds = 20;
    size_t MaxConnections = 32;
};

class TPracticeServer {
public:
    explicit TPracticeServer(const TPracticeOptions& Options = TPracticeOptions());
    ~TPracticeServer();
    TPracticeServer(const TPracticeServer&) = delete;
    TPracticeServer& operator=(const TPracticeServer&) = delete;

    // Listens and starts the worker; false with Problem() when a port could not be had.
    bool Start();
    void Stop();
    bool Running() const { return FLoop.Running(); }
    const std::string& Problem() const { return FProblem; }

    // The ports listened on; 0 before Start() (TlsPort() also without TLS).
    int Port() const { return FLoop.Port(); }
    int TlsPort() const { return FLoop.TlsPort(); }
    // The certificate of the TLS port; null without TLS.
    const TPracticeTls* Tls() const { return FTls.get(); }

    // The fault of sessions that start from now on (one per session).
    void SetFault(TPracticeFault Fault);
    TPracticeFault Fault() const { return FFault.load(); }

    // Told on the worker thread as any session's exchange starts (greeting or
    // command) and whenever a session's fault shows. Set before Start().
    std::function<void()> OnExchange;
    std::function<void(TPracticeFault)> OnFault;

private:
    std::unique_ptr<TPracticeClient> Accept(int Socket, bool OnTls, size_t Clients);

    TPracticeOptions FOptions;
    std::unique_ptr<TPracticeTls> FTls;
    TPracticeLoginClock FLoginClock;
    std::atomic<TPracticeFault> FFault { TPracticeFault::None };
    std::string FProblem;
    TPracticeLoop FLoop; // last: its worker stops before the rest goes
};
