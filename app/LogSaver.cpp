#include "app/LogSaver.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QPlainTextEdit>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/LogFileWriter.h"

const char* const RtfFilter = "Rich Text Format (*.rtf)";
const char* const TxtFilter = "Textdateien (*.txt)";

void ConfigureSaveDialog(QFileDialog& Dialog, const QString& InitialFolder, const QString& SelectedFilter,
                         const QString& FileName)
{
    Dialog.setWindowTitle(QStringLiteral("Brieflotse - Speichern"));
    Dialog.setAcceptMode(QFileDialog::AcceptSave);
    Dialog.setFileMode(QFileDialog::AnyFile);
    // Qt's own dialog, so that the default extension follows the selected type.
    Dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    Dialog.setOption(QFileDialog::DontConfirmOverwrite, false);
    Dialog.setNameFilters({QString::fromUtf8(RtfFilter), QString::fromUtf8(TxtFilter)});
    const QString Filter = LogFileTypeForFilter(SelectedFilter) == TLogFileType::PlainText
                               ? QString::fromUtf8(TxtFilter)
                               : QString::fromUtf8(RtfFilter);
    Dialog.selectNameFilter(Filter);
    Dialog.setDefaultSuffix(DefaultSuffixForFilter(Filter));
    QObject::connect(&Dialog, &QFileDialog::filterSelected, &Dialog,
                     [&Dialog](const QString& Filter) { Dialog.setDefaultSuffix(DefaultSuffixForFilter(Filter)); });
    if (!InitialFolder.isEmpty())
        Dialog.setDirectory(InitialFolder);
    if (!FileName.isEmpty())
        Dialog.selectFile(FileName);
}

TLogFileType LogFileTypeForFilter(const QString& SelectedFilter)
{
    return SelectedFilter == QString::fromUtf8(TxtFilter) ? TLogFileType::PlainText : TLogFileType::RichText;
}

TLogFileType LogFileTypeForPath(const QString& Path, const QString& SelectedFilter)
{
    const QString Suffix = QFileInfo(Path).suffix().toLower();
    if (Suffix == QLatin1String("txt"))
        return TLogFileType::PlainText;
    if (Suffix == QLatin1String("rtf"))
        return TLogFileType::RichText;
    return LogFileTypeForFilter(SelectedFilter);
}

QString DefaultSuffixForFilter(const QString& SelectedFilter)
{
    return LogFileTypeForFilter(SelectedFilter) == TLogFileType::PlainText ? QStringLiteral("txt")
                                                                           : QStringLiteral("rtf");
}

QString SaveFolderOf(const QString& FilePath)
{
    QString Folder = QFileInfo(FilePath).absolutePath();
    if (!Folder.endsWith(QLatin1Char('/')))
        Folder += QLatin1Char('/');
    return QDir::toNativeSeparators(Folder);
}

namespace {

QString SystemReason(int Error) { return QString::fromLocal8Bit(std::strerror(Error)); }

// Writes all of Data to Fd, resuming after interruptions and short writes.
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

QString WriteDirectly(const QByteArray& Path, const QByteArray& Data)
{
    const int Fd = ::open(Path.constData(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (Fd < 0)
        return SystemReason(errno);
    int Error = WriteAll(Fd, Data);
    if (::close(Fd) != 0 && Error == 0)
        Error = errno;
    return Error ? SystemReason(Error) : QString();
}

// A new file beside Target that nobody else uses, created with the usual
// permissions (0666 less the umask). Returns -1 with errno set on failure.
int CreateTemporary(const QByteArray& Target, QByteArray& TempPath)
{
    const qsizetype Slash = Target.lastIndexOf('/');
    const QByteArray Folder = Slash < 0 ? QByteArray() : Target.left(Slash + 1);
    const QByteArray Name = Target.mid(Slash + 1);
    for (int Attempt = 0; Attempt < 100; ++Attempt) {
        TempPath = Folder + '.' + Name + ".tmp" +
                   QByteArray::number(QRandomGenerator::global()->bounded(1000000000u), 36);
        const int Fd = ::open(TempPath.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (Fd >= 0 || errno != EEXIST)
            return Fd;
    }
    return -1;
}

} // namespace

QString WriteFileSafely(const QString& Path, const QByteArray& Data)
{
    QByteArray Target = QFile::encodeName(Path);
    struct stat Existing {};
    const bool Exists = ::stat(Target.constData(), &Existing) == 0;
    if (Exists && S_ISDIR(Existing.st_mode))
        return SystemReason(EISDIR);
    // A rename would replace a device node or pipe by a plain file; write those
    // in place, as the user asked for exactly that file.
    if (Exists && !S_ISREG(Existing.st_mode))
        return WriteDirectly(Target, Data);
    // Through a link, the file it points to gets the new content; the link stays.
    if (Exists) {
        const QString Resolved = QFileInfo(Path).canonicalFilePath();
        if (!Resolved.isEmpty())
            Target = QFile::encodeName(Resolved);
    }

    QByteArray TempPath;
    const int Fd = CreateTemporary(Target, TempPath);
    if (Fd < 0)
        return SystemReason(errno);
    int Error = WriteAll(Fd, Data);
    if (Error == 0 && Exists && ::fchmod(Fd, Existing.st_mode & 07777) != 0)
        Error = errno;
    if (Error == 0 && ::fsync(Fd) != 0 && errno != EINVAL)
        Error = errno;
    if (::close(Fd) != 0 && Error == 0)
        Error = errno;
    if (Error == 0 && ::rename(TempPath.constData(), Target.constData()) != 0)
        Error = errno;
    if (Error != 0) {
        ::unlink(TempPath.constData());
        return SystemReason(Error);
    }
    return QString();
}

QString SaveLog(const QTextDocument& Log, bool FixedPitch, const QString& Path, TLogFileType Type,
                const QColor& WindowText)
{
    const QByteArray Data =
        Type == TLogFileType::PlainText ? LogAsPlainText(Log) : LogAsRtf(Log, FixedPitch, WindowText);
    const QString Reason = WriteFileSafely(Path, Data);
    if (Reason.isEmpty())
        return QString();
    return QStringLiteral("Das Protokoll konnte nicht als \"%1\" gespeichert werden.\n\n%2")
        .arg(QDir::toNativeSeparators(Path), Reason);
}

QString SaveLog(const QPlainTextEdit& Log, bool FixedPitch, const QString& Path, TLogFileType Type)
{
    return SaveLog(*Log.document(), FixedPitch, Path, Type, Log.palette().color(QPalette::Text));
}
