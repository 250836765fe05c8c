#pragma once

// The recording of a session as the conversation keeps it: every connection,
// every send and read, the program's notes and guidance, each with its time.
// Received bytes are the bulk (a 500 MB message) and are already held once by
// the reader and the log, so they go to an unlinked private file and memory
// keeps only where each read lies; sent lines (which may carry secrets) and
// texts stay in memory and never touch the disk. Bounded like the log: past
// the head limit only a tail of the latest events is kept, and an "omitted"
// event between the two says what was left out.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "transcript/PrivateFile.h"
#include "transcript/TranscriptFormat.h"

class TTranscript {
public:
    struct TLimits {
        // Bytes of all events, on disk and in memory.
        uint64_t HeadBytes = uint64_t(512) << 20;
        uint64_t TailBytes = uint64_t(64) << 20;
        // What memory holds: each event's record, and the bytes of sent lines
        // and texts. A server trickling single bytes makes many small events,
        // a long session many lines of guidance.
        uint64_t HeadMemory = uint64_t(48) << 20;
        uint64_t TailMemory = uint64_t(8) << 20;
    };

    TTranscript();
    explicit TTranscript(const TLimits& Limits);
    ~TTranscript();
    TTranscript(const TTranscript&) = delete;
    TTranscript& operator=(const TTranscript&) = delete;

    // A connect begins: the next connection's number, its clock from now.
    void StartConnection();
    // Events before the first connect (the welcome text) belong to no
    // connection and are not kept.
    // Bytes of one send; SecretStart as in TTranscriptEvent.
    void AddSent(const std::string& Bytes, size_t SecretStart = std::string::npos);
    // Bytes of one read, exactly as they came.
    void AddReceived(const std::string& Bytes);
    // A note, a TLS line or guidance (UTF-8).
    void AddText(TTranscriptKind Kind, const std::string& Text);
    // Forgets the events so far; the connection in progress goes on with its
    // number and clock.
    void Clear();

    bool Empty() const { return FHead.empty(); }
    // Events kept (head and tail), without the omitted one.
    size_t EventCount() const { return FHead.size() + FTail.size(); }
    int32_t Connections() const { return FConnection; }
    // When the first connection began (TranscriptTimestamp); "" while empty.
    const std::string& Started() const { return FStarted; }
    uint64_t OmittedEvents() const { return FOmitted.OmittedEvents; }

    // Hands each event to Visit in order (received bytes read back from the
    // file), the omitted event between head and tail. False when Visit said
    // stop or the file could not be read back.
    bool ForEach(const std::function<bool(const TTranscriptEvent&)>& Visit) const;
    // Header and events; the header's Started is this transcript's.
    bool Write(TTranscriptWriter& Writer, const std::string& Program, bool Redacted) const;

private:
    struct TRecord {
        int64_t Micros = 0;
        int32_t Connection = 0;
        TTranscriptKind Kind = TTranscriptKind::Note;
        size_t SecretStart = std::string::npos;
        std::string Data; // sent bytes or text; received bytes when the file failed
        bool InFile = false; // received bytes at Offset in the file
        uint64_t Offset = 0;
        uint64_t Length = 0;

        uint64_t Size() const { return InFile ? Length : Data.size(); }
        uint64_t Memory() const { return sizeof(TRecord) + Data.size(); }
    };

    TRecord Begin(TTranscriptKind Kind);
    void Keep(TRecord&& Record);
    void Forget(const TRecord& Record);
    bool OpenFile();

    TLimits FLimits;
    std::vector<TRecord> FHead;
    std::deque<TRecord> FTail;
    bool FHeadFull = false;
    uint64_t FHeadBytes = 0;
    uint64_t FTailBytes = 0;
    uint64_t FHeadMemory = 0;
    uint64_t FTailMemory = 0;
    TTranscriptEvent FOmitted; // kind Omitted; its time and connection those of the first left out
    int32_t FConnection = 0;
    std::chrono::steady_clock::time_point FConnectionStart;
    std::string FStarted;
    std::unique_ptr<TPrivateFile> FFile; // received bytes, made at the first read
    bool FFileFailed = false;
    uint64_t FFileEnd = 0;
};
