#pragma once

// Connecting to a name with several addresses (RFC 8305, "Happy Eyeballs"):
// a host with an IPv6 and an IPv4 address is often reachable by one family
// only, so each address gets its attempt, the families taking turns, a new
// one every 250 ms while earlier ones are still pending, and at once when
// one fails. The first to connect wins; the others are closed. The caller
// owns the time limit and calls Poll() until Won() or Lost().

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "net/PeerAddress.h"

// The order to try Resolved in: duplicates dropped, the families taking
// turns, the first address's family first, each family in its own order.
std::vector<TPeerAddress> ConnectOrder(const std::vector<TPeerAddress>& Resolved);

class TConnectRace {
public:
    static constexpr int kStaggerMs = 250;

    // Addresses in the order to try (see ConnectOrder), each given Port.
    TConnectRace(std::vector<TPeerAddress> Addresses, uint16_t PortNetworkOrder);
    ~TConnectRace(); // closes every socket not taken
    TConnectRace(const TConnectRace&) = delete;
    TConnectRace& operator=(const TConnectRace&) = delete;

    // Starts what is due, then waits with poll() at most Milliseconds for an
    // attempt to finish or the next one to be due, and takes in the results.
    void Poll(int Milliseconds);
    bool Won() const { return FWinner >= 0; }
    // Every address tried, none connected.
    bool Lost() const;
    // The code of the last attempt that failed: the one tried longest is
    // likelier to say why than an address that had no route at once.
    int32_t LastFailure() const { return FLastFailure; }

    // The winner's socket, handed over: the race closes it no more (-1 if none).
    int TakeSocket();
    const TPeerAddress& WinnerAddress() const;
    // Attempts still pending end with Code (a time-out, a stop).
    void GiveUp(int32_t Code);
    // The attempts that failed, in the order they were started, as
    // "address: English error text" ("[::1]: Connection refused").
    std::vector<std::string> Failures() const;

private:
    using Clock = std::chrono::steady_clock;
    struct TAttempt {
        TPeerAddress Address;
        int Socket = -1;
        int32_t Code = 0; // failed with this
    };

    void StartNext();
    void Fail(TAttempt& Attempt, int32_t Code);
    void Win(size_t Index);
    size_t PendingCount() const;

    std::vector<TAttempt> FAttempts;
    size_t FStarted = 0;
    int FWinner = -1;
    int32_t FLastFailure = 0;
    Clock::time_point FNextStart;
};
