#include "app/ExplainTerminal.h"

#include <cstdio>
#include <string>

#include "app/RegularFile.h"
#include "message/MessageAnatomy.h"
#include "message/MessageReport.h"

namespace {

// Files above this are refused: GMime counts in 32 bits in places.
constexpr off_t kLargestFile = (off_t { 1 } << 31) - 1;

} // namespace

int RunExplainInTerminal(const TCommandLine& Line)
{
    const std::string Path = Line.ExplainFile.toLocal8Bit().toStdString();
    std::string Bytes;
    std::string Problem;
    if (!ReadRegularFile(Path, kLargestFile, "2 GB", Bytes, Problem)) {
        std::fprintf(stderr, "brieflotse: %s %s.\n", Path.c_str(), Problem.c_str());
        return 1;
    }
    const TMessageAnatomy Anatomy = DecomposeMessage(Bytes);
    if (!Anatomy.IsMessage) {
        std::fprintf(stderr, "brieflotse: %s ist keine Nachricht (kein lesbares Kopffeld).\n", Path.c_str());
        return 1;
    }
    Bytes = {};
    const std::string Out = Line.ExplainJson ? AnatomyJson(Anatomy) : AnatomyText(Anatomy);
    std::fwrite(Out.data(), 1, Out.size(), stdout);
    std::fflush(stdout);
    return 0;
}
