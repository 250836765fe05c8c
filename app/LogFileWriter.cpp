#include "app/LogFileWriter.h"

#include <QFont>
#include <QHash>
#include <QIODevice>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextFragment>
#include <QVector>

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

constexpr char16_t LineSeparator = 0x2028;

bool IsBold(const QTextCharFormat& Format)
{
    return Format.fontWeight() > QFont::Medium;
}

void AppendHex(QByteArray& Out, int Byte)
{
    static const char Digits[] = "0123456789abcdef";
    Out += "\\'";
    Out += Digits[(Byte >> 4) & 0xF];
    Out += Digits[Byte & 0xF];
}

// Appends one run of log text, escaped for RTF.
void AppendRtfText(QByteArray& Out, const QString& Text)
{
    for (const QChar Ch : Text) {
        const char16_t C = Ch.unicode();
        if (C == '\\' || C == '{' || C == '}') {
            Out += '\\';
            Out += char(C);
        } else if (C == '\t') {
            Out += "\\tab ";
        } else if (C == LineSeparator) {
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

int RtfFontSize(const QTextDocument& Log)
{
    const QFont Font = Log.defaultFont();
    qreal Points = Font.pointSizeF();
    if (Points <= 0 && Font.pixelSize() > 0)
        Points = Font.pixelSize() * 72.0 / 96.0;
    if (Points <= 0)
        Points = 8;
    return qRound(Points * 2); // half points
}

} // namespace

QByteArray LogAsPlainText(const QTextDocument& Log)
{
    QByteArray Out;
    if (Log.isEmpty())
        return Out;
    Out.reserve(Log.characterCount() + Log.blockCount() + 16);
    for (QTextBlock Block = Log.begin(); Block.isValid(); Block = Block.next()) {
        const QString Text = Block.text();
        for (qsizetype I = 0; I < Text.size(); ++I) {
            const char16_t C = Text.at(I).unicode();
            if (C == LineSeparator) {
                Out += "\r\n";
            } else if (const int Byte = ToCp1252(C); Byte >= 0) {
                Out += char(Byte);
            } else {
                Out += '?';
                // One "?" for a character written with two UTF-16 units.
                if (QChar::isHighSurrogate(C) && I + 1 < Text.size() && Text.at(I + 1).isLowSurrogate())
                    ++I;
            }
        }
        Out += "\r\n";
    }
    return Out;
}

QByteArray LogAsRtf(const QTextDocument& Log, bool FixedPitch, const QColor& AutoColor)
{
    // The colour table precedes the text, so the body is built first while the
    // colours are collected.
    QVector<QRgb> Colours;
    QHash<QRgb, int> ColourIndex;
    const auto IndexOf = [&](const QTextCharFormat& Format) {
        if (!Format.hasProperty(QTextFormat::ForegroundBrush))
            return 0;
        const QBrush Brush = Format.foreground();
        if (Brush.style() == Qt::NoBrush || !Brush.color().isValid())
            return 0;
        const QRgb Rgb = Brush.color().rgb();
        if (AutoColor.isValid() && Rgb == AutoColor.rgb())
            return 0;
        auto Found = ColourIndex.constFind(Rgb);
        if (Found != ColourIndex.constEnd())
            return *Found;
        Colours.append(Rgb);
        ColourIndex.insert(Rgb, int(Colours.size()));
        return int(Colours.size());
    };

    QByteArray Body;
    if (!Log.isEmpty()) {
        Body.reserve(Log.characterCount() * 11 / 10 + Log.blockCount() * 8 + 64);
        int CurrentColour = 0;
        bool CurrentBold = false;
        for (QTextBlock Block = Log.begin(); Block.isValid(); Block = Block.next()) {
            for (auto It = Block.begin(); !It.atEnd(); ++It) {
                const QTextFragment Fragment = It.fragment();
                if (!Fragment.isValid())
                    continue;
                const QTextCharFormat Format = Fragment.charFormat();
                const int Colour = IndexOf(Format);
                const bool Bold = IsBold(Format);
                if (Colour != CurrentColour) {
                    Body += "\\cf" + QByteArray::number(Colour) + ' ';
                    CurrentColour = Colour;
                }
                if (Bold != CurrentBold) {
                    Body += Bold ? "\\b " : "\\b0 ";
                    CurrentBold = Bold;
                }
                AppendRtfText(Body, Fragment.text());
            }
            Body += "\\par\r\n";
        }
    }

    QByteArray Out;
    Out.reserve(Body.size() + 256 + Colours.size() * 32);
    Out += "{\\rtf1\\ansi\\ansicpg1252\\deff0\\deflang1031";
    Out += FixedPitch ? "{\\fonttbl{\\f0\\fmodern\\fprq1\\fcharset0 Courier New;}}\r\n"
                      : "{\\fonttbl{\\f0\\fswiss\\fprq2\\fcharset0 MS Sans Serif;}}\r\n";
    Out += "{\\colortbl ;";
    for (const QRgb Rgb : Colours) {
        Out += "\\red" + QByteArray::number(qRed(Rgb)) + "\\green" + QByteArray::number(qGreen(Rgb)) + "\\blue"
            + QByteArray::number(qBlue(Rgb)) + ';';
    }
    Out += "}\r\n";
    Out += "\\viewkind4\\uc1\\pard\\f0\\fs" + QByteArray::number(RtfFontSize(Log)) + ' ';
    Out += Body;
    Out += "}\r\n";
    return Out;
}

bool WriteLogAsPlainText(const QTextDocument& Log, QIODevice& Out)
{
    const QByteArray Data = LogAsPlainText(Log);
    return Out.write(Data) == Data.size();
}

bool WriteLogAsRtf(const QTextDocument& Log, bool FixedPitch, QIODevice& Out, const QColor& AutoColor)
{
    const QByteArray Data = LogAsRtf(Log, FixedPitch, AutoColor);
    return Out.write(Data) == Data.size();
}
