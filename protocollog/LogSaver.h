#pragma once

// Saving the protocol log: the file types of the save dialog, and the write
// itself, which never leaves a half-written file under the chosen name.

#include <QColor>
#include <QFont>
#include <QString>

class QFileDialog;
class TLogStore;
class TLogView;

enum class TLogFileType { RichText, PlainText };

extern const char* const RtfFilter; // "Rich Text Format (*.rtf)"
extern const char* const TxtFilter; // "Textdateien (*.txt)"

// Title, the two file types, the default extension that follows the selected
// type, overwrite confirmation and the initial folder (left to the dialog when
// empty). SelectedFilter and FileName restore the previous opening's choice;
// without them rich text is selected and the name is empty.
void ConfigureSaveDialog(QFileDialog& Dialog, const QString& InitialFolder, const QString& SelectedFilter = QString(),
    const QString& FileName = QString());

// Plain text only for the "Textdateien" entry; anything else is rich text.
TLogFileType LogFileTypeForFilter(const QString& SelectedFilter);

// A name typed with ".txt" or ".rtf" decides the format; otherwise the type.
TLogFileType LogFileTypeForPath(const QString& Path, const QString& SelectedFilter);

// The extension without dot that a name typed without one receives.
QString DefaultSuffixForFilter(const QString& SelectedFilter);

// The folder part of a saved file's path, with its trailing separator.
QString SaveFolderOf(const QString& FilePath);

// Puts Data under Path through the program's safe writer (SafeFile): an
// existing file keeps its permissions, a link of the user's own keeps pointing
// to the file it names; pipes, devices and other users' links are refused.
// Returns an empty string on success, else the reason.
QString WriteFileSafely(const QString& Path, const QByteArray& Data);

// Saves the log; returns an empty string on success, else the German text for
// the message box, with the system's reason.
QString SaveLog(const TLogStore& Log, bool FixedPitch, const QString& Path, TLogFileType Type,
    const QColor& WindowText = QColor(), const QFont& Font = QFont());
// The same for the log view: its window-text colour is written as automatic,
// its font gives the size.
QString SaveLog(const TLogView& Log, bool FixedPitch, const QString& Path, TLogFileType Type);
