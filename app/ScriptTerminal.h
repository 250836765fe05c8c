#pragma once

// "brieflotse --script FILE [SERVER]": a script of POP3 lines and
// expectations run without a display. The conversation is the window's own
// (the same engine, the same log texts); it goes to standard output, in
// colour on a terminal. The script is checked whole before anything connects.

#include "app/CommandLine.h"

// Exit codes: 0 every expectation held, 1 one did not (the run stops there),
// 2 a connection failed, was lost, refused or stopped (Ctrl+C), 64 a wrong
// script or no password where one is needed.
int RunScriptInTerminal(const TCommandLine& Line);
