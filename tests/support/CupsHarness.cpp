#include "tests/support/CupsHarness.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace fs = std::filesystem;

namespace {

const char* const Cupsd = "/usr/sbin/cupsd";
const char* const Lpadmin = "/usr/sbin/lpadmin";
const char* const Backend = "/usr/lib/cups/backend/cups-pdf";
const char* const Ppd = "/usr/share/ppd/cups-pdf/CUPS-PDF_opt.ppd";

bool writeFile(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

bool canConnect(const std::string& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof(address.sun_path) - 1);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    ::close(fd);
    return ok;
}

// libcups remembers the server it talked to first; make it read CUPS_SERVER
// again in case something in this process printed before.
void forgetCachedCupsServer()
{
    void* cups = ::dlopen("libcups.so.2", RTLD_NOW | RTLD_NOLOAD);
    if (!cups)
        return;
    using SetServer = void (*)(const char*);
    if (auto setServer = reinterpret_cast<SetServer>(::dlsym(cups, "cupsSetServer")))
        setServer(nullptr);
    ::dlclose(cups);
}

} // namespace

std::string CupsHarness::unavailableReason()
{
    if (::geteuid() != 0)
        return "cupsd and the cups-pdf backend need root";
    for (const char* file : { Cupsd, Lpadmin, Backend, Ppd })
        if (::access(file, F_OK) != 0)
            return std::string(file) + " is missing";
    if (::access("/etc/cups", W_OK) != 0)
        return "/etc/cups is not writable";
    return std::string();
}

CupsHarness::CupsHarness()
{
    static int created = 0;
    id_ = "brieflotse-test-" + std::to_string(::getpid()) + "-" + std::to_string(++created);
    socket_ = folder_.file("cups.sock");
    out_ = folder_.file("out");
    pdfConfig_ = "/etc/cups/cups-pdf-" + id_ + ".conf";
}

CupsHarness::~CupsHarness()
{
    stop();
}

bool CupsHarness::start(std::string* error)
{
    const auto fail = [&](const std::string& why) {
        if (error)
            *error = why;
        stop();
        return false;
    };
    const std::string why = unavailableReason();
    if (!why.empty())
        return fail(why);

    // The daemon's helpers run as user lp and must reach their folders.
    const std::string& base = folder_.path();
    ::chmod(base.c_str(), 0755);
    for (const char* sub : { "root", "spool", "cache", "state", "log", "out", "pdfspool" })
        fs::create_directories(folder_.file(sub));
    fs::create_directories(folder_.file("tmp"));
    ::chmod(folder_.file("tmp").c_str(), 01777);
    ::chmod(out_.c_str(), 0755);

    const std::string cupsd = "Listen " + socket_
        + "\n"
          "LogLevel info\n"
          "Browsing Off\n"
          "WebInterface No\n"
          "DefaultAuthType None\n"
          "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
          "<Location /admin>\n  Order allow,deny\n  Allow all\n</Location>\n"
          "<Policy default>\n  <Limit All>\n    Order deny,allow\n  </Limit>\n</Policy>\n";
    const std::string files = "ServerRoot " + folder_.file("root")
        + "\n"
          "StateDir "
        + folder_.file("state")
        + "\n"
          "CacheDir "
        + folder_.file("cache")
        + "\n"
          "RequestRoot "
        + folder_.file("spool")
        + "\n"
          "TempDir "
        + folder_.file("tmp")
        + "\n"
          "AccessLog "
        + folder_.file("log/access_log")
        + "\n"
          "ErrorLog "
        + folder_.file("log/error_log")
        + "\n"
          "PageLog "
        + folder_.file("log/page_log")
        + "\n"
          "Printcap "
        + folder_.file("printcap")
        + "\n"
          "User lp\nGroup lp\nSystemGroup root\nSandboxing Relaxed\n";
    // Jobs are named by their title, without user prefix or job label.
    const std::string pdf = "Out " + out_
        + "\n"
          "Spool "
        + folder_.file("pdfspool")
        + "\n"
          "Log "
        + folder_.file("log")
        + "\n"
          "TitlePref 1\nLabel 0\nGrp root\n";
    if (!writeFile(folder_.file("root/cupsd.conf"), cupsd) || !writeFile(folder_.file("root/cups-files.conf"), files))
        return fail("cannot write the cupsd configuration");
    if (!writeFile(pdfConfig_, pdf))
        return fail("cannot write " + pdfConfig_);

    if (const char* previous = std::getenv("CUPS_SERVER"))
        previousServer_ = previous;
    hadPreviousServer_ = std::getenv("CUPS_SERVER") != nullptr;
    ::setenv("CUPS_SERVER", socket_.c_str(), 1);
    serverSet_ = true;
    ::unsetenv("PRINTER");
    ::unsetenv("LPDEST");
    forgetCachedCupsServer();

    const std::string conf = folder_.file("root/cupsd.conf");
    const std::string filesConf = folder_.file("root/cups-files.conf");
    std::vector<std::string> args = { Cupsd, "-f", "-c", conf, "-s", filesConf };
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string stdoutLog = folder_.file("log/stdout");
    posix_spawn_file_actions_addopen(&actions, 1, stdoutLog.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const int spawned = posix_spawn(&pid_, Cupsd, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        pid_ = -1;
        return fail("cannot start cupsd");
    }
    for (int i = 0; i < 150; ++i) {
        if (canConnect(socket_))
            return true;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return fail("cupsd ended at once: " + log());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return fail("cupsd did not open its socket within 15 s");
}

void CupsHarness::stop()
{
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        int status = 0;
        bool ended = false;
        for (int i = 0; i < 100 && !ended; ++i) {
            ended = ::waitpid(pid_, &status, WNOHANG) == pid_;
            if (!ended)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (!ended) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
        }
        pid_ = -1;
    }
    if (!pdfConfig_.empty())
        ::unlink(pdfConfig_.c_str());
    if (serverSet_) {
        if (hadPreviousServer_)
            ::setenv("CUPS_SERVER", previousServer_.c_str(), 1);
        else
            ::unsetenv("CUPS_SERVER");
        forgetCachedCupsServer();
        serverSet_ = false;
    }
}

bool CupsHarness::run(const std::string& command, std::string* output) const
{
    const std::string line = command + " 2>&1";
    FILE* pipe = ::popen(line.c_str(), "r");
    if (!pipe)
        return false;
    std::string text;
    char buffer[4096];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0)
        text.append(buffer, got);
    const int status = ::pclose(pipe);
    if (output)
        *output = text;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool CupsHarness::addPdfPrinter(std::string* error)
{
    std::string output;
    const bool ok = run(std::string(Lpadmin) + " -p " + queue_ + " -v cups-pdf:/" + id_ + " -E -P " + Ppd
                            + " -o pdftops-renderer-default=pdftocairo",
                        &output)
        && run(std::string(Lpadmin) + " -d " + queue_, &output);
    if (!ok && error)
        *error = output;
    return ok;
}

bool CupsHarness::removePdfPrinter()
{
    return run(std::string(Lpadmin) + " -x " + queue_);
}

bool CupsHarness::setPrinterEnabled(bool enabled)
{
    return run(std::string(enabled ? "cupsenable " : "cupsdisable ") + queue_);
}

bool CupsHarness::waitUntilIdle(int timeoutMs)
{
    for (int waited = 0; waited <= timeoutMs; waited += 200) {
        std::string pending;
        if (run("lpstat -o", &pending) && pending.find_first_not_of(" \r\n") == std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return false;
}

std::vector<std::string> CupsHarness::outputFiles() const
{
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(out_, ignored))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string CupsHarness::log() const
{
    std::ifstream in(folder_.file("log/error_log"));
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}
