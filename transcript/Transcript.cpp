#include "transcript/Transcript.h"

#include <utility>

TTranscript::TTranscript()
    : TTranscript(TLimits())
{
}

TTranscript::TTranscript(const TLimits& Limits)
    : FLimits(Limits)
{
    FOmitted.Kind = TTranscriptKind::Omitted;
}

TTranscript::~TTranscript() = default;

void TTranscript::Clear()
{
    // Swapped out, so that the memory goes back too, not only the elements.
    std::vector<TRecord>().swap(FHead);
    std::deque<TRecord>().swap(FTail);
    FHeadFull = false;
    FHeadBytes = FTailBytes = FHeadMemory = FTailMemory = 0;
    FOmitted = TTranscriptEvent();
    FOmitted.Kind = TTranscriptKind::Omitted;
    FFile.reset();
    FFileFailed = false;
    FFileEnd = 0;
}

void TTranscript::StartConnection()
{
    if (FStarted.empty())
        FStarted = TranscriptTimestampNow();
    ++FConnection;
    FConnectionStart = std::chrono::steady_clock::now();
}

TTranscript::TRecord TTranscript::Begin(TTranscriptKind Kind)
{
    TRecord Record;
    Record.Kind = Kind;
    Record.Connection = FConnection;
    Record.Micros
        = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - FConnectionStart)
              .count();
    return Record;
}

void TTranscript::AddSent(const std::string& Bytes, size_t SecretStart)
{
    if (FConnection == 0)
        return;
    TRecord Record = Begin(TTranscriptKind::Sent);
    Record.Data = Bytes;
    Record.SecretStart = SecretStart;
    Keep(std::move(Record));
}

void TTranscript::AddText(TTranscriptKind Kind, const std::string& Text)
{
    if (FConnection == 0)
        return;
    TRecord Record = Begin(Kind);
    Record.Data = Text;
    Keep(std::move(Record));
}

bool TTranscript::OpenFile()
{
    if (!FFile && !FFileFailed) {
        FFile = std::make_unique<TPrivateFile>();
        FFileFailed = !FFile->Open();
        if (FFileFailed)
            FFile.reset();
    }
    return FFile != nullptr;
}

void TTranscript::AddReceived(const std::string& Bytes)
{
    if (FConnection == 0)
        return;
    TRecord Record = Begin(TTranscriptKind::Received);
    // Without a file (none could be made, or a write failed) the bytes stay
    // in memory: the transcript stays whole, only dearer.
    if (OpenFile() && FFile->WriteAt(Bytes, FFileEnd)) {
        Record.InFile = true;
        Record.Offset = FFileEnd;
        Record.Length = Bytes.size();
        FFileEnd += Bytes.size();
    } else {
        Record.Data = Bytes;
    }
    Keep(std::move(Record));
}

void TTranscript::Keep(TRecord&& Record)
{
    const uint64_t Size = Record.Size();
    const uint64_t Memory = Record.Memory();
    if (!FHeadFull && FHeadBytes + Size <= FLimits.HeadBytes && FHeadMemory + Memory <= FLimits.HeadMemory) {
        FHeadBytes += Size;
        FHeadMemory += Memory;
        FHead.push_back(std::move(Record));
        return;
    }
    FHeadFull = true;
    FTailBytes += Size;
    FTailMemory += Memory;
    FTail.push_back(std::move(Record));
    while (FTail.size() > 1 && (FTailBytes > FLimits.TailBytes || FTailMemory > FLimits.TailMemory)) {
        Forget(FTail.front());
        FTailBytes -= FTail.front().Size();
        FTailMemory -= FTail.front().Memory();
        FTail.pop_front();
    }
}

void TTranscript::Forget(const TRecord& Record)
{
    if (FOmitted.OmittedEvents == 0) {
        FOmitted.Micros = Record.Micros;
        FOmitted.Connection = Record.Connection;
    }
    ++FOmitted.OmittedEvents;
    FOmitted.OmittedBytes += int64_t(Record.Size());
    // The file only grows; the blocks of what the tail let go are given back.
    if (Record.InFile && Record.Length > 0)
        FFile->Release(Record.Offset, Record.Length);
}

bool TTranscript::ForEach(const std::function<bool(const TTranscriptEvent&)>& Visit) const
{
    TTranscriptEvent Event;
    const auto Hand = [&](const TRecord& Record) {
        Event.Micros = Record.Micros;
        Event.Connection = Record.Connection;
        Event.Kind = Record.Kind;
        Event.SecretStart = Record.SecretStart;
        std::string& Target = Record.Kind == TTranscriptKind::Sent || Record.Kind == TTranscriptKind::Received
            ? Event.Bytes
            : Event.Text;
        Event.Bytes.clear();
        Event.Text.clear();
        if (!Record.InFile)
            Target = Record.Data;
        else if (!FFile->ReadAt(Target, Record.Offset, Record.Length))
            return false;
        return Visit(Event);
    };
    for (const TRecord& Record : FHead)
        if (!Hand(Record))
            return false;
    if (FOmitted.OmittedEvents > 0 && !Visit(FOmitted))
        return false;
    for (const TRecord& Record : FTail)
        if (!Hand(Record))
            return false;
    return true;
}

bool TTranscript::Write(TTranscriptWriter& Writer, const std::string& Program, bool Redacted) const
{
    TTranscriptHeader Header;
    Header.Program = Program;
    Header.Started = FStarted.empty() ? TranscriptTimestampNow() : FStarted;
    Header.Redacted = Redacted;
    return Writer.WriteHeader(Header)
        && ForEach([&Writer](const TTranscriptEvent& Event) { return Writer.Write(Event); }) && Writer.Flush();
}
