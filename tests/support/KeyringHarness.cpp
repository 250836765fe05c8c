#include "tests/support/KeyringHarness.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

void SetError(std::string* error, const std::string& text)
{
    if (error)
        *error = text;
}

void StopChild(pid_t& pid)
{
    if (pid <= 0)
        return;
    ::kill(pid, SIGTERM);
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    pid = -1;
}

// Starts a program with stdout and stderr to a file and, when given, stdin from
// a pipe end; extra entries of the form NAME=value replace those of the environment.
pid_t Spawn(const std::vector<std::string>& words, const std::string& output, int input,
    const std::vector<std::string>& extraEnvironment)
{
    std::vector<std::string> environment = extraEnvironment;
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        bool replaced = false;
        for (const std::string& extra : extraEnvironment)
            replaced = replaced || text.compare(0, extra.find('=') + 1, extra, 0, extra.find('=') + 1) == 0;
        if (!replaced)
            environment.push_back(text);
    }
    std::vector<char*> envp;
    for (auto& entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::vector<std::string> argWords = words;
    std::vector<char*> argv;
    for (auto& word : argWords)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (input >= 0)
        posix_spawn_file_actions_adddup2(&actions, input, STDIN_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    pid_t pid = -1;
    if (::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

bool KeyringHarness::available()
{
    return ::access("/usr/bin/dbus-daemon", X_OK) == 0 && ::access("/usr/bin/gnome-keyring-daemon", X_OK) == 0;
}

KeyringHarness::~KeyringHarness()
{
    stop();
}

void KeyringHarness::stop()
{
    StopChild(keyring_);
    StopChild(bus_);
    address_.clear();
}

bool KeyringHarness::startBus(std::string* error)
{
    if (bus_ > 0)
        return true;
    const std::string run = folder_.file("run");
    ::mkdir(run.c_str(), 0700);
    {
        std::ofstream conf(folder_.file("bus.conf"));
        conf << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                "<busconfig><type>session</type><listen>unix:dir="
             << run
             << "</listen><auth>EXTERNAL</auth>"
                // As the system's session bus allows: without the bare eavesdrop rule no reply is delivered.
                "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy>"
                "</busconfig>\n";
    }
    const std::string addressFile = folder_.file("bus.address");
    bus_ = Spawn(
        { "/usr/bin/dbus-daemon", "--nofork", "--print-address=1", "--config-file=" + folder_.file("bus.conf") },
        addressFile, -1, {});
    if (bus_ < 0) {
        SetError(error, "cannot start dbus-daemon");
        return false;
    }
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        const std::string text = ReadFile(addressFile);
        if (text.find('\n') != std::string::npos) {
            address_ = text.substr(0, text.find('\n'));
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    SetError(error, "dbus-daemon printed no address within 10 s");
    stop();
    return false;
}

bool KeyringHarness::nameOwned(const std::string& name) const
{
    const std::string command = "DBUS_SESSION_BUS_ADDRESS='" + address_
        + "' dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus "
          "org.freedesktop.DBus.NameHasOwner string:"
        + name + " 2>/dev/null | grep -q 'boolean true'";
    return std::system(command.c_str()) == 0;
}

bool KeyringHarness::start(std::string* error)
{
    if (!available()) {
        SetError(error, "dbus-daemon or gnome-keyring-daemon is not installed");
        return false;
    }
    if (!startBus(error))
        return false;
    if (keyring_ > 0)
        return true;
    const std::string home = folder_.file("home");
    ::mkdir(home.c_str(), 0700);
    int input[2];
    // Close-on-exec: the write end must not stay open in the child, or --unlock waits for more.
    if (::pipe2(input, O_CLOEXEC) != 0) {
        SetError(error, "pipe failed");
        return false;
    }
    keyring_ = Spawn({ "/usr/bin/gnome-keyring-daemon", "--foreground", "--unlock", "--components=secrets" },
        folder_.file("keyring.out"), input[0],
        { "DBUS_SESSION_BUS_ADDRESS=" + address_, "HOME=" + home, "XDG_DATA_HOME=" + home + "/data",
            "XDG_RUNTIME_DIR=" + folder_.file("run") });
    ::close(input[0]);
    if (keyring_ < 0) {
        ::close(input[1]);
        SetError(error, "cannot start gnome-keyring-daemon");
        return false;
    }
    // The password of the new login keyring, which --unlock reads up to the end of input.
    (void)!::write(input[1], "brieflotse", 10);
    ::close(input[1]);
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        if (nameOwned("org.freedesktop.secrets"))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    SetError(error, "gnome-keyring-daemon did not take its name within 10 s: " + ReadFile(folder_.file("keyring.out")));
    stop();
    return false;
}
