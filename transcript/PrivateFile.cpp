#include "transcript/PrivateFile.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

TPrivateFile::~TPrivateFile()
{
    if (FFd >= 0)
        ::close(FFd);
}

bool TPrivateFile::Open()
{
    if (FFd >= 0)
        return true;
    const char* Folder = std::getenv("TMPDIR");
    const std::string Dir = Folder && *Folder ? Folder : "/tmp";
#ifdef O_TMPFILE
    FFd = ::open(Dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (FFd >= 0)
        return true;
#endif
    std::string Pattern = Dir + "/brieflotse-XXXXXX";
    FFd = ::mkostemp(&Pattern[0], O_CLOEXEC);
    if (FFd >= 0)
        ::unlink(Pattern.c_str());
    return FFd >= 0;
}

bool TPrivateFile::WriteAt(const std::string& Bytes, uint64_t Offset) const
{
    for (size_t Done = 0; Done < Bytes.size();) {
        const ssize_t Written = ::pwrite(FFd, Bytes.data() + Done, Bytes.size() - Done, off_t(Offset + Done));
        if (Written < 0 && errno == EINTR)
            continue;
        if (Written <= 0)
            return false;
        Done += size_t(Written);
    }
    return true;
}

bool TPrivateFile::ReadAt(std::string& Bytes, uint64_t Offset, uint64_t Length) const
{
    Bytes.resize(size_t(Length));
    for (size_t Done = 0; Done < Bytes.size();) {
        const ssize_t Got = ::pread(FFd, &Bytes[Done], Bytes.size() - Done, off_t(Offset + Done));
        if (Got < 0 && errno == EINTR)
            continue;
        if (Got <= 0)
            return false;
        Done += size_t(Got);
    }
    return true;
}

void TPrivateFile::Release(uint64_t Offset, uint64_t Length) const
{
    if (FFd >= 0)
        ::fallocate(FFd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, off_t(Offset), off_t(Length));
}

void TPrivateFile::Truncate() const
{
    if (FFd >= 0 && ::ftruncate(FFd, 0) != 0) {
        // A file that keeps its old length is only overwritten from the start.
    }
}
