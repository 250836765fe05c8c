#pragma once

// The session transcript as a file: JSON Lines, one event a line, UTF-8. A
// header line first, then events in the order they happened:
//
//   {"type":"brieflotse-transcript","format":1,"program":"Brieflotse 1.0",
//    "started":"2026-12-08T00:12:00.123456Z","redacted":true}
//   {"t":123456,"conn":1,"kind":"sent","bytes":"USER anna\r\n"}
//
// "bytes" (kinds sent and received) holds protocol bytes exactly: printable
// ASCII as is, every other byte as \u00XX or a short escape, so that a reader
// gets back each byte. "text" (note, tls, guidance) is UTF-8 text. The writer
// and the streaming reader are here; the recording lives in Transcript.h.
// No Qt, and nothing below text/: the conversation, the practice server and
// the program's script mode all use it.

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iosfwd>
#include <memory>
#include <string>

enum class TTranscriptKind {
    Sent, // bytes of one send, as written to the connection
    Received, // bytes of one read, as the connection delivered them
    Note, // a line of the program's own (German)
    Tls, // a TLS event, as the log shows it
    Guidance, // the guidance shown after a reply: title, a line end, text
    Omitted, // what a bounded transcript left out here
};

// The kind's name in the file ("sent", ...), and back; false for a name no
// kind has.
const char* TranscriptKindName(TTranscriptKind Kind);
bool TranscriptKindFromName(const std::string& Name, TTranscriptKind& Kind);

struct TTranscriptEvent {
    int64_t Micros = 0; // since the connect of its connection
    int32_t Connection = 1; // 1, 2, ... within a session
    TTranscriptKind Kind = TTranscriptKind::Note;
    std::string Bytes; // sent, received: the exact bytes
    std::string Text; // note, tls, guidance: UTF-8
    // Sent: where a secret starts in Bytes (PASS's password, APOP's digest,
    // AUTH's initial response; 0 for a line answering an AUTH continuation).
    size_t SecretStart = std::string::npos;
    bool Redacted = false; // the secret was replaced by kRedactedSecret
    int64_t OmittedEvents = 0; // omitted: how many events
    int64_t OmittedBytes = 0; // omitted: how many bytes they carried

    bool CarriesSecret() const { return SecretStart != std::string::npos; }
};

struct TTranscriptHeader {
    int32_t Format = 1;
    std::string Program; // "Brieflotse 1.0"
    std::string Started; // ISO 8601 UTC with microseconds
    bool Redacted = true;
};

constexpr int32_t kTranscriptFormat = 1;
// What stands in a redacted transcript where a secret was.
constexpr const char* kRedactedSecret = "********";

// "2026-12-08T00:12:00.123456Z" for a time in microseconds since 1970.
std::string TranscriptTimestamp(int64_t MicrosSinceEpoch);
// Now, as TranscriptTimestamp writes it.
std::string TranscriptTimestampNow();

// Bytes as a JSON string with its quotes, each byte kept (see above).
std::string TranscriptBytesJson(const std::string& Bytes);
// The sent bytes with the secret from SecretStart up to the line's CR LF (or
// LF, or the end) replaced by kRedactedSecret.
std::string RedactSecret(const std::string& Bytes, size_t SecretStart);

// The lines as written, each ending in LF. Redact: an event with a secret is
// written with the secret replaced and "redacted":true.
std::string TranscriptHeaderLine(const TTranscriptHeader& Header);
std::string TranscriptEventLine(const TTranscriptEvent& Event, bool Redact);

// Writes a header and events to a file descriptor or a stream. Redacted as
// the header says. Failures stick: once a write failed, Ok() stays false.
class TTranscriptWriter {
public:
    explicit TTranscriptWriter(std::ostream& Out);
    explicit TTranscriptWriter(int Fd);
    ~TTranscriptWriter();
    TTranscriptWriter(const TTranscriptWriter&) = delete;
    TTranscriptWriter& operator=(const TTranscriptWriter&) = delete;

    bool WriteHeader(const TTranscriptHeader& Header);
    bool Write(const TTranscriptEvent& Event);
    // Lines to a descriptor are gathered into large writes: Flush (or the
    // end of the writer) puts down the rest.
    bool Flush();
    bool Ok() const { return FOk; }
    // errno of the failed write (0 for a stream).
    int ErrorNumber() const { return FErrorNumber; }

private:
    bool Put(const std::string& Line);
    bool WriteOut(const std::string& Bytes);

    std::ostream* FOut = nullptr;
    int FFd = -1;
    std::string FPending;
    bool FRedact = true;
    bool FOk = true;
    int FErrorNumber = 0;
};

// Reads a transcript a line at a time: memory stays bounded by the longest
// line allowed, however long the file is. Open reads and checks the header;
// Next returns the events in order and false at the end or on the first
// fault, which Error() then names in German with its line number
// ("Zeile 7: unbekannte Art \"foo\"").
class TTranscriptReader {
public:
    static constexpr size_t kDefaultLineLimit = 16 * 1024 * 1024;

    explicit TTranscriptReader(size_t LineLimit = kDefaultLineLimit);
    ~TTranscriptReader();

    bool Open(const std::string& Path);
    // A stream the caller keeps alive while reading.
    bool Open(std::istream& In);
    bool Next(TTranscriptEvent& Event);

    const TTranscriptHeader& Header() const { return FHeader; }
    // Empty while no fault was found.
    const std::string& Error() const { return FError; }
    // The line read last, from 1.
    size_t LineNumber() const { return FLineNumber; }

private:
    enum class TLineResult { Line, End, TooLong };
    TLineResult ReadLine(std::string& Line);
    bool Fail(const std::string& What);
    bool ReadHeader();

    size_t FLineLimit;
    std::unique_ptr<std::ifstream> FFile;
    std::istream* FIn = nullptr;
    std::string FBuffer; // read ahead, not yet handed out as lines
    size_t FBufferStart = 0;
    bool FEof = false;
    size_t FLineNumber = 0;
    TTranscriptHeader FHeader;
    std::string FError;
};
