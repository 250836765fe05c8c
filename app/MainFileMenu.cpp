// The "&Datei" entries of the main window: saving and printing the log.

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>

#include "app/BrieflotseMain.h"
#include "app/LogPrinter.h"
#include "app/LogSaver.h"
#include "conversation/LogView.h"
#include "dialogs/MessageBox.h"

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
