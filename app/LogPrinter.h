#pragma once

// Printing the protocol log: one job on the default printer, no dialog.

#include <QString>

class QPrinterInfo;
class QTextDocument;

extern const char* const LogPrintTitle; // "Brieflotse - Protokoll"

// Prints the whole log, paginated, as one job with the title above. Returns an
// empty string on success, else the German text for the message box.
QString PrintLog(const QTextDocument& Log);
QString PrintLog(const QTextDocument& Log, const QPrinterInfo& Printer);
