#pragma once

// The worker both servers of practice/ run on: listening sockets on
// 127.0.0.1 (plain, and optionally one for TLS from the first byte), a wake
// pipe for Stop(), and one thread in poll() on them and every client. What
// a client does is its own (TPracticeClient); the loop only waits for it.

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

// A client the loop drives; nothing in it may wait.
class TPracticeClient {
public:
    using TClock = std::chrono::steady_clock;
    virtual ~TPracticeClient() = default;
    virtual int Socket() const = 0;
    // What poll() should wait for; 0 while nothing is (a held answer).
    virtual short Events() const = 0;
    // When Service() is due without any socket event.
    virtual TClock::time_point Deadline() const = 0;
    virtual void Service() = 0;
    // Work is left that no socket event will announce.
    virtual bool Due() const = 0;
    virtual bool Finished() const = 0;
};

class TPracticeLoop {
public:
    // A new connection on the plain port or (OnTls) the TLS port, with the
    // number of clients running; null when the socket was turned away
    // (closed by the callee).
    using TAccept = std::function<std::unique_ptr<TPracticeClient>(int Socket, bool OnTls, size_t Clients)>;

    TPracticeLoop() = default;
    ~TPracticeLoop();
    TPracticeLoop(const TPracticeLoop&) = delete;
    TPracticeLoop& operator=(const TPracticeLoop&) = delete;

    // Listens (port 0: a free one) and starts the worker; false with Problem
    // when a port could not be had.
    bool Start(int Port, int TlsPort, bool WithTls, TAccept Accept, std::string& Problem);
    // Ends every client and joins the worker.
    void Stop();
    bool Running() const { return FWorker.joinable(); }
    int Port() const { return FPort; }
    int TlsPort() const { return FTlsPort; }

private:
    void Run();

    TAccept FAccept;
    std::atomic<bool> FStopping { false };
    int FListener = -1;
    int FTlsListener = -1;
    int FWake[2] = { -1, -1 };
    int FPort = 0;
    int FTlsPort = 0;
    std::thread FWorker;
};
