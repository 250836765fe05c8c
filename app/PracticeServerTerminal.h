#pragma once

// "brieflotse --practice-server": the practice server alone, in the terminal,
// for any client. No application object and no display: it prints where it
// listens and how to log in, then runs until SIGINT or SIGTERM.

#include "app/CommandLine.h"

// Returns the program's exit code: 0 after a signal, 1 when it could not start.
int RunPracticeServerInTerminal(const TCommandLine& Line);
