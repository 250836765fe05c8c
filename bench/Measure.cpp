#include "bench/Measure.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

double SecondsSince(BenchClock::time_point Start)
{
    return std::chrono::duration<double>(BenchClock::now() - Start).count();
}

double ProcessCpuSeconds()
{
    timespec Now {};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &Now);
    return static_cast<double>(Now.tv_sec) + static_cast<double>(Now.tv_nsec) / 1e9;
}

double Median(std::vector<double> Values)
{
    if (Values.empty())
        return -1;
    std::sort(Values.begin(), Values.end());
    const size_t Middle = Values.size() / 2;
    return Values.size() % 2 ? Values[Middle] : (Values[Middle - 1] + Values[Middle]) / 2;
}

long StatusKb(const char* Field)
{
    std::ifstream Status("/proc/self/status");
    std::string Line;
    const size_t Length = std::strlen(Field);
    while (std::getline(Status, Line))
        if (Line.compare(0, Length, Field) == 0 && Line.size() > Length && Line[Length] == ':')
            return std::stol(Line.substr(Length + 1));
    return -1;
}

bool ResetPeakResident()
{
    // "5" resets the peak resident set size (Linux 4.0 and later).
    std::ofstream ClearRefs("/proc/self/clear_refs");
    ClearRefs << "5";
    ClearRefs.flush();
    return static_cast<bool>(ClearRefs);
}

double TimeCommand(const std::vector<std::string>& Arguments)
{
    std::vector<char*> Argv;
    for (const std::string& Argument : Arguments)
        Argv.push_back(const_cast<char*>(Argument.c_str()));
    Argv.push_back(nullptr);

    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_addopen(&Actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&Actions, 2, "/dev/null", O_WRONLY, 0);
    const auto Start = BenchClock::now();
    pid_t Child = -1;
    const int Failed = ::posix_spawnp(&Child, Argv[0], &Actions, nullptr, Argv.data(), environ);
    posix_spawn_file_actions_destroy(&Actions);
    if (Failed)
        return -1;
    int Status = 0;
    if (::waitpid(Child, &Status, 0) != Child)
        return -1;
    const double Seconds = SecondsSince(Start);
    return WIFEXITED(Status) && WEXITSTATUS(Status) == 0 ? Seconds : -1;
}

void PrintResult(const std::string& Key, double Value)
{
    std::printf("RESULT %s %.6g\n", Key.c_str(), Value);
    std::fflush(stdout);
}
