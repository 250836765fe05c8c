#pragma once

// One connection of the server check to one address: connect, TLS (from the
// first byte or after STLS) on an OpenSSL context of its own so that a single
// protocol version can be tried, and bounded line reads. Every wait is a
// series of poll() slices that look at the cancel flag, so a stop ends it
// within one slice. What a hostile server can send is bounded: line length,
// lines of a multi-line reply, time per reply.
//
// TLS writes go through OpenSSL's socket BIO (write(), SIGPIPE on a closed
// peer): the check's threads block SIGPIPE (see BlockBrokenPipeSignal).

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "check/CheckReport.h"
#include "net/PeerAddress.h"

struct ssl_st;
struct ssl_ctx_st;
struct TProbeTranscript;

// For threads that write into TLS connections.
void BlockBrokenPipeSignal();

// TLS versions as OpenSSL numbers them (TLS1_VERSION ...); 0: any it knows.
struct TTlsAttempt {
    int Version = 0;
    std::string ServerName; // SNI and the name the certificate must match; empty for an address
};

class TProbeConnection {
public:
    static constexpr size_t kMaxLine = 4096; // RFC 2449 allows 512; room for odd servers
    static constexpr size_t kMaxLines = 256; // per multi-line reply
    static constexpr int kSliceMs = 50;

    TProbeConnection(const std::atomic<bool>& Cancel, TProbeTranscript* Transcript);
    ~TProbeConnection();
    TProbeConnection(const TProbeConnection&) = delete;
    TProbeConnection& operator=(const TProbeConnection&) = delete;

    bool Connect(const TPeerAddress& Address, uint16_t Port, int TimeoutMs);
    bool StartTls(const TTlsAttempt& Attempt, int TimeoutMs);
    // Sends Line with CR LF; Shown is what the transcript records instead
    // (a log-in's secret left out), empty: Line itself.
    bool SendLine(const std::string& Line, const std::string& Shown = {});
    // Several commands in one write (the STLS injection probe).
    bool SendRaw(const std::string& Bytes, const std::string& Shown);
    // One line without CR LF; false on time-out, close, stop or a line past kMaxLine.
    bool ReadLine(std::string& Line, int TimeoutMs);
    // The lines after a "+OK" up to the "." (dot-stuffing removed), within one TimeoutMs.
    bool ReadBody(std::vector<std::string>& Lines, int TimeoutMs);
    // Waits up to TimeoutMs for any byte; true when one came.
    bool DataArrives(int TimeoutMs);
    void Close();

    bool Connected() const { return FSocket >= 0; }
    bool Encrypted() const { return FEncrypted; }
    ssl_st* Ssl() const { return FSsl; }
    const std::string& Error() const { return FError; } // English, for details
    int64_t ConnectMs() const { return FConnectMs; }
    int64_t TlsMs() const { return FTlsMs; }

private:
    using Clock = std::chrono::steady_clock;
    bool Stopped();
    bool Fail(const std::string& Why);
    // Waits for the socket until Until (read or write), in slices.
    bool WaitSocket(bool ForWrite, Clock::time_point Until);
    // Reads what is there into FInput; false on close, error, time-out or stop.
    bool Fill(Clock::time_point Until);
    bool WriteAll(const std::string& Bytes);
    void Record(bool Sent, const std::string& Text);

    const std::atomic<bool>& FCancel;
    TProbeTranscript* FTranscript;
    int FSocket = -1;
    ssl_ctx_st* FContext = nullptr;
    ssl_st* FSsl = nullptr;
    bool FEncrypted = false;
    std::string FInput;
    std::string FError;
    int64_t FConnectMs = -1;
    int64_t FTlsMs = -1;
};
