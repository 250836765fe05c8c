#include "protocollog/LogFileWriter.h"

#include <QHash>
#include <QIODevice>
#include <QVector>

#include "protocollog/LogLine.h"
#include "protocollog/LogStore.h"

namespace {

// Unicode values of the Windows-1252 bytes 0x80..0x9F; 0 where the byte is unassigned.
constexpr char16_t Cp1252High[32] = { 0x20AC, 0, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0, 0x017D, 0, 0, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x02DC, 0x2122, 0x0161,
    0x203A, 0x0153, 0, 0x017E, 0x0178 };

// The Windows-1252 byte of a UTF-16 unit, or -1 when the code page lacks it.
int ToCp1252(char16_t C)
{
    if (C < 0x80 || (C >= 0xA0 && C <= 0xFF))
        return C;
    for (int I = 0; I < 32; ++I)
        if (Cp1252High[I] != 0 && Cp1252High[I] == C)
            return 0x80 + I;
    return -1;
}

// A lone CR or LF stays inside its log line: a line break within the line.
bool IsBreakInLine(char16_t C)
{
    return C == '\r' || C == '\n';
}

void AppendHex(QByteArray& Out, int Byte)
{
    static const char Digits[] = "0123456789abcdef";
    Out += "\\'";
    Out += Digits[(Byte >> 4) & 0xF];
    Out += Digits[Byte & 0xF];
}

// Appends one run of log text, escaped for RTF.
void AppendRtfText(QByteArray& Out, QStringView Text)
{
    for (const QChar Ch : Text) {
        const char16_t C = Ch.unicode();
        if (C == '\\' || C == '{' || C == '}') {
            Out += '\\';
            Out += char(C);
        } else if (C == '\t') {
            Out += "\\tab ";
        } else if (IsBreakInLine(C)) {
            Out += "\\line ";
        } else if (C < 0x20) {
            // The log shows control characters as blanks; so does the file.
            Out += ' ';
        } else if (C < 0x7F) {
            Out += char(C);
        } else if (const int Byte = ToCp1252(C); Byte >= 0) {
            AppendHex(Out, Byte);
        } else {
            // Signed 16-bit value, then "?" for readers without Unicode (\uc1).
            Out += "\\u";
            Out += QByteArray::number(C > 0x7FFF ? int(C) - 0x10000 : int(C));
            Out += '?';
        }
    }
}

int RtfFontSize(const QFont& Font)
{
    qreal Points = Font.pointSizeF();
    if (Points <= 0 && Font.pixelSize() > 0)
        Points = Font.pixelSize() * 72.0 / 96.0;
    if (Points <= 0)
        Points = 8;
    return qRound(Points * 2); // half points
}

} // namespace

QByteArray LogAsPlainText(const TLogStore& Log)
{
    QByteArray Out;
    if (Log.Empty())
        return Out;
    Out.reserve(static_cast<qsizetype>(Log.ByteCount() + 2 * Log.LineCount()));
    TLogLineText Line;
    for (size_t Index = 0; Index < Log.LineCount(); ++Index) {
        ReadLogLine(Log, Index, 0, LogLineLength(Log, Index), Line);
        const QStringView Text(Line.Text);
        qsizetype Start = 0;
        for (qsizetype I = 0; I < Text.size(); ++I) {
            if (IsBreakInLine(Text.at(I).unicode())) {
                Out += Text.mid(Start, I - Start).toUtf8();
                Out += "\r\n";
                Start = I + 1;
            }
        }
        Out += Text.mid(Start).toUtf8();
        Out += "\r\n";
    }
    return Out;
}

QByteArray LogAsRtf(const TLogStore& Log, bool FixedPitch, const QColor& AutoColor, const QFont& Font)
{
    // The colour table precedes the text: the runs, in order, name the colours
    // in the order the text first uses them.
    QVector<QRgb> Colours;
    QHash<QRgb, int> ColourIndex;
    const auto IndexOf = [&](const TLogStyle& Style) {
        if (!Style.Coloured())
            return 0;
        const QRgb Rgb = QColor::fromRgba(Style.Colour).rgb();
        if (AutoColor.isValid() && Rgb == AutoColor.rgb())
            return 0;
        auto Found = ColourIndex.constFind(Rgb);
        if (Found != ColourIndex.constEnd())
            return *Found;
        Colours.append(Rgb);
        ColourIndex.insert(Rgb, int(Colours.size()));
        return int(Colours.size());
    };
    for (size_t Run = 0; Run < Log.RunCount(); ++Run)
        if (Log.RunEnd(Run) > Log.Run(Run).Start)
            IndexOf(Log.Run(Run).Style);

    QByteArray Out;
    Out.reserve(static_cast<qsizetype>(Log.ByteCount() * 11 / 10 + Log.LineCount() * 8 + 256 + Colours.size() * 32));
    Out += "{\\rtf1\\ansi\\ansicpg1252\\deff0\\deflang1031";
    Out += FixedPitch ? "{\\fonttbl{\\f0\\fmodern\\fprq1\\fcharset0 Courier New;}}\r\n"
                      : "{\\fonttbl{\\f0\\fswiss\\fprq2\\fcharset0 MS Sans Serif;}}\r\n";
    Out += "{\\colortbl ;";
    for (const QRgb Rgb : Colours) {
        Out += "\\red" + QByteArray::number(qRed(Rgb)) + "\\green" + QByteArray::number(qGreen(Rgb)) + "\\blue"
            + QByteArray::number(qBlue(Rgb)) + ';';
    }
    Out += "}\r\n";
    Out += "\\viewkind4\\uc1\\pard\\f0\\fs" + QByteArray::number(RtfFontSize(Font)) + ' ';

    int CurrentColour = 0;
    bool CurrentBold = false;
    TLogLineText Line;
    for (size_t Index = 0; Index < Log.LineCount(); ++Index) {
        ReadLogLine(Log, Index, 0, LogLineLength(Log, Index), Line);
        for (const TLogSpan& Span : Line.Spans) {
            const int Colour = IndexOf(Span.Style);
            const bool Bold = Span.Style.Bold();
            if (Colour != CurrentColour) {
                Out += "\\cf" + QByteArray::number(Colour) + ' ';
                CurrentColour = Colour;
            }
            if (Bold != CurrentBold) {
                Out += Bold ? "\\b " : "\\b0 ";
                CurrentBold = Bold;
            }
            AppendRtfText(Out, QStringView(Line.Text).mid(Span.Start, Span.Length));
        }
        Out += "\\par\r\n";
    }
    Out += "}\r\n";
    return Out;
}

bool WriteLogAsPlainText(const TLogStore& Log, QIODevice& Out)
{
    const QByteArray Data = LogAsPlainText(Log);
    return Out.write(Data) == Data.size();
}

bool WriteLogAsRtf(const TLogStore& Log, bool FixedPitch, QIODevice& Out, const QColor& AutoColor, const QFont& Font)
{
    const QByteArray Data = LogAsRtf(Log, FixedPitch, AutoColor, Font);
    return Out.write(Data) == Data.size();
}
