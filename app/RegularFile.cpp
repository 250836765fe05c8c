#include "app/RegularFile.h"

#include <cstdio>
#include <sys/stat.h>

bool ReadRegularFile(
    const std::string& Path, off_t Largest, const std::string& LargestText, std::string& Bytes, std::string& Problem)
{
    std::FILE* File = std::fopen(Path.c_str(), "rb");
    if (!File) {
        Problem = "kann nicht geöffnet werden";
        return false;
    }
    struct stat Facts { };
    if (::fstat(::fileno(File), &Facts) != 0 || !S_ISREG(Facts.st_mode)) {
        std::fclose(File);
        Problem = "ist keine gewöhnliche Datei";
        return false;
    }
    if (Facts.st_size > Largest) {
        std::fclose(File);
        Problem = "ist größer als " + LargestText;
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
