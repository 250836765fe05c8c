#include "protocollog/LogPrinter.h"

#include <QPainter>
#include <QPrinter>
#include <QPrinterInfo>
#include <QTextLayout>

#include "protocollog/LogLine.h"
#include "protocollog/LogStore.h"

const char* const LogPrintTitle = "Brieflotse - Protokoll";

namespace {

QString Failed(const QString& Printer, const QString& Reason)
{
    return QStringLiteral("Das Protokoll konnte nicht auf \"%1\" gedruckt werden.\n\n%2").arg(Printer, Reason);
}

} // namespace

QString PrintLog(const TLogStore& Log, const QFont& Font)
{
    return PrintLog(Log, Font, QPrinterInfo::defaultPrinter());
}

QString PrintLog(const TLogStore& Log, const QFont& Font, const QPrinterInfo& Info)
{
    if (Info.isNull())
        return QStringLiteral("Es ist kein Standarddrucker eingerichtet. Bitte richten Sie einen Drucker ein "
                              "und versuchen Sie es erneut.");
    const QString Name = Info.printerName();
    // A stopped queue would only hold the job; say so now rather than later.
    if (Info.state() == QPrinter::Error)
        return Failed(Name, QStringLiteral("Der Drucker ist angehalten oder meldet einen Fehler."));

    QPrinter Printer(Info, QPrinter::HighResolution);
    return PrintLogOn(Log, Font, Printer);
}

QString PrintLogOn(const TLogStore& Log, const QFont& Font, QPrinter& Printer)
{
    const QString Name
        = Printer.outputFormat() == QPrinter::PdfFormat ? Printer.outputFileName() : Printer.printerName();
    Printer.setDocName(QString::fromUtf8(LogPrintTitle));
    if (!Printer.isValid())
        return Failed(Name, QStringLiteral("Der Drucker ist nicht verfügbar."));

    QPainter Painter;
    if (!Painter.begin(&Printer))
        return Failed(Name, QStringLiteral("Der Druckauftrag konnte nicht begonnen werden."));
    // 2 cm margins; the lines are laid out one by one for the printer's
    // resolution, read from the store as they are printed.
    const qreal Margin = 2.0 / 2.54 * Printer.resolution();
    const QRectF Page(Margin, Margin, Printer.width() - 2 * Margin, Printer.height() - 2 * Margin);
    const QFont PrinterFont(Font, &Printer);
    QTextOption Wrapping;
    Wrapping.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    qreal Y = Page.top();
    TLogLineText Line;
    for (size_t Index = 0; Index < Log.LineCount(); ++Index) {
        ReadLogLine(Log, Index, 0, LogLineLength(Log, Index), Line);
        QList<QTextLayout::FormatRange> Formats;
        for (const TLogSpan& Span : Line.Spans) {
            QTextLayout::FormatRange Range;
            Range.start = static_cast<int>(Span.Start);
            Range.length = static_cast<int>(Span.Length);
            // Uncoloured text in black on paper, whatever the screen's palette is.
            Range.format.setForeground(Span.Style.Coloured() ? QColor::fromRgba(Span.Style.Colour) : QColor(Qt::black));
            if (Span.Style.Bold())
                Range.format.setFontWeight(QFont::Bold);
            Formats.append(Range);
        }
        // A lone CR or LF breaks the printed line, as it did in the view.
        Line.Text.replace(QLatin1Char('\r'), QChar::LineSeparator).replace(QLatin1Char('\n'), QChar::LineSeparator);
        QTextLayout Layout(Line.Text, PrinterFont, &Printer);
        Layout.setTextOption(Wrapping);
        Layout.setFormats(Formats);
        Layout.beginLayout();
        for (QTextLine Row = Layout.createLine(); Row.isValid(); Row = Layout.createLine())
            Row.setLineWidth(Page.width());
        Layout.endLayout();
        for (int Row = 0; Row < Layout.lineCount(); ++Row) {
            const QTextLine Text = Layout.lineAt(Row);
            if (Y + Text.height() > Page.bottom() && Y > Page.top()) {
                if (!Printer.newPage()) {
                    Painter.end();
                    return Failed(Name, QStringLiteral("Der Drucker hat eine neue Seite abgelehnt."));
                }
                Y = Page.top();
            }
            Text.draw(&Painter, QPointF(Page.left(), Y - Text.y()));
            Y += Text.height();
        }
    }
    if (!Painter.end() || Printer.printerState() == QPrinter::Error)
        return Failed(Name, QStringLiteral("Der Druckauftrag wurde nicht angenommen."));
    return QString();
}
