#pragma once

// What a message is made of: its header fields, the Received chain, the
// authentication results, DKIM signatures and the MIME tree, each with the
// bytes and lines it came from, so that a window can select them in the log.
// MIME, RFC 2047 and RFC 2231 are read by GMime; this layer only walks what
// GMime found and explains it in German. No Qt.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// Where an item stands in the bytes handed to DecomposeMessage: byte offsets
// (End exclusive) and lines (0-based, LastLine inclusive). Dot-stuffing that
// was undone is counted back in, so the figures fit the file as given.
struct TMessageRange {
    uint64_t Begin = 0;
    uint64_t End = 0;
    uint64_t FirstLine = 0;
    uint64_t LastLine = 0;
};

struct THeaderField {
    std::string Name; // as written
    std::string Raw; // the value as written, folding included
    std::string Value; // unfolded, encoded words decoded to UTF-8
    std::vector<std::string> Charsets; // of its encoded words, in order, each once
    std::string Explanation; // one German line; unknown fields are named as such
    bool Known = false;
    TMessageRange Range;
};

// One hop of the Received chain, the oldest first.
struct TReceivedHop {
    std::string From, By, Via, With, Id, For;
    bool Tls = false; // "with" names ESMTPS, ESMTPSA, LMTPS, UTF8SMTPS ...
    std::string Time; // ISO 8601 with the sender's offset, empty when unreadable
    std::optional<int64_t> Epoch; // seconds since 1970, when the time was read
    std::optional<int64_t> DelaySeconds; // since the hop before, when both times were read
    std::string Note; // German: a negative delay, an unreadable time
    size_t HeaderIndex = 0; // into TMessageAnatomy::Headers
    TMessageRange Range;
};

// One result of an Authentication-Results field (RFC 8601).
struct TAuthResult {
    std::string AuthServId; // who added the field
    std::string Method; // spf, dkim, dmarc, arc, ...
    std::string Result; // pass, fail, none, ...
    std::vector<std::pair<std::string, std::string>> Properties; // "reason", "smtp.mailfrom", "header.d", ...
    std::string Explanation; // German
    bool Topmost = false; // from the topmost field, added by the receiving provider
    size_t HeaderIndex = 0;
    TMessageRange Range;
};

struct TDkimTag {
    std::string Tag, Value, Explanation;
};

struct TDkimSignature {
    std::vector<TDkimTag> Tags;
    size_t HeaderIndex = 0;
    TMessageRange Range;
};

// One MIME part; the tree is flat in pre-order, its shape in Path ("1" is the
// whole message, "1.2" its second child, "1.2.1" ...).
struct TMimePart {
    std::string Path;
    int Depth = 0; // 0 for "1"
    std::string ContentType; // "text/plain", lower case
    std::string Charset; // lower case, empty when none is named
    std::string TransferEncoding; // lower case as written, empty when none is named
    std::string Disposition; // "inline", "attachment" or empty
    std::string FileName; // decoded (RFC 2231 or 2047), empty when none
    bool Container = false; // multipart or message/rfc822: its children follow
    bool IsText = false; // text/*: Text holds the decoded text
    uint64_t SizeEncoded = 0; // bytes of the body as written
    uint64_t SizeDecoded = 0; // bytes after the transfer encoding is undone
    std::string Text; // UTF-8, line ends as LF
    TMessageRange Range; // the part with its header
    TMessageRange BodyRange;
};

struct TMessageProblem {
    std::string Text; // German
    std::optional<TMessageRange> Range;
};

struct TMessageAnatomy {
    bool IsMessage = false; // false: no header field could be read
    bool Unstuffed = false; // the input was a saved POP3 body and its dot-stuffing was undone
    uint64_t Size = 0; // bytes given
    std::vector<THeaderField> Headers; // of the top level, in order
    std::vector<TReceivedHop> Received; // oldest first
    std::vector<TAuthResult> AuthenticationResults; // topmost field first
    std::vector<TDkimSignature> DkimSignatures;
    std::vector<TMimePart> Parts;
    std::vector<TMessageProblem> Problems;
};

struct TDecomposeOptions {
    // Decoded text kept per text part; the rest is counted, not kept.
    uint64_t MaxTextBytes = 64ull << 20;
    // Parts listed; the rest is counted in one problem.
    size_t MaxParts = 20000;
};

// Decomposes Bytes (CR LF or LF, a message as saved, an .eml, or a saved
// RETR or TOP body with its dot-stuffing and final "."). Never throws for
// any input; time and memory grow with the input's size alone.
TMessageAnatomy DecomposeMessage(const std::string& Bytes, const TDecomposeOptions& Options = {});

// Whether Bytes is a saved POP3 body: its last line is a lone "." and every
// other line that starts with a dot starts with two. Then Unstuffed holds the
// message without the dots and without a leading "+OK" status line, and
// RemovedAt the 0-based lines of the input that lost a dot; the status line,
// when there was one, counts as line 0 of the input and is FirstLine.
struct TUnstuffed {
    std::string Message;
    std::vector<uint64_t> RemovedAt; // input lines that lost their first dot
    uint64_t SkippedBytes = 0; // of a leading status line
    uint64_t SkippedLines = 0;
};
bool UnstuffPop3Body(const std::string& Bytes, TUnstuffed& Result);
