#pragma once

// Clocks, memory figures and peer commands for the benchmark drivers. No Qt.

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

using BenchClock = std::chrono::steady_clock;

double SecondsSince(BenchClock::time_point Start);
double ProcessCpuSeconds();
double Median(std::vector<double> Values);

// Kilobytes from /proc/self/status ("VmRSS", "VmHWM"); -1 when unreadable.
long StatusKb(const char* Field);
// Lets VmHWM start again from the current resident size; false when the
// kernel does not allow it.
bool ResetPeakResident();

// Runs a peer program with its output thrown away and returns its wall time
// in seconds, or -1 when it could not be run or failed.
double TimeCommand(const std::vector<std::string>& Arguments);

// One result line for bench/run.sh: "RESULT <key> <value>".
void PrintResult(const std::string& Key, double Value);
