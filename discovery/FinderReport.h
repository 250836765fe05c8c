#pragma once

// The finder's report for the terminal: JSON in the shape the README
// documents, or German text.

#include <string>

#include "discovery/FinderTypes.h"

std::string FinderJson(const TFinderReport& Report);
std::string FinderText(const TFinderReport& Report);
// 0 a POP3 server found, 1 none, 2 the search was stopped or every source failed.
int FinderExitCode(const TFinderReport& Report);
