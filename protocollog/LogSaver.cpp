#include "protocollog/LogSaver.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>

#include "protocollog/LogFileWriter.h"
#include "protocollog/LogView.h"
#include "settings/SafeFile.h"

const char* const RtfFilter = "Rich Text Format (*.rtf)";
const char* const TxtFilter = "Textdateien (*.txt)";

void ConfigureSaveDialog(
    QFileDialog& Dialog, const QString& InitialFolder, const QString& SelectedFilter, const QString& FileName)
{
    Dialog.setWindowTitle(QStringLiteral("Brieflotse - Speichern"));
    Dialog.setAcceptMode(QFileDialog::AcceptSave);
    Dialog.setFileMode(QFileDialog::AnyFile);
    // Qt's own dialog, so that the default extension follows the selected type.
    Dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    Dialog.setOption(QFileDialog::DontConfirmOverwrite, false);
    Dialog.setNameFilters({ QString::fromUtf8(RtfFilter), QString::fromUtf8(TxtFilter) });
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

QString WriteFileSafely(const QString& Path, const QByteArray& Data)
{
    return SafeFile::WriteFile(Path, Data, SafeFile::DefaultFileMode(), SafeFile::TModeRule::KeepExisting);
}

QString SaveLog(const TLogStore& Log, bool FixedPitch, const QString& Path, TLogFileType Type, const QColor& WindowText,
    const QFont& Font)
{
    const QByteArray Data
        = Type == TLogFileType::PlainText ? LogAsPlainText(Log) : LogAsRtf(Log, FixedPitch, WindowText, Font);
    const QString Reason = WriteFileSafely(Path, Data);
    if (Reason.isEmpty())
        return QString();
    return QStringLiteral("Das Protokoll konnte nicht als \"%1\" gespeichert werden.\n\n%2")
        .arg(QDir::toNativeSeparators(Path), Reason);
}

QString SaveLog(const TLogView& Log, bool FixedPitch, const QString& Path, TLogFileType Type)
{
    return SaveLog(Log.Store(), FixedPitch, Path, Type, Log.palette().color(QPalette::Text), Log.font());
}
