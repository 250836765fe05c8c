#include "tests/practice/ToolRun.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "tests/support/TempDir.h"

extern char** environ;

namespace {

std::string ReadAll(const std::string& Path)
{
    std::ifstream File(Path, std::ios::binary);
    std::ostringstream Text;
    Text << File.rdbuf();
    return Text.str();
}

} // namespace

bool ToolInstalled(const std::string& Program)
{
    return ::access(("/usr/bin/" + Program).c_str(), X_OK) == 0 || ::access(("/bin/" + Program).c_str(), X_OK) == 0;
}

TToolResult RunTool(
    const std::vector<std::string>& Arguments, int TimeoutMs, const std::vector<std::string>& ExtraEnvironment)
{
    TempDir Dir;
    const std::string OutPath = Dir.file("stdout");
    const std::string ErrPath = Dir.file("stderr");
    std::vector<std::string> Environment;
    for (char** Each = environ; *Each; ++Each)
        Environment.emplace_back(*Each);
    Environment.insert(Environment.end(), ExtraEnvironment.begin(), ExtraEnvironment.end());
    std::vector<char*> Argv, Envp;
    for (const std::string& Each : Arguments)
        Argv.push_back(const_cast<char*>(Each.c_str()));
    Argv.push_back(nullptr);
    for (const std::string& Each : Environment)
        Envp.push_back(const_cast<char*>(Each.c_str()));
    Envp.push_back(nullptr);

    TToolResult Result;
    const pid_t Child = ::fork();
    if (Child == 0) {
        const int In = ::open("/dev/null", O_RDONLY);
        const int Out = ::open(OutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int Err = ::open(ErrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(In, 0);
        ::dup2(Out, 1);
        ::dup2(Err, 2);
        ::setpgid(0, 0);
        ::execvpe(Argv[0], Argv.data(), Envp.data());
        ::_exit(127);
    }
    if (Child < 0)
        return Result;
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    int Status = 0;
    for (;;) {
        if (::waitpid(Child, &Status, WNOHANG) == Child)
            break;
        if (std::chrono::steady_clock::now() >= Deadline) {
            ::kill(-Child, SIGKILL);
            ::kill(Child, SIGKILL);
            ::waitpid(Child, &Status, 0);
            Result.Output = ReadAll(OutPath);
            Result.Errors = ReadAll(ErrPath) + "\n(killed at the deadline)";
            return Result;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Result.Status = WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
    Result.Output = ReadAll(OutPath);
    Result.Errors = ReadAll(ErrPath);
    return Result;
}
