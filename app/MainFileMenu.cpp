// The "&Datei" entries of the main window: saving and printing the log.

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QPrintDialog>
#include <QPrinter>
#include <QPrinterInfo>

#include "app/BrieflotseMain.h"
#include "dialogs/MessageBox.h"
#include "protocollog/LogPrinter.h"
#include "protocollog/LogSaver.h"
#include "protocollog/LogView.h"

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
