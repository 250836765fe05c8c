#include "settings/SafeFile.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace SafeFile {

namespace {

    QString SystemReason(int Error)
    {
        return QString::fromLocal8Bit(std::strerror(Error));
    }

    QString NotRegularText(const QString& Path)
    {
        return QStringLiteral("\"%1\" ist keine gewöhnliche Datei (sondern zum Beispiel ein Gerät, eine Pipe oder ein "
                              "Socket) und wird weder gelesen noch beschrieben.")
            .arg(Path);
    }

    int WriteAll(int Fd, const QByteArray& Data)
    {
        const char* Next = Data.constData();
        qint64 Left = Data.size();
        while (Left > 0) {
            const ssize_t Written = ::write(Fd, Next, size_t(Left));
            if (Written < 0) {
                if (errno == EINTR)
                    continue;
                return errno;
            }
            Next += Written;
            Left -= Written;
        }
        return 0;
    }

    QByteArray FolderOf(const QByteArray& Path)
    {
        const qsizetype Slash = Path.lastIndexOf('/');
        if (Slash < 0)
            return QByteArrayLiteral(".");
        return Slash == 0 ? QByteArrayLiteral("/") : Path.left(Slash);
    }

    // A folder anyone may write to but only owners may delete from (/tmp): a link
    // there may have been planted by someone else.
    bool IsSharedStickyFolder(const QByteArray& Folder)
    {
        struct stat Info { };
        return ::stat(Folder.constData(), &Info) == 0 && (Info.st_mode & S_ISVTX) && (Info.st_mode & S_IWOTH);
    }

    // The path a link names, made absolute against the link's folder.
    QByteArray LinkTarget(const QByteArray& Link)
    {
        char Buffer[PATH_MAX];
        const ssize_t Length = ::readlink(Link.constData(), Buffer, sizeof Buffer - 1);
        if (Length <= 0)
            return QByteArray();
        const QByteArray Target(Buffer, Length);
        return Target.startsWith('/') ? Target : FolderOf(Link) + '/' + Target;
    }

    QString Replace(const QByteArray& Target, const TFdWriter& Write, mode_t Mode)
    {
        const QByteArray Folder = FolderOf(Target);
        QByteArray Pattern = Folder + "/." + Target.mid(Target.lastIndexOf('/') + 1) + ".tmp-XXXXXX";
        // mkostemp creates the file exclusively with mode 0600: no one else can
        // open it before it holds its final mode.
        const int Fd = ::mkostemp(Pattern.data(), O_CLOEXEC);
        if (Fd < 0)
            return SystemReason(errno);
        int Error = ::fchmod(Fd, Mode) == 0 ? 0 : errno;
        if (Error == 0)
            Error = Write(Fd);
        if (Error == 0 && ::fsync(Fd) != 0 && errno != EINVAL)
            Error = errno;
        if (::close(Fd) != 0 && Error == 0)
            Error = errno;
        if (Error == 0 && ::rename(Pattern.constData(), Target.constData()) != 0)
            Error = errno;
        if (Error != 0) {
            ::unlink(Pattern.constData());
            return SystemReason(Error);
        }
        // Make the rename itself durable.
        const int FolderFd = ::open(Folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (FolderFd >= 0) {
            ::fsync(FolderFd);
            ::close(FolderFd);
        }
        return QString();
    }

} // namespace

mode_t DefaultFileMode()
{
    const mode_t Mask = ::umask(022);
    ::umask(Mask);
    return 0666 & ~Mask;
}

TReadResult ReadRegularFile(const QString& Path, qint64 MaxBytes)
{
    TReadResult Result;
    // Non-blocking: opening a pipe must not wait for a writer.
    const int Fd = ::open(QFile::encodeName(Path).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (Fd < 0) {
        if (errno != ENOENT) {
            Result.Exists = true;
            Result.Problem = SystemReason(errno);
        }
        return Result;
    }
    Result.Exists = true;
    struct stat Info { };
    if (::fstat(Fd, &Info) != 0) {
        Result.Problem = SystemReason(errno);
    } else if (!S_ISREG(Info.st_mode)) {
        Result.Problem = NotRegularText(Path);
    } else if (Info.st_size > MaxBytes) {
        Result.Problem = QStringLiteral("Die Datei ist mit %1 Bytes größer als erlaubt (%2 Bytes).")
                             .arg(qint64(Info.st_size))
                             .arg(MaxBytes);
    } else {
        // A file that grows while it is read still stops at the limit.
        Result.Data.reserve(qsizetype(Info.st_size));
        char Chunk[65536];
        for (;;) {
            const ssize_t Got = ::read(Fd, Chunk, sizeof Chunk);
            if (Got < 0 && errno == EINTR)
                continue;
            if (Got < 0) {
                Result.Problem = SystemReason(errno);
                break;
            }
            if (Got == 0)
                break;
            if (Result.Data.size() + Got > MaxBytes) {
                Result.Problem = QStringLiteral("Die Datei ist größer als erlaubt (%1 Bytes).").arg(MaxBytes);
                break;
            }
            Result.Data.append(Chunk, qsizetype(Got));
        }
    }
    ::close(Fd);
    if (!Result.Problem.isEmpty())
        Result.Data.clear();
    return Result;
}

QString WriteFile(const QString& Path, const QByteArray& Data, mode_t Mode, TModeRule Rule)
{
    return WriteFileWith(
        Path, [&Data](int Fd) { return WriteAll(Fd, Data); }, Mode, Rule);
}

QString WriteFileWith(const QString& Path, const TFdWriter& Data, mode_t Mode, TModeRule Rule)
{
    QByteArray Target = QFile::encodeName(QFileInfo(Path).absoluteFilePath());
    for (int Hops = 0;; ++Hops) {
        struct stat Info { };
        if (::lstat(Target.constData(), &Info) != 0) {
            if (errno != ENOENT)
                return SystemReason(errno);
            return Replace(Target, Data, Mode);
        }
        if (S_ISDIR(Info.st_mode))
            return SystemReason(EISDIR);
        if (S_ISREG(Info.st_mode))
            return Replace(Target, Data, Rule == TModeRule::KeepExisting ? (Info.st_mode & 07777) : Mode);
        if (!S_ISLNK(Info.st_mode))
            return NotRegularText(Path);
        if (Info.st_uid != ::geteuid() || IsSharedStickyFolder(FolderOf(Target)))
            return QStringLiteral("\"%1\" ist eine symbolische Verknüpfung, die ein anderer Benutzer angelegt haben "
                                  "könnte; Brieflotse schreibt nicht durch sie hindurch.")
                .arg(QFile::decodeName(Target));
        if (Hops == 8)
            return SystemReason(ELOOP);
        Target = LinkTarget(Target);
        if (Target.isEmpty())
            return SystemReason(errno ? errno : ENOENT);
    }
}

} // namespace SafeFile
