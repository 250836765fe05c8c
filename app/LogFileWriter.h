#pragma once

// The two file formats of a saved protocol log. Both walk the document once,
// block by block; every block is one log line.

#include <QByteArray>
#include <QColor>

class QIODevice;
class QTextDocument;

// Each line followed by CR LF (the last one too), in Windows-1252; characters
// outside that code page become "?". An empty log gives an empty file.
QByteArray LogAsPlainText(const QTextDocument& Log);

// RTF 1.x with code page 1252: one font ("MS Sans Serif", or "Courier New"
// when FixedPitch), a colour table of the colours actually used, bold runs and
// one \par per line. Text in AutoColor (the window-text colour) and text
// without a colour of its own are written as the automatic colour.
QByteArray LogAsRtf(const QTextDocument& Log, bool FixedPitch, const QColor& AutoColor = QColor());

bool WriteLogAsPlainText(const QTextDocument& Log, QIODevice& Out);
bool WriteLogAsRtf(const QTextDocument& Log, bool FixedPitch, QIODevice& Out, const QColor& AutoColor = QColor());
