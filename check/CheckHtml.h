#pragma once

// The server check's report as one self-contained HTML file (styles inside,
// no scripts, nothing fetched), readable offline and printable: the summary
// on top, the facts per address and port, then each finding. Also the source
// for the PDF, which Qt's text layout makes from the same HTML.

#include <string>

#include "check/CheckReport.h"

std::string ReportHtml(const TCheckReport& Report);
