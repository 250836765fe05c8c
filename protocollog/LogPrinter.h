#pragma once

// Printing the protocol log: one job on the default printer, no dialog; or
// on a printer the print dialog set up (a PDF file when there is no printer).

#include <QFont>
#include <QString>

class QPrinter;
class QPrinterInfo;
class TLogStore;

extern const char* const LogPrintTitle; // "Brieflotse - Protokoll"

// Prints the whole log in Font, paginated, lines wider than the page wrapped,
// as one job with the title above. Returns an empty string on success, else
// the German text for the message box.
QString PrintLog(const TLogStore& Log, const QFont& Font = QFont());
QString PrintLog(const TLogStore& Log, const QFont& Font, const QPrinterInfo& Printer);
QString PrintLogOn(const TLogStore& Log, const QFont& Font, QPrinter& Printer);
