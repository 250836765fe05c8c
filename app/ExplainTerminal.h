#pragma once

// "brieflotse --explain FILE [--json]": what a saved message is made of, in
// the terminal, without a display: header fields, Received chain,
// authentication results and MIME tree as German text or as JSON.

#include "app/CommandLine.h"

// The exit code: 0 when the file is a message, 1 when it is none or cannot
// be read.
int RunExplainInTerminal(const TCommandLine& Line);
