#pragma once

// The two file formats of a saved protocol log. Both walk the log's store
// once, line by line.

#include <QByteArray>
#include <QColor>
#include <QFont>

class QIODevice;
class TLogStore;

// Each line followed by CR LF (the last one too), in UTF-8 without a byte
// order mark. A lone CR or LF inside a line is written as CR LF. An empty log
// gives an empty file.
QByteArray LogAsPlainText(const TLogStore& Log);

// RTF 1.x with code page 1252: one font ("MS Sans Serif", or "Courier New"
// when FixedPitch) in the size of Font, a colour table of the colours
// actually used, bold runs and one \par per line (\line for a lone CR or LF).
// Text in AutoColor (the window-text colour) and text without a colour of its
// own are written as the automatic colour.
QByteArray LogAsRtf(
    const TLogStore& Log, bool FixedPitch, const QColor& AutoColor = QColor(), const QFont& Font = QFont());

bool WriteLogAsPlainText(const TLogStore& Log, QIODevice& Out);
bool WriteLogAsRtf(const TLogStore& Log, bool FixedPitch, QIODevice& Out, const QColor& AutoColor = QColor(),
    const QFont& Font = QFont());
