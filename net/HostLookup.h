#pragma once

// One host name look-up that a caller can wait for with poll() and abandon.
// getaddrinfo() blocks for as long as the resolver likes, so it runs on a
// worker thread; the state both sides use is shared, so a caller that gives up
// (time-out, destruction) leaves the worker nothing dangling to touch.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/PeerAddress.h"

// Fills Found with the addresses of Host, in the resolver's order of
// preference (port 0); gives 0 or the WinSock code of the failure. Runs on
// the worker thread.
using THostResolver = std::function<int32_t(const std::string& Host, std::vector<TPeerAddress>& Found)>;

// The system's resolver (getaddrinfo), IPv4 and IPv6.
int32_t ResolveWithSystem(const std::string& Host, std::vector<TPeerAddress>& Found);

class THostLookup {
public:
    // Starts at once; an empty Resolver means the system's.
    explicit THostLookup(const std::string& Host, THostResolver Resolver = {});
    ~THostLookup();
    THostLookup(const THostLookup&) = delete;
    THostLookup& operator=(const THostLookup&) = delete;

    // Becomes readable when the look-up has finished.
    int ReadyHandle() const;
    bool Finished() const;
    // Once finished: 0, or the WinSock code of the failure.
    int32_t ErrorCode() const;
    // Once finished without error: every address, in the resolver's order.
    std::vector<TPeerAddress> Addresses() const;

    struct State;

private:
    std::shared_ptr<State> FState;
};
