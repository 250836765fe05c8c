#include "app/LogPrinter.h"

#include <QAbstractTextDocumentLayout>
#include <QPainter>
#include <QPrinter>
#include <QPrinterInfo>
#include <QTextDocument>
#include <QTextFrame>

#include <memory>

const char* const LogPrintTitle = "Brieflotse - Protokoll";

namespace {

QString Failed(const QString& Printer, const QString& Reason)
{
    return QStringLiteral("Das Protokoll konnte nicht auf \"%1\" gedruckt werden.\n\n%2").arg(Printer, Reason);
}

} // namespace

QString PrintLog(const QTextDocument& Log)
{
    return PrintLog(Log, QPrinterInfo::defaultPrinter());
}

QString PrintLog(const QTextDocument& Log, const QPrinterInfo& Info)
{
    if (Info.isNull())
        return QStringLiteral("Es ist kein Standarddrucker eingerichtet. Bitte richten Sie einen Drucker ein "
                              "und versuchen Sie es erneut.");
    const QString Name = Info.printerName();
    // A stopped queue would only hold the job; say so now rather than later.
    if (Info.state() == QPrinter::Error)
        return Failed(Name, QStringLiteral("Der Drucker ist angehalten oder meldet einen Fehler."));

    QPrinter Printer(Info, QPrinter::HighResolution);
    Printer.setDocName(QString::fromUtf8(LogPrintTitle));
    if (!Printer.isValid())
        return Failed(Name, QStringLiteral("Der Drucker ist nicht verfügbar."));

    // Lay out a copy for the printer's resolution and pages, keeping the view's
    // document untouched. The layout scales frame lengths from 96 dpi to the
    // device, so the 2 cm margins are given at 96 dpi.
    std::unique_ptr<QTextDocument> Copy(Log.clone());
    Copy->documentLayout()->setPaintDevice(&Printer);
    QTextFrameFormat Frame = Copy->rootFrame()->frameFormat();
    Frame.setMargin(2.0 / 2.54 * 96.0);
    Copy->rootFrame()->setFrameFormat(Frame);
    const QSizeF Page(Printer.width(), Printer.height());
    Copy->setPageSize(Page);

    QPainter Painter;
    if (!Painter.begin(&Printer))
        return Failed(Name, QStringLiteral("Der Druckauftrag konnte nicht begonnen werden."));
    const int Pages = Copy->pageCount();
    for (int Index = 0; Index < Pages; ++Index) {
        if (Index > 0 && !Printer.newPage()) {
            Painter.end();
            return Failed(Name, QStringLiteral("Der Drucker hat eine neue Seite abgelehnt."));
        }
        Painter.save();
        Painter.translate(0, -Index * Page.height());
        QAbstractTextDocumentLayout::PaintContext Context;
        Context.clip = QRectF(QPointF(0, Index * Page.height()), Page);
        // Uncoloured text in black on paper, whatever the screen's palette is.
        Context.palette.setColor(QPalette::Text, Qt::black);
        Copy->documentLayout()->draw(&Painter, Context);
        Painter.restore();
    }
    if (!Painter.end() || Printer.printerState() == QPrinter::Error)
        return Failed(Name, QStringLiteral("Der Druckauftrag wurde nicht angenommen."));
    return QString();
}
