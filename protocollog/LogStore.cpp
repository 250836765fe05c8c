#include "protocollog/LogStore.h"

#include <algorithm>
#include <cstring>

void TLogOffsets::PushBack(uint64_t Offset)
{
    while ((Offset >> 32) > FWraps.size())
        FWraps.push_back(FLow.size());
    FLow.push_back(static_cast<uint32_t>(Offset));
}

void TLogOffsets::Clear()
{
    std::deque<uint32_t>().swap(FLow);
    FWraps.clear();
}

uint64_t TLogOffsets::operator[](size_t Index) const
{
    const uint64_t High = static_cast<uint64_t>(std::upper_bound(FWraps.begin(), FWraps.end(), Index) - FWraps.begin());
    return (High << 32) | FLow[Index];
}

size_t TLogOffsets::CountBelow(uint64_t Offset) const
{
    // Most callers ask about the end, where the entries usually are below.
    if (FLow.empty() || (*this)[FLow.size() - 1] < Offset)
        return FLow.size();
    size_t Low = 0;
    size_t High = FLow.size();
    while (Low < High) {
        const size_t Middle = Low + (High - Low) / 2;
        if ((*this)[Middle] < Offset)
            Low = Middle + 1;
        else
            High = Middle;
    }
    return Low;
}

TLogStore::TLogStore() = default;

void TLogStore::Clear()
{
    FPages.clear();
    FPages.shrink_to_fit();
    FBytes = 0;
    FLineStarts.Clear();
    FBreaks.Clear();
    std::deque<TLogRun>().swap(FRuns);
    FUtf8Lines.clear();
    FLongestRow = 0;
    FLongestBytes = 0;
}

void TLogStore::AddLine()
{
    FLineStarts.PushBack(FBytes);
}

bool TLogStore::IsUtf8Line(size_t Line) const
{
    return std::binary_search(FUtf8Lines.begin(), FUtf8Lines.end(), Line);
}

size_t TLogStore::LineRows(size_t Line) const
{
    return 1 + FBreaks.CountBelow(LineEnd(Line)) - FBreaks.CountBelow(LineStart(Line));
}

size_t TLogStore::LineOfRow(size_t Row) const
{
    if (FBreaks.Empty())
        return std::min(Row, LineCount() - 1);
    // The last line whose first row is at or before Row.
    size_t Low = 0;
    size_t High = LineCount() - 1;
    while (Low < High) {
        const size_t Middle = Low + (High - Low + 1) / 2;
        if (FirstRow(Middle) <= Row)
            Low = Middle;
        else
            High = Middle - 1;
    }
    return Low;
}

// Row R of line L that is not L's first row starts after break R - L - 1 and
// ends at break R - L when that one is still in L.
uint64_t TLogStore::RowStart(size_t Row) const
{
    const size_t Line = LineOfRow(Row);
    return Row == FirstRow(Line) ? LineStart(Line) : FBreaks[Row - Line - 1] + 1;
}

uint64_t TLogStore::RowEnd(size_t Row) const
{
    const size_t Line = LineOfRow(Row);
    const size_t Break = Row - Line;
    const uint64_t End = LineEnd(Line);
    return Break < FBreaks.Size() && FBreaks[Break] < End ? FBreaks[Break] : End;
}

void TLogStore::NoteRowLength(size_t Row, uint64_t Start, uint64_t End)
{
    if (End - Start > FLongestBytes) {
        FLongestBytes = End - Start;
        FLongestRow = Row;
    }
}

uint64_t TLogStore::OpenRowStart() const
{
    const uint64_t LineBegin = LineStart(LineCount() - 1);
    return FBreaks.Empty() ? LineBegin : std::max(LineBegin, FBreaks[FBreaks.Size() - 1] + 1);
}

void TLogStore::NoteBreaks(const char* Data, size_t Size)
{
    const uint64_t Begin = FBytes - Size;
    // Counted first in a loop the compiler vectorises: most text has none.
    size_t Count = 0;
    for (size_t Index = 0; Index < Size; ++Index)
        Count += (Data[Index] == '\r') | (Data[Index] == '\n');
    for (size_t Index = 0; Count > 0 && Index < Size && FBreaks.Size() < FMaxBreaks; ++Index) {
        if (Data[Index] != '\r' && Data[Index] != '\n')
            continue;
        NoteRowLength(RowCount() - 1, OpenRowStart(), Begin + Index);
        FBreaks.PushBack(Begin + Index);
        --Count;
    }
    NoteRowLength(RowCount() - 1, OpenRowStart(), FBytes);
}

void TLogStore::Append(const char* Data, size_t Size, TLogStyle Style, bool Utf8)
{
    if (FLineStarts.Empty())
        AddLine();
    const size_t Line = FLineStarts.Size() - 1;
    if (Utf8 && (FUtf8Lines.empty() || FUtf8Lines.back() != Line)
        && std::any_of(Data, Data + Size, [](char C) { return static_cast<unsigned char>(C) >= 0x80; }))
        FUtf8Lines.push_back(Line);
    if (Size == 0)
        return;
    AddRun(FBytes, Style);
    const char* const Text = Data;
    const size_t TextSize = Size;
    while (Size > 0) {
        const size_t InPage = static_cast<size_t>(FBytes % kPageBytes);
        if (InPage == 0 && FBytes / kPageBytes == FPages.size())
            FPages.emplace_back(new char[kPageBytes]);
        const size_t Count = std::min(Size, kPageBytes - InPage);
        std::memcpy(FPages[static_cast<size_t>(FBytes / kPageBytes)].get() + InPage, Data, Count);
        Data += Count;
        Size -= Count;
        FBytes += Count;
    }
    // Text of the program's own comes in lines of its own, without breaks.
    if (Utf8)
        NoteRowLength(RowCount() - 1, OpenRowStart(), FBytes);
    else
        NoteBreaks(Text, TextSize);
}

void TLogStore::AddRun(uint64_t Start, TLogStyle Style)
{
    if (!FRuns.empty() && FRuns.back().Start == Start) {
        FRuns.back().Style = Style; // the run before was empty
        if (FRuns.size() > 1 && FRuns[FRuns.size() - 2].Style == Style)
            FRuns.pop_back();
        return;
    }
    if (!FRuns.empty() && FRuns.back().Style == Style)
        return;
    FRuns.push_back({ Start, Style });
}

size_t TLogStore::RunAt(uint64_t Offset) const
{
    const auto After = std::upper_bound(
        FRuns.begin(), FRuns.end(), Offset, [](uint64_t Value, const TLogRun& Run) { return Value < Run.Start; });
    return After == FRuns.begin() ? 0 : static_cast<size_t>(After - FRuns.begin()) - 1;
}

void TLogStore::Copy(uint64_t Offset, size_t Count, char* Out) const
{
    while (Count > 0) {
        const size_t InPage = static_cast<size_t>(Offset % kPageBytes);
        const size_t Part = std::min(Count, kPageBytes - InPage);
        std::memcpy(Out, FPages[static_cast<size_t>(Offset / kPageBytes)].get() + InPage, Part);
        Out += Part;
        Offset += Part;
        Count -= Part;
    }
}

std::string TLogStore::Bytes(uint64_t Offset, size_t Count) const
{
    std::string Text(Count, '\0');
    Copy(Offset, Count, Text.data());
    return Text;
}

char TLogStore::ByteAt(uint64_t Offset) const
{
    return FPages[static_cast<size_t>(Offset / kPageBytes)][static_cast<size_t>(Offset % kPageBytes)];
}
