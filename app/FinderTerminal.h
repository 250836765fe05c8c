#pragma once

// "brieflotse --find ADDRESS-OR-DOMAIN [--json]": the address finder in the
// terminal, without a display. Each source's row goes to standard error as it
// arrives when that is a terminal; the report goes to standard output as
// German text or as JSON. Ctrl+C stops every source, and what was found so
// far is reported.

#include "app/CommandLine.h"

// The exit code: 0 a POP3 server found, 1 none found, 2 stopped or every
// source failed (wrong usage, 64, is refused by the command line already).
int RunFinderInTerminal(const TCommandLine& Line);
