#pragma once

// The browser flow's redirect target (RFC 8252 section 7.3): a listener on
// 127.0.0.1 at a free port that waits for one request to the expected path
// with the expected state, answers the browser with a short German page and
// ends. Other paths get 404 and it goes on waiting. Several connections are
// served side by side, so that a browser's idle pre-connection or a silent
// peer cannot hold it up; each has 10 s and 8 KB for its request head.

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

enum class TRedirectOutcome { Code, WrongState, Denied, ProviderError, TimedOut, Cancelled, Failed };

struct TRedirectResult {
    TRedirectOutcome Outcome = TRedirectOutcome::Failed;
    std::string Code; // for Code
    std::string Problem; // German, for the others; never contains the code
};

class TLoopbackListener {
public:
    static constexpr size_t kMaxRequestHead = 8 * 1024;
    static constexpr int kPeerTimeoutMs = 10000;
    static constexpr size_t kMaxConnections = 16;

    TLoopbackListener() = default;
    ~TLoopbackListener();
    TLoopbackListener(const TLoopbackListener&) = delete;
    TLoopbackListener& operator=(const TLoopbackListener&) = delete;

    bool Open(std::string& Problem); // binds 127.0.0.1, port 0
    uint16_t Port() const { return FPort; }
    // Returns within 100 ms of Cancel being set.
    TRedirectResult Wait(
        const std::string& Path, const std::string& State, const std::atomic<bool>& Cancel, int TimeoutMs);

private:
    struct TPeer {
        int Socket = -1;
        std::string Head;
        int64_t DeadlineMs = 0;
    };
    // A finished request head: true when it ends the wait (Result set).
    bool Answer(TPeer& Peer, const std::string& Path, const std::string& State, TRedirectResult& Result);
    void Close(TPeer& Peer);

    int FSocket = -1;
    uint16_t FPort = 0;
    std::vector<TPeer> FPeers;
};

// The page the browser shows afterwards.
std::string RedirectPage(bool Success, const std::string& Text);
