// The "&Datei" entries of the main window: saving and printing the log,
// saving the session's transcript.

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QPrintDialog>
#include <QPrinter>
#include <QPrinterInfo>

#include <cerrno>

#include "app/BrieflotseMain.h"
#include "dialogs/MessageBox.h"
#include "protocollog/LogPrinter.h"
#include "protocollog/LogSaver.h"
#include "protocollog/LogView.h"
#include "settings/SafeFile.h"

void TPOP3Main::MenuSpeichernClick()
{
    if (!FLog->HasLines())
        return;
    QFileDialog Dialog(this);
    ConfigureSaveDialog(Dialog, FSaveFolder, FSaveFilter, FSaveFileName);
    if (Dialog.exec() != QDialog::Accepted || Dialog.selectedFiles().isEmpty())
        return;
    FSaveFilter = Dialog.selectedNameFilter();
    const QString Path = Dialog.selectedFiles().constFirst();
    FSaveFileName = QFileInfo(Path).fileName();
    SaveLogTo(Path, LogFileTypeForPath(Path, FSaveFilter));
}

bool TPOP3Main::SaveLogTo(const QString& Path, TLogFileType Type)
{
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const QString Problem = SaveLog(*Log, FFixedPitch, Path, Type);
    QApplication::restoreOverrideCursor();
    if (!Problem.isEmpty()) {
        // The log and the remembered folder stay as they were.
        TMessageBox::Error(this, QStringLiteral("Brieflotse - Speichern"), Problem);
        return false;
    }
    FSaveFolder = SaveFolderOf(Path);
    return true;
}

void TPOP3Main::MenuMitschnittClick()
{
    if (FConversation->Transcript().Empty())
        return;
    QFileDialog Dialog(this);
    Dialog.setObjectName(QStringLiteral("TranscriptDialog"));
    Dialog.setWindowTitle(QStringLiteral("Brieflotse - Mitschnitt speichern"));
    Dialog.setAcceptMode(QFileDialog::AcceptSave);
    Dialog.setFileMode(QFileDialog::AnyFile);
    // Qt's own dialog: the choice below goes into its layout.
    Dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    Dialog.setNameFilters({ QStringLiteral("Mitschnitte (*.jsonl)"), QStringLiteral("Alle Dateien (*)") });
    Dialog.setDefaultSuffix(QStringLiteral("jsonl"));
    if (!FSaveFolder.isEmpty())
        Dialog.setDirectory(FSaveFolder);
    Dialog.selectFile(
        FTranscriptFileName.isEmpty() ? QStringLiteral("brieflotse-mitschnitt.jsonl") : FTranscriptFileName);
    // Masked by default, whatever the log shows: a file travels further than a window.
    auto* WithSecrets = new QCheckBox(QStringLiteral("Geheimnisse &mitspeichern (Paßwörter, Tokens)"), &Dialog);
    WithSecrets->setObjectName(QStringLiteral("TranscriptSecrets"));
    if (auto* Grid = qobject_cast<QGridLayout*>(Dialog.layout()))
        Grid->addWidget(WithSecrets, Grid->rowCount(), 0, 1, Grid->columnCount());
    if (Dialog.exec() != QDialog::Accepted || Dialog.selectedFiles().isEmpty())
        return;
    if (WithSecrets->isChecked()
        && !TMessageBox::AskYesNo(this, QStringLiteral("Brieflotse - Geheimnisse mitspeichern"),
            QStringLiteral("Die Datei enthält dann Ihre Paßwörter und Zugangs-Tokens im Klartext, so wie sie "
                           "gesendet wurden. Wer sie lesen kann, kann sich damit in Ihrem Namen anmelden; "
                           "Brieflotse legt sie nur für Sie lesbar an.\n\nDen Mitschnitt trotzdem mit den "
                           "Geheimnissen speichern? Mit \"Nein\" wird nichts gespeichert.")))
        return;
    const QString Path = Dialog.selectedFiles().constFirst();
    if (SaveTranscriptTo(Path, WithSecrets->isChecked()))
        FTranscriptFileName = QFileInfo(Path).fileName();
}

bool TPOP3Main::SaveTranscriptTo(const QString& Path, bool WithSecrets)
{
    const TTranscript& Transcript = FConversation->Transcript();
    const auto Write = [&Transcript, WithSecrets](int Fd) {
        TTranscriptWriter Writer(Fd);
        if (Transcript.Write(Writer, "Brieflotse " BRIEFLOTSE_VERSION, !WithSecrets))
            return 0;
        return Writer.ErrorNumber() ? Writer.ErrorNumber() : EIO;
    };
    QApplication::setOverrideCursor(Qt::WaitCursor);
    // With its secrets the file is the user's alone, whatever it was before.
    const QString Problem = WithSecrets
        ? SafeFile::WriteFileWith(Path, Write, 0600, SafeFile::TModeRule::Fixed)
        : SafeFile::WriteFileWith(Path, Write, SafeFile::DefaultFileMode(), SafeFile::TModeRule::KeepExisting);
    QApplication::restoreOverrideCursor();
    if (!Problem.isEmpty()) {
        TMessageBox::Error(this, QStringLiteral("Brieflotse - Mitschnitt speichern"),
            QStringLiteral("Der Mitschnitt konnte nicht als \"%1\" gespeichert werden.\n\n%2")
                .arg(QDir::toNativeSeparators(Path), Problem));
        return false;
    }
    FSaveFolder = SaveFolderOf(Path);
    return true;
}

void TPOP3Main::MenuDruckenClick()
{
    if (!FLog->HasLines())
        return;
    if (QPrinterInfo::defaultPrinter().isNull())
        return PrintToFile();
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const QString Problem = PrintLog(Log->Store(), Log->font());
    QApplication::restoreOverrideCursor();
    if (!Problem.isEmpty()) {
        TMessageBox::Error(this, QStringLiteral("Brieflotse - Drucken"), Problem);
        return;
    }
    TMessageBox::Information(
        this, QStringLiteral("Brieflotse - Drucken"), QStringLiteral("Das aktuelle Protokoll wurde gedruckt."));
}

// Without a printer the print dialog still prints to a PDF file, so a
// printable copy can always be made.
void TPOP3Main::PrintToFile()
{
    QPrinter Printer(QPrinter::HighResolution);
    Printer.setOutputFormat(QPrinter::PdfFormat);
    const QString Folder = FSaveFolder.isEmpty() ? QDir::homePath() + QLatin1Char('/') : FSaveFolder;
    Printer.setOutputFileName(Folder + QStringLiteral("Brieflotse-Protokoll.pdf"));
    QPrintDialog Dialog(&Printer, this);
    Dialog.setObjectName(QStringLiteral("PrintDialog"));
    Dialog.setWindowTitle(QStringLiteral("Brieflotse - Drucken"));
    if (Dialog.exec() != QDialog::Accepted)
        return;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const QString Problem = PrintLogOn(Log->Store(), Log->font(), Printer);
    QApplication::restoreOverrideCursor();
    if (!Problem.isEmpty()) {
        TMessageBox::Error(this, QStringLiteral("Brieflotse - Drucken"), Problem);
        return;
    }
    const QString Done = Printer.outputFormat() == QPrinter::PdfFormat
        ? QStringLiteral("Das aktuelle Protokoll wurde in die Datei \"%1\" gedruckt.").arg(Printer.outputFileName())
        : QStringLiteral("Das aktuelle Protokoll wurde gedruckt.");
    TMessageBox::Information(this, QStringLiteral("Brieflotse - Drucken"), Done);
}
