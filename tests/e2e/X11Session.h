#pragma once

// A real X display for end-to-end tests: Xvfb with the openbox window manager,
// both child processes, and the X tools through which a test acts and looks as
// a person would: xdotool for keys, typing and clicks, xwininfo for window
// places, xclip for the clipboard, ImageMagick's import for screenshots.
// Every child is killed when its object dies, and by the kernel when the test
// process dies first.

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "tests/support/TempDir.h"

// A started program in its own process group.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts Args[0] (looked up in PATH) with exactly this environment, in
    // Folder (empty: ours), stdout and stderr appended to OutputFile. PassFd,
    // when not -1, reaches the program as file descriptor 3.
    bool Start(const std::vector<std::string>& Args, const std::vector<std::string>& Environment,
        const std::string& Folder, const std::string& OutputFile, std::string* Error, int PassFd = -1);
    pid_t Pid() const { return Pid_; }
    bool Running();
    bool WaitExit(int Milliseconds);
    // SIGTERM to the group, SIGKILL after a short grace.
    void Stop();

private:
    pid_t Pid_ = -1;
};

struct WindowInfo {
    std::string Id;
    std::string Name;
};

struct WindowPlace {
    int X = 0;
    int Y = 0;
    int Width = 0;
    int Height = 0;
};

class X11Session {
public:
    // Empty when every tool is installed; else the missing ones.
    static std::string MissingTools();

    X11Session() = default;
    ~X11Session() { Stop(); }
    X11Session(const X11Session&) = delete;
    X11Session& operator=(const X11Session&) = delete;

    // Xvfb on a free display (Screen, no TCP), then openbox; each within a deadline.
    bool Start(std::string* Error, const std::string& Screen = "1280x1024x24");
    void Stop();
    const std::string& Display() const { return Display_; }

    struct Result {
        int Status = -1; // exit status, -1 when killed at the deadline
        std::string Output;
    };
    // Runs a tool against this display and collects its standard output.
    Result Run(const std::vector<std::string>& Args, int TimeoutMs = 10000) const;

    // Input, through the X test extension to whatever window has the focus.
    bool Key(const std::string& Keys) const;
    bool Type(const std::string& Text) const;
    bool Click(int X, int Y) const;
    bool MovePointer(int X, int Y) const;
    // Presses the left button at the first point, moves to the second in
    // steps and releases it there.
    bool Drag(int FromX, int FromY, int ToX, int ToY) const;
    bool Activate(const std::string& Window) const;

    // What a person sees.
    std::vector<WindowInfo> VisibleWindows(pid_t Pid) const;
    std::string WindowName(const std::string& Window) const;
    // The window's content area in screen coordinates, without the frame.
    std::optional<WindowPlace> Place(const std::string& Window) const;
    std::string Clipboard() const;
    bool Screenshot(const std::string& Path) const;

private:
    TempDir Folder_;
    ChildProcess Server_;
    ChildProcess WindowManager_;
    std::string Display_;
};
