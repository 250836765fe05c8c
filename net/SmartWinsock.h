#pragma once

// TSmartWinsock: one outgoing TCP connection to a host and service given by
// name. Every operation looks synchronous to the caller: the socket works in
// non-blocking mode and each step waits at most Timeout seconds (poll(), no
// busy loop). Failures never leave as exceptions: each is reported once through
// OnError with an origin, a WinSock-style code and an English text, and the
// operation returns false or -1.
//
// No Qt in here: the window watches SocketHandle() with its own notifier and
// calls ProcessEvents() when the socket becomes readable between operations.
//
// Defaults: a C++ base constructor cannot reach a subclass's overrides, so the
// constructor here takes the base defaults (this machine, service "echo",
// Timeout 20); a subclass constructor sets its own target afterwards.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "net/StreamTransport.h"

class TSmartWinsock;
class THostLookup;

enum TSmartWinsockEvent { weConnect = 0, weRead = 1, weWrite = 2, weLookup = 3, weFailed = 4 };

using TSmartWinsockError = std::function<void(TSmartWinsock* Sender, const std::string& Origin, int32_t Code,
                                              const std::string& Description)>;

class TSmartWinsock : public TStreamTransport {
public:
    TSmartWinsock();
    virtual ~TSmartWinsock();

    TSmartWinsock(const TSmartWinsock&) = delete;
    TSmartWinsock& operator=(const TSmartWinsock&) = delete;

    // Target. "host:port" (or "[v6]:port") also sets TargetPort.
    const std::string& TargetHost() const override { return FTargetHost; }
    void SetTargetHost(const std::string& Value) override;
    const std::string& TargetPort() const { return FTargetPort; }
    void SetTargetPort(const std::string& Value) override;
    uint8_t Timeout() const { return FTimeout; }
    void SetTimeout(int Seconds) override; // kept within 1..60

    bool Connect() override;
    bool Disconnect() override;
    bool Connected() const override;

    int32_t Send(const void* Buffer, int32_t Count);
    int32_t Receive(void* Buffer, int32_t Size);
    // Sends the whole text (repeats after a partial send, each wait bounded).
    int32_t SendString(const std::string& Text) override;
    // One Receive of at most 8192 bytes into Text (NUL bytes kept).
    int32_t ReceiveString(std::string& Text) override;

    int32_t BytesAvailable() const override;
    // True when the peer has closed its side in order: nothing is left to
    // read and a read would end at once (a reset is reported as an error).
    bool PeerHasClosed() const;
    int64_t BytesSent() const override { return FBytesSent; }
    int64_t BytesReceived() const override { return FBytesReceived; }
    int32_t LastError() const { return FLastError; }

    static std::string LocalHostName();
    static std::string ErrorText(int32_t Code);

    // Fills the three values for the last error and clears LastError.
    virtual void GetErrorInfo(std::string& Origin, int32_t& Code, std::string& Description);

    TSmartWinsockError OnError;
    // OnError without the sender.
    void SetErrorHandler(TTransportError Handler) override;

    // Called every few tens of milliseconds while an operation waits, also
    // while data keeps arriving, so that a window can repaint and offer a
    // stop. Optional.
    std::function<void()> OnWaiting;
    // Ends the wait in progress (call it from OnWaiting): the operation fails
    // with kWinsockCancelled, reported through OnError. No effect between waits.
    void Cancel();
    // One time limit for a series of operations: until ClearDeadline(), no
    // wait lasts past Until, whatever Timeout says, so that a message read in
    // many pieces has one limit, not one per piece. Running out is the usual
    // time-out (kWinsockTimedOut).
    void SetDeadline(std::chrono::steady_clock::time_point Until) { FDeadline = Until; }
    void ClearDeadline() { FDeadline = std::chrono::steady_clock::time_point::max(); }

    // For event loops: the socket to watch (-1 when none), and a non-blocking
    // pass over pending socket events (sets marks, reports errors carried by a
    // close or reset). Safe to call at any time.
    int SocketHandle() const { return FSocket; }
    void ProcessEvents();

protected:
    virtual std::string GetDefaultHost();
    virtual std::string GetDefaultPort();

    void ReportError(int32_t Code);
    bool WaitFor(TSmartWinsockEvent Mark);
    void ResetEvents();

    bool FEvents[5] = {false, false, false, false, false};

private:
    using Deadline = std::chrono::steady_clock::time_point;
    struct ResolvedAddress;
    bool ResolveHost(ResolvedAddress& Address);
    bool ResolvePort(uint16_t& PortNetworkOrder);
    bool WaitUntil(TSmartWinsockEvent Mark, Deadline Until);
    bool CancelledWhileWaiting();
    void PollOnce(TSmartWinsockEvent Mark, int Milliseconds);
    void ApplySocketEvents(short Revents);
    void CloseSocket();

    std::unique_ptr<THostLookup> FLookup; // the look-up being waited for

    int32_t FLastError = 0;
    int64_t FBytesSent = 0;
    int64_t FBytesReceived = 0;
    int FSocket = -1;
    std::string FTargetHost;
    std::string FTargetPort;
    uint8_t FTimeout = 20;
    bool FWaiting = false;
    bool FCancelRequested = false;
    std::chrono::steady_clock::time_point FLastWaiting;
    std::chrono::steady_clock::time_point FDeadline = std::chrono::steady_clock::time_point::max();
};
