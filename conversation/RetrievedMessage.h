#pragma once

// The body of the last positive RETR or TOP, kept for "Nachricht zerlegen":
// its bytes as the server meant them (dot-stuffing undone, without the final
// "."), bounded, and the log line where the body starts, so that each part
// of the message can be found in the log again. The bytes wait in a private
// scratch file, so that a large message is not held twice (the log shows it
// already); without such a file they stay in memory. No Qt.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "transcript/PrivateFile.h"

class TRetrievedMessage {
public:
    // More is counted, not kept: the message is then marked as cut.
    static constexpr size_t kMaxBytes = size_t(64) << 20;

    // A positive status line was logged; the body's first line will be log
    // line FirstLogLine. LogHasRoom: the body will be shown in full.
    void Start(size_t FirstLogLine, bool LogHasRoom);
    // Complete body lines as received (CR LF, dot-stuffed); the "." line
    // that ends the body is dropped.
    void Add(const std::string& Lines);
    // The body ended: Complete when its "." line came. Shown: no line of it
    // was held back by a full log. LinesCut: the line limit dropped bytes of
    // it (in the log and here).
    void Finish(bool Complete, bool Shown, bool LinesCut);
    // The log was cleared: its line numbers no longer fit.
    void ForgetLogLines() { FLinesValid = false; }
    void SetMaxBytes(size_t Bytes) { FMaxBytes = Bytes; } // tests

    // A whole body arrived since the connection began.
    bool Available() const { return FAvailable; }
    // Read back from the scratch file; empty when it cannot be read.
    std::string Bytes() const;
    size_t Size() const { return FSize; }
    bool Cut() const { return FCut; }
    bool LinesValid() const { return FLinesValid; }
    size_t FirstLogLine() const { return FFirstLogLine; }

private:
    void Keep(const std::string& Bytes);

    std::unique_ptr<TPrivateFile> FFile;
    bool FFileFailed = false;
    std::string FBytes; // when no scratch file could be had
    size_t FSize = 0;
    size_t FMaxBytes = kMaxBytes;
    size_t FFirstLogLine = 0;
    bool FReading = false;
    bool FAvailable = false;
    bool FCut = false;
    bool FLinesValid = false;
};
