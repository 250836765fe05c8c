#pragma once

// HTML laid out on A4 pages by Qt's text layout, as the bytes of a PDF: the
// server check's report goes to PDF this way from the window and from the
// terminal. Needs an application object for the fonts.

#include <QByteArray>
#include <QString>
#include <string>

QByteArray HtmlAsPdf(const std::string& Html, const QString& Title);
