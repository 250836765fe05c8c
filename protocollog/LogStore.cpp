#include "protocollog/LogStore.h"

#include <algorithm>
#include <cstring>

TLogStore::TLogStore() = default;

void TLogStore::Clear()
{
    FPages.clear();
    FPages.shrink_to_fit();
    FBytes = 0;
    std::deque<uint32_t>().swap(FLineStarts);
    FWraps.clear();
    std::deque<TLogRun>().swap(FRuns);
    FUtf8Lines.clear();
    FLongestLine = 0;
    FLongestBytes = 0;
}

void TLogStore::AddLine()
{
    if (!FLineStarts.empty())
        NoteLineLength(FLineStarts.size() - 1);
    if (!FLineStarts.empty() && static_cast<uint32_t>(FBytes) < FLineStarts.back())
        FWraps.push_back(FLineStarts.size());
    FLineStarts.push_back(static_cast<uint32_t>(FBytes));
}

uint64_t TLogStore::LineStart(size_t Line) const
{
    const uint64_t High = static_cast<uint64_t>(std::upper_bound(FWraps.begin(), FWraps.end(), Line) - FWraps.begin());
    return (High << 32) | FLineStarts[Line];
}

bool TLogStore::IsUtf8Line(size_t Line) const
{
    return std::binary_search(FUtf8Lines.begin(), FUtf8Lines.end(), Line);
}

void TLogStore::NoteLineLength(size_t Line)
{
    const uint64_t Bytes = LineBytes(Line);
    if (Bytes > FLongestBytes) {
        FLongestBytes = Bytes;
        FLongestLine = Line;
    }
}

void TLogStore::Append(const char* Data, size_t Size, TLogStyle Style, bool Utf8)
{
    if (FLineStarts.empty())
        AddLine();
    const size_t Line = FLineStarts.size() - 1;
    if (Utf8 && (FUtf8Lines.empty() || FUtf8Lines.back() != Line)
        && std::any_of(Data, Data + Size, [](char C) { return static_cast<unsigned char>(C) >= 0x80; }))
        FUtf8Lines.push_back(Line);
    if (Size == 0)
        return;
    AddRun(FBytes, Style);
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
    NoteLineLength(Line);
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
