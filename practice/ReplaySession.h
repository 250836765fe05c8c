#pragma once

// A recorded session (transcript/TranscriptFormat.h) served back, one
// connection of the recording at a time, without any I/O: it hands out what
// to write (each received event as one write, with its recorded pause if
// asked), when to wait for the client's command, when TLS starts and when
// the recording ends. Events are read from the file as they are needed, one
// reader per connection, so memory stays bounded whatever the file's size.
//
// A command is compared with the recorded line without its line end; where
// the recording holds a redacted secret (PASS's password, AUTH's answers)
// only the bytes before the secret count, so that any password matches.

#include <cstdint>
#include <string>
#include <vector>

#include "transcript/TranscriptFormat.h"

// What one connection of the recording needs before its first byte.
struct TReplayConnectionInfo {
    bool ImplicitTls = false; // TLS from the first byte (pop3s)
};

// Reads the whole file once: false with the reader's German error (with its
// line number) for a file that cannot be served. One entry per connection.
bool ScanReplay(const std::string& Path, std::vector<TReplayConnectionInfo>& Connections, std::string& Error);

// True for the tls event the conversation writes once a handshake is through.
bool IsTlsStartNote(const std::string& Text);

enum class TReplayStepKind {
    Write, // Bytes as one write, after DelayMicros
    AwaitCommand, // read a line, give it to Command()
    StartTls, // handshake as server now
    Close, // the recording of this connection ends here
};

struct TReplayStep {
    TReplayStepKind Kind = TReplayStepKind::Close;
    std::string Bytes;
    int64_t DelayMicros = 0;
};

class TReplaySession {
public:
    // Connection counts from 1. Timing: Write steps carry the recorded pauses.
    TReplaySession(const std::string& Path, int32_t Connection, bool Timing);

    TReplayStep Next();
    // A line the client sent, line end included or not. True when it is the
    // recorded one (Next() goes on); otherwise Reply is the "-ERR" line to
    // send and Diagnostic names the transcript's line and the difference.
    bool Command(const std::string& Line, std::string& Reply, std::string& Diagnostic);
    // Why the replay of this connection stopped early ("" when it did not).
    const std::string& Problem() const { return FProblem; }

private:
    bool Fetch(TTranscriptEvent& Event);

    TTranscriptReader FReader;
    int32_t FConnection;
    bool FTiming;
    bool FEnded = false;
    bool FReceivedAny = false;
    int64_t FLastMicros = 0;
    // The sent event being matched: its lines not yet sent by the client.
    std::string FExpected;
    size_t FSecretStart = std::string::npos; // within FExpected; redacted ones only
    int64_t FExpectedMicros = 0;
    size_t FExpectedLineNumber = 0;
    std::string FProblem;
};
