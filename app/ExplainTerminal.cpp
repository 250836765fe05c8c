#include "app/ExplainTerminal.h"

#include <cstdio>
#include <string>
#include <sys/stat.h>

#include "message/MessageAnatomy.h"
#include "message/MessageReport.h"

namespace {

// Files above this are refused: GMime counts in 32 bits in places.
constexpr off_t kLargestFile = (off_t { 1 } << 31) - 1;

bool ReadWhole(const std::string& Path, std::string& Bytes, std::string& Problem)
{
    std::FILE* File = std::fopen(Path.c_str(), "rb");
    if (!File) {
        Problem = "kann nicht geöffnet werden";
        return false;
    }
    struct stat Facts { };
    // A FIFO or a device would never end.
    if (::fstat(::fileno(File), &Facts) != 0 || !S_ISREG(Facts.st_mode)) {
        std::fclose(File);
        Problem = "ist keine gewöhnliche Datei";
        return false;
    }
    if (Facts.st_size > kLargestFile) {
        std::fclose(File);
        Problem = "ist größer als 2 GB";
        return false;
    }
    Bytes.resize(static_cast<size_t>(Facts.st_size));
    const size_t Read = Bytes.empty() ? 0 : std::fread(Bytes.data(), 1, Bytes.size(), File);
    const bool Failed = std::ferror(File);
    std::fclose(File);
    Bytes.resize(Read);
    if (Failed) {
        Problem = "kann nicht gelesen werden";
        return false;
    }
    return true;
}

} // namespace

int RunExplainInTerminal(const TCommandLine& Line)
{
    const std::string Path = Line.ExplainFile.toLocal8Bit().toStdString();
    std::string Bytes;
    std::string Problem;
    if (!ReadWhole(Path, Bytes, Problem)) {
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
