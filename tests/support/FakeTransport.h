#pragma once

// A transport that plays a script instead of a socket: each read takes the
// next step, so a test decides exactly how the server's bytes are chunked and
// where a failure strikes, without threads or timing. Every byte sent is
// kept. Failures are reported through the error handler with the socket
// component's origin, codes and texts; a read past the end of the script is a
// server that stays silent, which the real component ends with a time-out.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>

#include "net/StreamTransport.h"

class TFakeTransport : public TStreamTransport {
public:
    // Script steps, one read each.
    TFakeTransport& Chunk(std::string Bytes);
    TFakeTransport& TimeOut(); // kWinsockTimedOut
    TFakeTransport& Reset(); // kWinsockConnectionReset
    TFakeTransport& Close(); // orderly close: this read and all later ones give 0 bytes
    // A TLS session that fails on this read (kWinsockTlsRecordError, OpenSSL's Reason).
    TFakeTransport& TlsFailure(std::string Reason);

    // Encrypted from Connect on (pop3s), with a verified certificate.
    void EncryptAtConnect() { FTlsAtConnect = true; }
    // StartTls succeeds and counts.
    int StartTlsCount() const { return FStartTlsCount; }

    // Connect fails with Code instead (reported like the real component).
    void RefuseConnect(int32_t Code) { FRefuseCode = Code; }
    // The numeric address a connect reaches (none by default).
    void SetPeerAddress(std::string Address) { FPeerAddress = std::move(Address); }

    const std::string& Sent() const { return FSent; }
    // Steps not read yet.
    size_t StepsLeft() const { return FSteps.size(); }
    int Timeout() const override { return FTimeout; }
    const std::string& TargetPort() const { return FTargetPort; }

    const std::string& TargetHost() const override { return FTargetHost; }
    void SetTargetHost(const std::string& Value) override { FTargetHost = Value; }
    void SetTargetPort(const std::string& Value) override { FTargetPort = Value; }
    void SetTimeout(int Seconds) override { FTimeout = Seconds; }

    bool Connect() override;
    bool Disconnect() override;
    bool Connected() const override { return FConnected; }
    std::string PeerAddress() const override { return FConnected ? FPeerAddress : std::string(); }

    int32_t SendString(const std::string& Text) override;
    int32_t ReceiveString(std::string& Text) override;
    int32_t BytesAvailable() const override;
    bool PeerHasClosed() const override;
    int64_t BytesSent() const override { return static_cast<int64_t>(FSent.size()); }
    int64_t BytesReceived() const override { return FReceived; }

    void SetErrorHandler(TTransportError Handler) override { FOnError = std::move(Handler); }

    bool Encrypted() const override { return FConnected && FEncrypted; }
    const TTlsInfo* TlsDetails() const override { return Encrypted() ? &FTlsInfo : nullptr; }
    bool StartTls() override
    {
        ++FStartTlsCount;
        return FEncrypted = true;
    }
    const std::string& TlsFailureReason() const override { return FTlsReason; }

private:
    enum class TKind { Data, TimeOut, Reset, Close, TlsFailure };
    struct TStep {
        TKind Kind;
        std::string Bytes;
    };

    void Report(int32_t Code, const std::string& TlsReason = {});

    std::deque<TStep> FSteps;
    TTransportError FOnError;
    std::string FSent;
    int64_t FReceived = 0;
    std::string FTargetHost;
    std::string FTargetPort;
    std::string FPeerAddress;
    int FTimeout = 20;
    int32_t FRefuseCode = 0;
    bool FConnected = false;
    bool FClosed = false;
    bool FTlsAtConnect = false;
    bool FEncrypted = false;
    int FStartTlsCount = 0;
    TTlsInfo FTlsInfo { "TLSv1.3", "TLS_AES_256_GCM_SHA384", "CN=pop.example", "CN=Test CA", "", "", "AB:CD", tvOk, 0,
        "ok" };
    std::string FTlsReason;
};
