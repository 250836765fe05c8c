#pragma once

// The server check's report as JSON, in the stable shape the README
// documents. No secret is in the report, so none is in the JSON.

#include <string>

#include "check/CheckReport.h"

std::string ReportJson(const TCheckReport& Report);
