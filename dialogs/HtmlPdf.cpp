#include "dialogs/HtmlPdf.h"

#include <QBuffer>
#include <QPageSize>
#include <QPdfWriter>
#include <QTextDocument>

QByteArray HtmlAsPdf(const std::string& Html, const QString& Title)
{
    QByteArray Pdf;
    QBuffer Buffer(&Pdf);
    Buffer.open(QIODevice::WriteOnly);
    {
        // The writer finishes the file when it goes.
        QPdfWriter Writer(&Buffer);
        Writer.setPageSize(QPageSize(QPageSize::A4));
        Writer.setTitle(Title);
        QTextDocument Document;
        Document.setHtml(QString::fromStdString(Html));
        Document.print(&Writer);
    }
    return Pdf;
}
