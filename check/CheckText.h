#pragma once

// The server check's report as German text for the terminal: the summary on
// top, then each finding with its verdict, explanation and details.

#include <string>

#include "check/CheckReport.h"

std::string ReportText(const TCheckReport& Report);
// "Gesamturteil: Warnung (14 gut, 2 Hinweise, 1 Warnung, 0 Fehler)"
std::string SummaryLine(const TCheckReport& Report);
