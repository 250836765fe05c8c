#include "transcript/Transcript.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

bool WriteAllAt(int Fd, const std::string& Bytes, uint64_t Offset)
{
    for (size_t Done = 0; Done < Bytes.size();) {
        const ssize_t Written = ::pwrite(Fd, Bytes.data() + Done, Bytes.size() - Done, off_t(Offset + Done));
        if (Written < 0 && errno == EINTR)
            continue;
        if (Written <= 0)
            return false;
        Done += size_t(Written);
    }
    return true;
}

bool ReadAllAt(int Fd, std::string& Bytes, uint64_t Offset, uint64_t Length)
{
    Bytes.resize(size_t(Length));
    for (size_t Done = 0; Done < Bytes.size();) {
        const ssize_t Got = ::pread(Fd, &Bytes[Done], Bytes.size() - Done, off_t(Offset + Done));
        if (Got < 0 && errno == EINTR)
            continue;
        if (Got <= 0)
            return false;
        Done += size_t(Got);
    }
    return true;
}

// A private file nobody can open by name: O_TMPFILE where the file system has
// it, else a created and at once unlinked one.
int OpenPrivateFile()
{
    const char* Folder = std::getenv("TMPDIR");
    const std::string Dir = Folder && *Folder ? Folder : "/tmp";
#ifdef O_TMPFILE
    const int Fd = ::open(Dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (Fd >= 0)
        return Fd;
#endif
    std::string Pattern = Dir + "/brieflotse-mitschnitt-XXXXXX";
    const int Named = ::mkostemp(&Pattern[0], O_CLOEXEC);
    if (Named >= 0)
        ::unlink(Pattern.c_str());
    return Named;
}

} // namespace

TTranscript::TTranscript()
    : TTranscript(TLimits())
{
}

TTranscript::TTranscript(const TLimits& Limits)
    : FLimits(Limits)
{
    FOmitted.Kind = TTranscriptKind::Omitted;
}

TTranscript::~TTranscript()
{
    if (FFd >= 0)
        ::close(FFd);
}

void TTranscript::Clear()
{
    // Swapped out, so that the memory goes back too, not only the elements.
    std::vector<TRecord>().swap(FHead);
    std::deque<TRecord>().swap(FTail);
    FHeadFull = false;
    FHeadBytes = FTailBytes = FHeadMemory = FTailMemory = 0;
    FOmitted = TTranscriptEvent();
    FOmitted.Kind = TTranscriptKind::Omitted;
    if (FFd >= 0)
        ::close(FFd);
    FFd = -1;
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
    if (FFd < 0 && !FFileFailed) {
        FFd = OpenPrivateFile();
        FFileFailed = FFd < 0;
    }
    return FFd >= 0;
}

void TTranscript::AddReceived(const std::string& Bytes)
{
    if (FConnection == 0)
        return;
    TRecord Record = Begin(TTranscriptKind::Received);
    // Without a file (none could be made, or a write failed) the bytes stay
    // in memory: the transcript stays whole, only dearer.
    if (OpenFile() && WriteAllAt(FFd, Bytes, FFileEnd)) {
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
        ::fallocate(FFd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, off_t(Record.Offset), off_t(Record.Length));
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
        else if (!ReadAllAt(FFd, Target, Record.Offset, Record.Length))
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
