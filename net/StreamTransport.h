#pragma once

// TStreamTransport: what a line protocol needs from its connection, as the
// POP3 conversation uses it. TSmartWinsock is the real one; tests hand in a
// scripted one, so the reading rules run without a socket or a thread.
//
// The contract is the socket component's: operations look synchronous, a
// failure is reported once through the error handler (origin, WinSock-style
// code, English text) and the operation returns false or -1. ReceiveString
// returns 0 without an error when the peer has closed in order.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "net/TlsInfo.h"

using TTransportError = std::function<void(const std::string& Origin, int32_t Code, const std::string& Description)>;

class TStreamTransport {
public:
    virtual ~TStreamTransport() = default;

    virtual const std::string& TargetHost() const = 0;
    virtual void SetTargetHost(const std::string& Value) = 0;
    virtual void SetTargetPort(const std::string& Value) = 0;
    // Seconds each wait lasts at most.
    virtual int Timeout() const = 0;
    virtual void SetTimeout(int Seconds) = 0;

    virtual bool Connect() = 0;
    virtual bool Disconnect() = 0;
    virtual bool Connected() const = 0;
    // The numeric address and port connected to ("::1", "127.0.0.1"); empty
    // and 0 when not connected.
    virtual std::string PeerAddress() const { return std::string(); }
    virtual uint16_t PeerPort() const { return 0; }
    // The addresses the last Connect() tried and gave up, in the order tried,
    // as "address: English error text" ("[::1]: Connection refused"); after a
    // failed connect, every address tried.
    virtual std::vector<std::string> ConnectAttempts() const { return {}; }

    virtual int32_t SendString(const std::string& Text) = 0;
    // Replaces Text with what one read delivered.
    virtual int32_t ReceiveString(std::string& Text) = 0;
    virtual int32_t BytesAvailable() const = 0;
    // The peer has closed in order and nothing is left to read (no wait).
    virtual bool PeerHasClosed() const { return false; }
    virtual int64_t BytesSent() const = 0;
    virtual int64_t BytesReceived() const = 0;

    // An empty handler stops the reports.
    virtual void SetErrorHandler(TTransportError Handler) = 0;
    // Ends the wait in progress with an error (the user stopped it).
    virtual void Cancel() { }
    // Runs every few tens of milliseconds while an operation waits, so that
    // a window can repaint and offer a stop; empty: none. A transport that
    // never waits never runs it.
    virtual void SetWaitHook(std::function<void()> Hook) { (void)Hook; }
    // For event loops between operations: the socket to watch for
    // readability (-1 when none), and a pass over its pending events.
    virtual int SocketHandle() const { return -1; }
    virtual void ProcessEvents() { }

    // TLS: asked for by the target, running, what the connection tells about
    // itself (null while plain), and a start on the open connection (after
    // STLS). A transport without TLS has none of it.
    virtual std::string TargetPortText() const { return std::string(); }
    virtual bool UseTls() const { return false; }
    virtual bool Encrypted() const { return false; }
    virtual const TTlsInfo* TlsDetails() const { return nullptr; }
    virtual bool StartTls() { return false; }
    // OpenSSL's reason for the last TLS failure reported ("wrong version
    // number"); empty when the last error did not come from OpenSSL.
    virtual const std::string& TlsFailureReason() const
    {
        static const std::string None;
        return None;
    }
};
