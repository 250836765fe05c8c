#pragma once

// "brieflotse --check HOST[:PORT]": the server check in the terminal, without
// a display. The report goes to standard output as German text or as JSON;
// progress goes to standard error when that is a terminal. Ctrl+C stops the
// check, which then reports what it found so far.

#include "app/CommandLine.h"

// The exit code: 0 all good, 1 warnings only, 2 a failure or nothing
// reached, 64 wrong usage (a password expected on standard input but none).
int RunServerCheckInTerminal(const TCommandLine& Line);
