#include "tests/e2e/X11Session.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point Deadline)
{
    const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - Clock::now()).count();
    return Left < 0 ? 0 : static_cast<int>(Left);
}

bool InPath(const std::string& Name)
{
    const char* Path = std::getenv("PATH");
    std::stringstream Folders(Path ? Path : "/usr/bin:/bin");
    std::string Folder;
    while (std::getline(Folders, Folder, ':')) {
        if (!Folder.empty() && ::access((Folder + "/" + Name).c_str(), X_OK) == 0)
            return true;
    }
    return false;
}

std::vector<char*> Pointers(std::vector<std::string>& Strings)
{
    std::vector<char*> Result;
    for (std::string& Text : Strings)
        Result.push_back(Text.data());
    Result.push_back(nullptr);
    return Result;
}

// The environment of the tools: ours, on the session's display (none: no
// display), with a UTF-8 locale so that xdotool reads the text it types as UTF-8.
std::vector<std::string> ToolEnvironment(const std::string& Display)
{
    std::vector<std::string> Result;
    for (char** Entry = environ; *Entry; ++Entry) {
        const std::string Text = *Entry;
        const std::string Name = Text.substr(0, Text.find('='));
        if (Name != "DISPLAY" && Name != "XAUTHORITY" && Name != "LC_ALL")
            Result.push_back(Text);
    }
    if (!Display.empty())
        Result.push_back("DISPLAY=" + Display);
    Result.push_back("LC_ALL=C.UTF-8");
    return Result;
}

// In the child between fork and exec: only async-signal-safe calls. The child
// leads its own process group and gets SIGKILL when the test process dies.
[[noreturn]] void ExecChild(
    char** Argv, char** Envp, const char* Folder, int Stdout, int Stderr, int PassFd, pid_t Parent)
{
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != Parent)
        ::_exit(127);
    const int Null = ::open("/dev/null", O_RDWR);
    ::dup2(Null, STDIN_FILENO);
    ::dup2(Stdout >= 0 ? Stdout : Null, STDOUT_FILENO);
    ::dup2(Stderr >= 0 ? Stderr : Null, STDERR_FILENO);
    if (PassFd >= 0) {
        if (PassFd == 3)
            ::fcntl(3, F_SETFD, 0);
        else
            ::dup2(PassFd, 3);
    }
    if (Folder && ::chdir(Folder) != 0)
        ::_exit(127);
    ::execvpe(Argv[0], Argv, Envp);
    ::_exit(127);
}

} // namespace

// ---------------------------------------------------------------------------
// ChildProcess

ChildProcess::~ChildProcess()
{
    Stop();
}

bool ChildProcess::Start(const std::vector<std::string>& Args, const std::vector<std::string>& Environment,
    const std::string& Folder, const std::string& OutputFile, std::string* Error, int PassFd)
{
    Stop();
    std::vector<std::string> ArgStrings = Args;
    std::vector<std::string> EnvStrings = Environment;
    std::vector<char*> Argv = Pointers(ArgStrings);
    std::vector<char*> Envp = Pointers(EnvStrings);
    const int Output = ::open(OutputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (Output < 0) {
        if (Error)
            *Error = "cannot open " + OutputFile + ": " + std::strerror(errno);
        return false;
    }
    const pid_t Parent = ::getpid();
    const pid_t Pid = ::fork();
    if (Pid == 0)
        ExecChild(Argv.data(), Envp.data(), Folder.empty() ? nullptr : Folder.c_str(), Output, Output, PassFd, Parent);
    ::close(Output);
    if (Pid < 0) {
        if (Error)
            *Error = std::string("fork failed: ") + std::strerror(errno);
        return false;
    }
    // Also here, so that a signal to the group cannot come before the child set it.
    ::setpgid(Pid, Pid);
    Pid_ = Pid;
    return true;
}

bool ChildProcess::Running()
{
    if (Pid_ <= 0)
        return false;
    // WNOWAIT leaves an ended child unreaped: its id cannot be reused before Stop().
    siginfo_t Info {};
    if (::waitid(P_PID, static_cast<id_t>(Pid_), &Info, WEXITED | WNOHANG | WNOWAIT) != 0)
        return false;
    return Info.si_pid == 0;
}

bool ChildProcess::WaitExit(int Milliseconds)
{
    const auto Deadline = Clock::now() + std::chrono::milliseconds(Milliseconds);
    while (Running()) {
        if (Clock::now() >= Deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

void ChildProcess::Stop()
{
    if (Pid_ <= 0)
        return;
    if (Running()) {
        ::kill(-Pid_, SIGTERM);
        WaitExit(2000);
    }
    // Whatever the program left in its group goes too; the leader is still unreaped.
    ::kill(-Pid_, SIGKILL);
    ::waitpid(Pid_, nullptr, 0);
    Pid_ = -1;
}

// ---------------------------------------------------------------------------
// X11Session

std::string X11Session::MissingTools()
{
    std::string Missing;
    for (const char* Tool : { "Xvfb", "openbox", "xdotool", "xprop", "xwininfo", "xclip", "import" }) {
        if (!InPath(Tool))
            Missing += std::string(Missing.empty() ? "" : ", ") + Tool;
    }
    return Missing;
}

bool X11Session::Start(std::string* Error, const std::string& Screen)
{
    auto Fail = [&](const std::string& Why) {
        if (Error)
            *Error = Why;
        Stop();
        return false;
    };

    // Xvfb picks a free display itself and writes its number once it accepts clients.
    int Pipe[2];
    if (::pipe2(Pipe, O_CLOEXEC) != 0)
        return Fail("pipe failed");
    std::string Why;
    const bool Started
        = Server_.Start({ "Xvfb", "-displayfd", "3", "-nolisten", "tcp", "-noreset", "-screen", "0", Screen },
            ToolEnvironment(""), Folder_.path(), Folder_.file("xvfb.log"), &Why, Pipe[1]);
    ::close(Pipe[1]);
    std::string Number;
    const auto Deadline = Clock::now() + std::chrono::seconds(15);
    while (Started && Number.find('\n') == std::string::npos && Clock::now() < Deadline) {
        pollfd Watch { Pipe[0], POLLIN, 0 };
        if (::poll(&Watch, 1, RemainingMs(Deadline)) <= 0)
            continue;
        char Buffer[16];
        const ssize_t Got = ::read(Pipe[0], Buffer, sizeof Buffer);
        if (Got <= 0)
            break;
        Number.append(Buffer, static_cast<size_t>(Got));
    }
    ::close(Pipe[0]);
    if (!Started)
        return Fail("Xvfb did not start: " + Why);
    if (Number.find('\n') == std::string::npos)
        return Fail("Xvfb reported no display within 15 s; see " + Folder_.file("xvfb.log"));
    Display_ = ":" + Number.substr(0, Number.find('\n'));

    std::vector<std::string> Environment = ToolEnvironment(Display_);
    for (const char* Name : { "HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME" })
        Environment.push_back(std::string(Name) + "=" + Folder_.path());
    if (!WindowManager_.Start(
            { "openbox", "--sm-disable" }, Environment, Folder_.path(), Folder_.file("openbox.log"), &Why))
        return Fail("openbox did not start: " + Why);
    // The manager announces itself on the root window once it manages windows.
    const auto ManagerDeadline = Clock::now() + std::chrono::seconds(15);
    while (Run({ "xprop", "-root", "_NET_SUPPORTING_WM_CHECK" }, 2000).Output.find("window id") == std::string::npos) {
        if (Clock::now() >= ManagerDeadline || !WindowManager_.Running())
            return Fail("openbox did not take over the display within 15 s");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

void X11Session::Stop()
{
    WindowManager_.Stop();
    Server_.Stop();
}

X11Session::Result X11Session::Run(const std::vector<std::string>& Args, int TimeoutMs) const
{
    Result Outcome;
    std::vector<std::string> ArgStrings = Args;
    std::vector<std::string> EnvStrings = ToolEnvironment(Display_);
    std::vector<char*> Argv = Pointers(ArgStrings);
    std::vector<char*> Envp = Pointers(EnvStrings);
    int Pipe[2];
    if (::pipe2(Pipe, O_CLOEXEC) != 0)
        return Outcome;
    const pid_t Parent = ::getpid();
    const pid_t Pid = ::fork();
    if (Pid == 0)
        ExecChild(Argv.data(), Envp.data(), nullptr, Pipe[1], -1, -1, Parent);
    ::close(Pipe[1]);
    if (Pid < 0) {
        ::close(Pipe[0]);
        return Outcome;
    }
    ::setpgid(Pid, Pid);
    const auto Deadline = Clock::now() + std::chrono::milliseconds(TimeoutMs);
    bool TimedOut = false;
    for (;;) {
        pollfd Watch { Pipe[0], POLLIN, 0 };
        const int Ready = ::poll(&Watch, 1, RemainingMs(Deadline));
        if (Ready < 0 && errno == EINTR)
            continue;
        if (Ready <= 0) {
            TimedOut = true;
            break;
        }
        char Buffer[4096];
        const ssize_t Got = ::read(Pipe[0], Buffer, sizeof Buffer);
        if (Got <= 0)
            break;
        Outcome.Output.append(Buffer, static_cast<size_t>(Got));
    }
    ::close(Pipe[0]);
    if (TimedOut)
        ::kill(-Pid, SIGKILL);
    int Status = 0;
    ::waitpid(Pid, &Status, 0);
    Outcome.Status = !TimedOut && WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
    return Outcome;
}

bool X11Session::Key(const std::string& Keys) const
{
    std::vector<std::string> Args { "xdotool", "key", "--delay", "40" };
    std::stringstream Words(Keys);
    std::string Word;
    while (Words >> Word)
        Args.push_back(Word);
    return Run(Args).Status == 0;
}

bool X11Session::Type(const std::string& Text) const
{
    return Run({ "xdotool", "type", "--delay", "30", Text }, 30000).Status == 0;
}

bool X11Session::Click(int X, int Y) const
{
    // No --sync: it waits forever when the pointer is already there.
    return Run({ "xdotool", "mousemove", std::to_string(X), std::to_string(Y), "click", "1" }).Status == 0;
}

bool X11Session::MovePointer(int X, int Y) const
{
    return Run({ "xdotool", "mousemove", std::to_string(X), std::to_string(Y) }).Status == 0;
}

bool X11Session::Drag(int FromX, int FromY, int ToX, int ToY) const
{
    std::vector<std::string> Args { "xdotool", "mousemove", std::to_string(FromX), std::to_string(FromY), "mousedown",
        "1" };
    for (int Step = 1; Step <= 4; ++Step) {
        Args.insert(Args.end(),
            { "sleep", "0.05", "mousemove", std::to_string(FromX + (ToX - FromX) * Step / 4),
                std::to_string(FromY + (ToY - FromY) * Step / 4) });
    }
    Args.insert(Args.end(), { "sleep", "0.1", "mouseup", "1" });
    return Run(Args).Status == 0;
}

bool X11Session::Activate(const std::string& Window) const
{
    return Run({ "xdotool", "windowactivate", "--sync", Window }, 5000).Status == 0;
}

std::vector<WindowInfo> X11Session::VisibleWindows(pid_t Pid) const
{
    std::vector<WindowInfo> Windows;
    std::stringstream Ids(Run({ "xdotool", "search", "--onlyvisible", "--pid", std::to_string(Pid) }).Output);
    std::string Id;
    while (Ids >> Id)
        Windows.push_back({ Id, WindowName(Id) });
    return Windows;
}

std::string X11Session::WindowName(const std::string& Window) const
{
    std::string Name = Run({ "xdotool", "getwindowname", Window }).Output;
    while (!Name.empty() && Name.back() == '\n')
        Name.pop_back();
    return Name;
}

std::optional<WindowPlace> X11Session::Place(const std::string& Window) const
{
    const Result Info = Run({ "xwininfo", "-id", Window });
    if (Info.Status != 0)
        return std::nullopt;
    WindowPlace Place;
    int Found = 0;
    std::stringstream Lines(Info.Output);
    std::string Line;
    const std::pair<const char*, int*> Fields[] = { { "Absolute upper-left X:", &Place.X },
        { "Absolute upper-left Y:", &Place.Y }, { "Width:", &Place.Width }, { "Height:", &Place.Height } };
    while (std::getline(Lines, Line)) {
        for (const auto& [Label, Value] : Fields) {
            const size_t At = Line.find(Label);
            if (At != std::string::npos) {
                *Value = std::atoi(Line.c_str() + At + std::strlen(Label));
                ++Found;
            }
        }
    }
    if (Found != 4)
        return std::nullopt;
    return Place;
}

std::string X11Session::Clipboard() const
{
    return Run({ "xclip", "-o", "-selection", "clipboard" }, 5000).Output;
}

bool X11Session::Screenshot(const std::string& Path) const
{
    return Run({ "import", "-window", "root", Path }).Status == 0;
}
