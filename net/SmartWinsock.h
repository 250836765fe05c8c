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
// TLS (OpenSSL) runs inside the same waits: from the first byte when the
// target asks for it (UseTls()), or on an open connection with StartTls().
// Counters and reads deal in the protocol's bytes, before encryption.
//
// Defaults: a C++ base constructor cannot reach a subclass's overrides, so the
// constructor here takes the base defaults (this machine, service "echo",
// Timeout 20); a subclass constructor sets its own target afterwards.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "net/HostLookup.h"
#include "net/PeerAddress.h"
#include "net/StreamTransport.h"
#include "net/TlsInfo.h"
#include "net/WinsockTarget.h"

class TSmartWinsock;
class TConnectRace;
class TTlsSession;

enum TSmartWinsockEvent { weConnect = 0, weRead = 1, weWrite = 2, weLookup = 3, weFailed = 4 };

using TSmartWinsockError = std::function<void(
    TSmartWinsock* Sender, const std::string& Origin, int32_t Code, const std::string& Description)>;

class TSmartWinsock : public TStreamTransport {
public:
    TSmartWinsock();
    virtual ~TSmartWinsock();

    TSmartWinsock(const TSmartWinsock&) = delete;
    TSmartWinsock& operator=(const TSmartWinsock&) = delete;

    // Target. "host:port" (or "[v6]:port") also sets TargetPort.
    // "pop3s://host[:port]" asks for TLS from the first byte (port 995 unless
    // given), "pop3://host[:port]" for plain text (port 110 unless given);
    // TargetHost() is then the host alone.
    const std::string& TargetHost() const override { return FTargetHost; }
    void SetTargetHost(const std::string& Value) override;
    const std::string& TargetPort() const { return FTargetPort; }
    std::string TargetPortText() const override { return FTargetPort; }
    void SetTargetPort(const std::string& Value) override;
    int Timeout() const override { return FTimeout; }
    void SetTimeout(int Seconds) override; // kept within 1..60

    // TLS from the first byte at Connect(): the last target's scheme decides,
    // without one its port (995 or "pop3s"). SetUseTls() decides instead,
    // until the next SetTargetHost().
    bool UseTls() const override;
    void SetUseTls(bool Value);

    // Every address of the name gets its attempt within the one Timeout (see
    // TConnectRace); the first to connect wins. When all fail, one error is
    // reported: the last failure, or the time-out. With UseTls(), the
    // connection counts as made once the TLS handshake is through; a failed
    // handshake is reported and leaves no socket.
    bool Connect() override;
    std::string PeerAddress() const override;
    uint16_t PeerPort() const override;
    std::vector<std::string> ConnectAttempts() const override { return FConnectAttempts; }
    // Where names are looked up (tests hand in their own); empty: the system's.
    void SetResolver(THostResolver Resolver) { FResolver = std::move(Resolver); }
    bool Disconnect() override;
    bool Connected() const override;

    // Starts TLS on the open connection (POP3's STLS, after its "+OK"): the
    // same handshake as at Connect(), bounded by Timeout, cancellable. A
    // failure is reported and closes the connection; a failed certificate
    // check is no failure (see TlsInfo()).
    bool StartTls() override;
    // True from a finished handshake until Disconnect().
    bool Encrypted() const override;
    const TTlsInfo* TlsDetails() const override { return Encrypted() ? &FTlsInfo : nullptr; }
    // Protocol, cipher, the peer's certificate and its check while Encrypted();
    // empty otherwise. The check never stops the handshake: the window asks
    // the user, and may trust the certificate by its Fingerprint.
    const TTlsInfo& TlsInfo() const { return FTlsInfo; }
    // OpenSSL's reason for the last error reported ("unsupported protocol"),
    // for a fuller message; empty when that error did not come from OpenSSL.
    // Set before OnError runs.
    const std::string& TlsFailureReason() const override { return FTlsReason; }

    int32_t Send(const void* Buffer, int32_t Count);
    int32_t Receive(void* Buffer, int32_t Size);
    // Sends the whole text (repeats after a partial send, each wait bounded).
    int32_t SendString(const std::string& Text) override;
    // One Receive of at most 64 KB into Text (NUL bytes kept).
    int32_t ReceiveString(std::string& Text) override;

    // Bytes a read can work on without waiting. With TLS: the decrypted bytes
    // waiting inside OpenSSL plus the encrypted ones the socket holds (those
    // may carry no data at all; ProcessEvents() takes them in).
    int32_t BytesAvailable() const override;
    // TLS only: decrypted bytes wait inside OpenSSL. The socket does not
    // signal them, so a caller watching SocketHandle() must not wait for it.
    bool HasBufferedData() const;
    // True when the peer has closed its side in order (plain close or TLS
    // close_notify): nothing is left to read and a read would end at once (a
    // reset is reported as an error).
    bool PeerHasClosed() const override;
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
    void SetWaitHook(std::function<void()> Hook) override { OnWaiting = std::move(Hook); }
    // Ends the wait in progress (call it from OnWaiting): the operation fails
    // with kWinsockCancelled, reported through OnError. No effect between waits.
    void Cancel() override;
    // One time limit for a series of operations: until ClearDeadline(), no
    // wait lasts past Until, whatever Timeout says, so that a message read in
    // many pieces has one limit, not one per piece. Running out is the usual
    // time-out (kWinsockTimedOut).
    void SetDeadline(std::chrono::steady_clock::time_point Until) { FDeadline = Until; }
    void ClearDeadline() { FDeadline = std::chrono::steady_clock::time_point::max(); }

    // For event loops: the socket to watch (-1 when none), and a non-blocking
    // pass over pending socket events (sets marks, reports errors carried by a
    // close or reset; with TLS takes in the records that arrived, a bad one
    // reported). Safe to call at any time.
    int SocketHandle() const override { return FSocket; }
    void ProcessEvents() override;

protected:
    virtual std::string GetDefaultHost();
    virtual std::string GetDefaultPort();

    // TlsReason: OpenSSL's words for a TLS failure (see TlsFailureReason()).
    void ReportError(int32_t Code, const std::string& TlsReason = {});
    bool WaitFor(TSmartWinsockEvent Mark);
    void ResetEvents();

    bool FEvents[5] = { false, false, false, false, false };

private:
    using Deadline = std::chrono::steady_clock::time_point;
    bool ResolveHost(std::vector<TPeerAddress>& Addresses);
    bool ResolvePort(uint16_t& PortNetworkOrder);
    bool WaitUntil(TSmartWinsockEvent Mark, Deadline Until);
    bool WaitedForIsGone(TSmartWinsockEvent Mark) const;
    bool CancelledWhileWaiting();
    void PollOnce(TSmartWinsockEvent Mark, int Milliseconds);
    void ApplySocketEvents(short Revents);
    void CloseSocket();
    bool Handshake();
    int32_t SendTls(const void* Buffer, int32_t Count, Deadline Until);
    int32_t ReceiveTls(void* Buffer, int32_t Size, Deadline Until);
    int32_t ReadDecryptedWithoutWaiting(char* Buffer, int32_t Size);
    void ReportTlsFailure();

    std::unique_ptr<THostLookup> FLookup; // the look-up being waited for
    THostResolver FResolver;
    std::unique_ptr<TConnectRace> FRace; // the connect being waited for
    TPeerAddress FPeer; // the winner of the last connect
    std::vector<std::string> FConnectAttempts;
    int32_t FLastReported = 0; // survives GetErrorInfo(), for the attempts given up
    std::unique_ptr<TTlsSession> FTls; // from the handshake's start until Disconnect()
    TTlsInfo FTlsInfo;
    std::string FTlsReason;
    std::string FConnectedHost; // the name TLS checks, as it was at Connect()
    TTargetSecurity FSecurity = scByPort;
    bool FTlsPeerClosed = false; // close_notify (or end of stream) read

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
