// Arbitrary bytes as a transcript file (what --replay reads): the reader must
// not crash, must stop at the first fault with its line number, and each
// event it accepts must come back the same when written and read again.
// fuzz-sources: transcript/*.cpp
#include "transcript/TranscriptFormat.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

namespace {

void Check(bool Condition)
{
    if (!Condition)
        std::abort();
}

bool SameEvent(const TTranscriptEvent& A, const TTranscriptEvent& B)
{
    return A.Micros == B.Micros && A.Connection == B.Connection && A.Kind == B.Kind && A.Bytes == B.Bytes
        && A.Text == B.Text && A.SecretStart == B.SecretStart && A.Redacted == B.Redacted
        && A.OmittedEvents == B.OmittedEvents && A.OmittedBytes == B.OmittedBytes;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    std::istringstream File(std::string(reinterpret_cast<const char*>(Data), Size));
    // A small limit, so that over-long lines are reached too.
    TTranscriptReader Reader(4096);
    if (!Reader.Open(File)) {
        Check(Reader.Error().rfind("Zeile 1: ", 0) == 0);
        return 0;
    }
    std::ostringstream Again;
    TTranscriptWriter Writer(Again);
    Writer.WriteHeader(Reader.Header());
    TTranscriptEvent Event;
    size_t Events = 0;
    while (Reader.Next(Event)) {
        // Unredacted, so that the bytes are written as they were read.
        Again << TranscriptEventLine(Event, false);
        ++Events;
    }
    Check(Reader.Error().empty() || Reader.Error().rfind("Zeile ", 0) == 0);

    std::istringstream Written(Again.str());
    TTranscriptReader Second(1 << 20);
    Check(Second.Open(Written));
    Check(Second.Header().Program == Reader.Header().Program && Second.Header().Started == Reader.Header().Started
        && Second.Header().Redacted == Reader.Header().Redacted);
    std::istringstream Original(std::string(reinterpret_cast<const char*>(Data), Size));
    TTranscriptReader First(4096);
    Check(First.Open(Original));
    TTranscriptEvent Read;
    for (size_t Index = 0; Index < Events; ++Index) {
        Check(First.Next(Event) && Second.Next(Read));
        Check(SameEvent(Event, Read));
    }
    Check(!Second.Next(Read) && Second.Error().empty());
    return 0;
}
