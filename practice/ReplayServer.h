#pragma once

// The practice server serving a transcript back (--replay): the first client
// gets connection 1 of the recording, the next connection 2, and so on; each
// hears the recording's bytes in the recorded chunks (and pauses, with
// Timing) and must send the recorded commands, a different one gets "-ERR".
// Ports as the practice server's: plain (STLS in the recording starts TLS
// with this server's own certificate) and TLS from the first byte, which is
// where a recorded pop3s connection is served. One worker thread in poll(),
// as TPracticeServer.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "practice/PracticeLoop.h"
#include "practice/ReplaySession.h"

class TPracticeTls;

struct TReplayOptions {
    std::string Path;
    bool Timing = false; // the recorded pauses between events
    int Port = 0; // 0: a free one
    int TlsPort = 0;
    int IdleSeconds = 600;
    size_t MaxConnections = 32;
};

class TReplayServer {
public:
    explicit TReplayServer(const TReplayOptions& Options);
    ~TReplayServer();
    TReplayServer(const TReplayServer&) = delete;
    TReplayServer& operator=(const TReplayServer&) = delete;

    // Reads the file through once, then listens: false with Problem() for a
    // file that cannot be served (FileProblem() then) or a port not had.
    bool Start();
    void Stop();
    bool Running() const { return FLoop.Running(); }
    const std::string& Problem() const { return FProblem; }
    bool FileProblem() const { return FFileProblem; }

    int Port() const { return FLoop.Port(); }
    int TlsPort() const { return FLoop.TlsPort(); }
    const TPracticeTls* Tls() const { return FTls.get(); }
    // Connections in the recording.
    size_t Connections() const { return FConnections.size(); }
    // Connection 1 of the recording was TLS from its first byte.
    bool FirstImplicitTls() const { return !FConnections.empty() && FConnections.front().ImplicitTls; }

    // A command that differs, a connection the recording has no more of;
    // told on the worker thread. Set before Start().
    std::function<void(const std::string&)> OnDiagnostic;

private:
    std::unique_ptr<TPracticeClient> Accept(int Socket, bool OnTls, size_t Clients);
    void Tell(const std::string& Text) const;

    TReplayOptions FOptions;
    std::vector<TReplayConnectionInfo> FConnections;
    std::unique_ptr<TPracticeTls> FTls;
    size_t FServed = 0; // connections handed out; on the worker thread
    std::string FProblem;
    bool FFileProblem = false;
    TPracticeLoop FLoop; // last: its worker stops before the rest goes
};
