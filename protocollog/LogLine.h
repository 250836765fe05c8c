#pragma once

// One line of the log store as text for painting, copying and saving: the
// characters of a column range and their style spans.

#include <QString>
#include <vector>

#include "protocollog/LogStore.h"

struct TLogSpan {
    qsizetype Start = 0; // in Text
    qsizetype Length = 0;
    TLogStyle Style;
};

struct TLogLineText {
    QString Text; // as stored: a lone CR or LF stays in its line
    std::vector<TLogSpan> Spans;
};

// Length of a line in characters (UTF-16 units).
qsizetype LogLineLength(const TLogStore& Store, size_t Line);

// Characters [From, To) of Line, clamped to the line; Out is reused.
void ReadLogLine(const TLogStore& Store, size_t Line, qsizetype From, qsizetype To, TLogLineText& Out);
inline TLogLineText ReadLogLine(const TLogStore& Store, size_t Line)
{
    TLogLineText Out;
    ReadLogLine(Store, Line, 0, LogLineLength(Store, Line), Out);
    return Out;
}
