#pragma once

// The protocol log's lines in compact form: the bytes of every line one after
// another (no separators), where each line starts, and the runs of equal
// colour and weight. About one byte per character shown plus four per line,
// so that a message of hundreds of megabytes fits; nothing is ever moved once
// stored (text pages and line starts grow in blocks, never by copying).

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

// How a run of characters looks. Colour is 0xAARRGGBB.
struct TLogStyle {
    uint32_t Colour = 0;
    uint8_t Flags = 0;

    enum : uint8_t {
        sfBold = 1,
        sfColoured = 2, // without it the view's text colour
    };
    bool Bold() const { return Flags & sfBold; }
    bool Coloured() const { return Flags & sfColoured; }
    bool operator==(const TLogStyle& Other) const { return Colour == Other.Colour && Flags == Other.Flags; }
    bool operator!=(const TLogStyle& Other) const { return !(*this == Other); }
};

struct TLogRun {
    uint64_t Start = 0; // byte offset in the store's text
    TLogStyle Style;
};

class TLogStore {
public:
    TLogStore();
    TLogStore(const TLogStore&) = delete;
    TLogStore& operator=(const TLogStore&) = delete;

    // Starts a new, empty line at the end.
    void AddLine();
    // Appends bytes to the last line (a line is added first when there is
    // none). Utf8: the bytes are UTF-8 text of the program's own, otherwise
    // every byte is one character (Latin-1).
    void Append(const char* Data, size_t Size, TLogStyle Style, bool Utf8 = false);
    void Append(const std::string& Text, TLogStyle Style, bool Utf8 = false)
    {
        Append(Text.data(), Text.size(), Style, Utf8);
    }
    void Clear();

    size_t LineCount() const { return FLineStarts.size(); }
    bool Empty() const { return FLineStarts.empty(); }
    uint64_t ByteCount() const { return FBytes; }
    uint64_t LineStart(size_t Line) const;
    uint64_t LineEnd(size_t Line) const { return Line + 1 < LineCount() ? LineStart(Line + 1) : FBytes; }
    uint64_t LineBytes(size_t Line) const { return LineEnd(Line) - LineStart(Line); }
    // The longest line in bytes (the first of equal ones).
    size_t LongestLine() const { return FLongestLine; }
    bool IsUtf8Line(size_t Line) const;
    // Lines holding UTF-8 text beyond ASCII, ascending.
    const std::vector<size_t>& Utf8Lines() const { return FUtf8Lines; }

    // Copies Count bytes from Offset to Out (the range must be stored).
    void Copy(uint64_t Offset, size_t Count, char* Out) const;
    std::string Bytes(uint64_t Offset, size_t Count) const;
    char ByteAt(uint64_t Offset) const;

    size_t RunCount() const { return FRuns.size(); }
    const TLogRun& Run(size_t Index) const { return FRuns[Index]; }
    // The run that holds the byte at Offset (Offset < ByteCount()), or the
    // last one starting at or before it.
    size_t RunAt(uint64_t Offset) const;
    // End of run Index: the next run's start or the end of the text.
    uint64_t RunEnd(size_t Index) const { return Index + 1 < FRuns.size() ? FRuns[Index + 1].Start : FBytes; }

private:
    void AddRun(uint64_t Start, TLogStyle Style);
    void NoteLineLength(size_t Line);

    static constexpr size_t kPageBytes = size_t(1) << 20;
    std::vector<std::unique_ptr<char[]>> FPages;
    uint64_t FBytes = 0;
    // Low 32 bits of each line's start; FWraps lists the first line of each
    // further 4 GB, so that a line costs four bytes.
    std::deque<uint32_t> FLineStarts;
    std::vector<size_t> FWraps;
    std::deque<TLogRun> FRuns;
    std::vector<size_t> FUtf8Lines; // ascending
    size_t FLongestLine = 0;
    uint64_t FLongestBytes = 0;
};
