#pragma once

// Runs a client program no one here wrote (curl, python3, fetchmail) against
// the practice server: arguments as given, no shell, standard output into a
// string, killed at a deadline.

#include <string>
#include <vector>

struct TToolResult {
    int Status = -1; // exit status; -1 when it was killed or could not start
    std::string Output; // standard output
    std::string Errors; // standard error
};

TToolResult RunTool(const std::vector<std::string>& Arguments, int TimeoutMs = 30000,
    const std::vector<std::string>& ExtraEnvironment = {});
// True when Program is found in /usr/bin or /bin.
bool ToolInstalled(const std::string& Program);
