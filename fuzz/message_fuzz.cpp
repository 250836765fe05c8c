// Arbitrary bytes as a saved message: decomposing must not crash, every range
// must lie inside the input with its lines in order, the MIME paths must
// form a tree in pre-order, and both reports must be written.
// fuzz-sources: message/*.cpp
// fuzz-pkg: gmime-3.0
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "message/MessageAnatomy.h"
#include "message/MessageReport.h"

namespace {

void Check(bool Condition, const char* Invariant)
{
    if (Condition)
        return;
    std::fprintf(stderr, "broken invariant: %s\n", Invariant);
    std::abort();
}

void CheckRange(const TMessageRange& Range, size_t Size)
{
    Check(Range.Begin <= Range.End, "a range begins before it ends");
    Check(Range.End <= Size, "a range ends inside the input");
    Check(Range.FirstLine <= Range.LastLine, "a range's lines are in order");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    const std::string Bytes(reinterpret_cast<const char*>(Data), Size);
    TDecomposeOptions Options;
    Options.MaxParts = 500;
    const TMessageAnatomy Anatomy = DecomposeMessage(Bytes, Options);
    Check(Anatomy.IsMessage || (Anatomy.Headers.empty() && Anatomy.Parts.empty()), "no message, no items");
    for (const THeaderField& Field : Anatomy.Headers)
        CheckRange(Field.Range, Size);
    for (const TReceivedHop& Hop : Anatomy.Received) {
        CheckRange(Hop.Range, Size);
        Check(Hop.HeaderIndex < Anatomy.Headers.size(), "a hop names its field");
    }
    for (const TAuthResult& Result : Anatomy.AuthenticationResults)
        CheckRange(Result.Range, Size);
    Check(Anatomy.Parts.size() <= Options.MaxParts, "parts beyond the limit are counted, not listed");
    for (size_t Index = 0; Index < Anatomy.Parts.size(); ++Index) {
        const TMimePart& Part = Anatomy.Parts[Index];
        CheckRange(Part.Range, Size);
        CheckRange(Part.BodyRange, Size);
        Check(Part.Text.size() <= Options.MaxTextBytes, "text is kept up to its limit");
        if (Index == 0) {
            Check(Part.Path == "1" && Part.Depth == 0, "the tree starts at 1");
            continue;
        }
        // Each path is a child of an earlier part still open at that depth.
        const std::string Parent = Part.Path.substr(0, Part.Path.rfind('.'));
        bool Found = false;
        for (size_t Earlier = Index; Earlier-- > 0;)
            if (Anatomy.Parts[Earlier].Path == Parent) {
                Found = Anatomy.Parts[Earlier].Depth + 1 == Part.Depth && Anatomy.Parts[Earlier].Container;
                break;
            }
        Check(Found, "every part hangs below a container listed before it");
    }
    Check(!AnatomyJson(Anatomy).empty() && !AnatomyText(Anatomy).empty(), "both reports are written");
    return 0;
}
