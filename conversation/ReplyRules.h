#pragma once

// The tests on command lines and replies that the conversation, the guidance
// and the log share. Plain functions over bytes, so tests and the fuzzer call
// them without a socket or a window.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// First three characters, upper-cased, are "+OK" (so "+OKAY" counts too).
bool IsPositiveReply(const std::string& Text);

// A continuation of an AUTH exchange: "+" followed by a blank or the line
// end. The server waits for the client's next answer.
bool IsContinuationReply(const std::string& Text);
// What a continuation carries after "+ ", without the line end.
std::string ContinuationData(const std::string& Reply);

// Upper-cases the command word and the blank after it; the arguments keep
// their case (a USER name, a password).
std::string UpperCaseCommandWord(const std::string& Line);

// The copy of a sent line (with its CR LF) that goes to the log: a line with
// a secret (PASS's password, APOP's digest, AUTH's initial response) shows its
// words up to the secret as typed and a mask instead of it.
std::string LogCopyOfCommand(const std::string& LineWithLineEnd, bool HidePasswords);
// The same for a line whose secret starts at SecretStart (npos: none).
std::string MaskedLogCopy(const std::string& LineWithLineEnd, size_t SecretStart, bool HidePasswords);
// The same for an answer inside an AUTH exchange: all of it is the secret,
// but for the cancel line "*".
std::string LogCopyOfAnswer(const std::string& LineWithLineEnd, bool HidePasswords);

// The response code of a status reply ("-ERR [IN-USE] ..." gives "IN-USE"),
// "" when the text after the status word does not start with one.
std::string ResponseCode(const std::string& Reply);

// The log's character rule: TAB, LF, CR and 32 to 127 show as they are,
// every other byte as a blank.
bool ShownAsIs(unsigned char C);

// A status word as a sentence may quote it: the log's character rule (line
// ends and TABs become blanks too) and at most MaxCharacters, then "…".
std::string QuotedStatusWord(const std::string& Word, size_t MaxCharacters = 40);

// The reply up to its first blank, cut at its first CR LF.
std::string ReplyStatusWord(const std::string& Reply);

// Log lines of a block: split at CR LF only; no empty last piece for a block
// ending in CR LF; a lone CR or LF stays inside its line.
std::vector<std::string> SplitLogLines(const std::string& Text);

// A single-line reply is complete once it ends with CR LF.
bool EndsWithLineEnd(const std::string& Text);

// Body of a multi-line reply (everything after the status line's CR LF, minus
// what was already logged): complete when it is exactly "." CR LF or ends with
// CR LF "." CR LF.
bool IsBodyComplete(const std::string& Rest);

// Removes the complete lines from the front of Rest and returns them (empty
// when none). Once the terminator has arrived, the last data line stays in
// Rest so that it is logged together with the "." line. What is returned plus
// what stays in Rest is always exactly what Rest held before.
std::string TakeCompleteBodyLines(std::string& Rest);

// Keeps the memory for one line bounded whatever a server sends: bytes of a
// line beyond MaxLine are dropped (and counted) until its line end, which
// passes with its CR, so every reader still finds the end of the reply.
class TLineLimiter {
public:
    explicit TLineLimiter(size_t MaxLine)
        : FMaxLine(MaxLine)
    {
    }
    // A reply starts at the beginning of a line.
    void StartReply() { FLineLength = 0, FDroppedCR = false; }
    // What of Chunk is kept, in order.
    std::string Filter(const std::string& Chunk);
    // Bytes dropped since the last call.
    uint64_t TakeDropped();
    size_t MaxLine() const { return FMaxLine; }

private:
    size_t FMaxLine;
    size_t FLineLength = 0;
    bool FDroppedCR = false; // the last byte dropped was a CR
    uint64_t FDropped = 0;
};

// A byte count with German digit grouping: 1.048.576.
std::string GroupedCount(uint64_t Count);

// Reads the body of a positive multi-line reply. Rest starts as what followed
// the status line's CR LF. Receive appends the next chunk to its argument and
// returns false when reading failed (an empty chunk ends the read too); Log
// gets each run of complete lines as soon as it is there. Returns true when
// the terminator arrived; Rest then holds what is still to be logged (the last
// data line and the "." line) and Behind what came after the "." line in the
// same read. On false Rest holds the unlogged tail of what arrived.
bool CollectBody(std::string& Rest, const std::function<bool(std::string& Chunk)>& Receive,
    const std::function<void(const std::string& Lines)>& Log, std::string& Behind);
