#pragma once

// The protocol log's lines in compact form: the bytes of every line one after
// another (no separators), where each line starts, and the runs of equal
// colour and weight. About one byte per character shown plus four per line,
// so that a message of hundreds of megabytes fits; nothing is ever moved once
// stored (text pages and line starts grow in blocks, never by copying).
//
// A lone CR or LF inside a protocol line (a server that ends its lines with LF
// alone) breaks the line into rows when shown. The store keeps where each
// such break is (four bytes each, none in an ordinary log), so that rows and
// lines map onto each other in O(log n).

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

// Ascending byte offsets at four bytes each: the low 32 bits, and for each
// further 4 GB the index of its first entry.
class TLogOffsets {
public:
    void PushBack(uint64_t Offset);
    void Clear();
    size_t Size() const { return FLow.size(); }
    bool Empty() const { return FLow.empty(); }
    uint64_t operator[](size_t Index) const;
    // How many entries lie below Offset.
    size_t CountBelow(uint64_t Offset) const;

private:
    std::deque<uint32_t> FLow;
    std::vector<size_t> FWraps;
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

    size_t LineCount() const { return FLineStarts.Size(); }
    bool Empty() const { return FLineStarts.Empty(); }
    uint64_t ByteCount() const { return FBytes; }
    uint64_t LineStart(size_t Line) const { return FLineStarts[Line]; }
    uint64_t LineEnd(size_t Line) const { return Line + 1 < LineCount() ? LineStart(Line + 1) : FBytes; }
    uint64_t LineBytes(size_t Line) const { return LineEnd(Line) - LineStart(Line); }
    // Rows: a line is shown as one row plus one per lone CR or LF in it (in
    // protocol text; text of the program's own keeps its breaks out). The
    // break character ends its row.
    size_t RowCount() const { return LineCount() + FBreaks.Size(); }
    // Past this many breaks (64 MB of offsets) the rest show as blanks, so
    // that a server sending nothing but LF cannot make them cost four times
    // the text.
    static constexpr size_t kMaxBreaks = size_t(1) << 24;
    void SetMaxBreaks(size_t Count) { FMaxBreaks = Count; } // tests
    size_t LineRows(size_t Line) const;
    size_t FirstRow(size_t Line) const { return Line + FBreaks.CountBelow(LineStart(Line)); }
    size_t LineOfRow(size_t Row) const;
    // The row that holds the place just before byte Offset of Line.
    size_t RowAt(size_t Line, uint64_t Offset) const { return Line + FBreaks.CountBelow(Offset); }
    // Bytes of a row: from its start to its break character or line end.
    uint64_t RowStart(size_t Row) const;
    uint64_t RowEnd(size_t Row) const;
    // The longest row in bytes (the first of equal ones).
    size_t LongestRow() const { return FLongestRow; }
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
    void NoteRowLength(size_t Row, uint64_t Start, uint64_t End);
    void NoteBreaks(const char* Data, size_t Size);
    uint64_t OpenRowStart() const; // of the last row

    static constexpr size_t kPageBytes = size_t(1) << 20;
    std::vector<std::unique_ptr<char[]>> FPages;
    uint64_t FBytes = 0;
    TLogOffsets FLineStarts;
    TLogOffsets FBreaks; // offsets of lone CR and LF bytes
    size_t FMaxBreaks = kMaxBreaks;
    std::deque<TLogRun> FRuns;
    std::vector<size_t> FUtf8Lines; // ascending
    size_t FLongestRow = 0;
    uint64_t FLongestBytes = 0;
};
