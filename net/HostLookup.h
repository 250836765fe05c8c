#pragma once

// One host name look-up that a caller can wait for with poll() and abandon.
// getaddrinfo() blocks for as long as the resolver likes, so it runs on a
// worker thread; the state both sides use is shared, so a caller that gives up
// (time-out, destruction) leaves the worker nothing dangling to touch.

#include <cstdint>
#include <memory>
#include <string>
#include <sys/socket.h>

class THostLookup {
public:
    explicit THostLookup(const std::string& Host); // starts at once
    ~THostLookup();
    THostLookup(const THostLookup&) = delete;
    THostLookup& operator=(const THostLookup&) = delete;

    // Becomes readable when the look-up has finished.
    int ReadyHandle() const;
    bool Finished() const;
    // Once finished: 0, or the WinSock code of the failure.
    int32_t ErrorCode() const;
    // Once finished without error: the first IPv4 address, or the first IPv6
    // address when the name has no IPv4 one. Port 0.
    void Address(sockaddr_storage& Out, socklen_t& Length) const;

    struct State;

private:
    std::shared_ptr<State> FState;
};
