#include "tests/support/DnsmasqHarness.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// A port the kernel just handed out on loopback; free again once closed.
uint16_t freeLoopbackPort()
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return 0;
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof(address);
    uint16_t port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0
        && ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

bool acceptsTcp(uint16_t port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    ::close(fd);
    return ok;
}

std::string dnsmasqProgram()
{
    return ::access("/usr/sbin/dnsmasq", X_OK) == 0 ? "/usr/sbin/dnsmasq" : "dnsmasq";
}

} // namespace

DnsmasqHarness::~DnsmasqHarness()
{
    stop();
}

void DnsmasqHarness::addMx(const std::string& domain, const std::string& host, int preference)
{
    options_.push_back("--mx-host=" + domain + "," + host + "," + std::to_string(preference));
}

void DnsmasqHarness::addHost(const std::string& name, const std::string& address)
{
    options_.push_back("--host-record=" + name + "," + address);
}

void DnsmasqHarness::addCname(const std::string& alias, const std::string& target)
{
    options_.push_back("--cname=" + alias + "," + target);
}

void DnsmasqHarness::addSrv(const std::string& service, const std::string& target, int port, int priority, int weight)
{
    if (target.empty()) {
        options_.push_back("--srv-host=" + service);
        return;
    }
    options_.push_back("--srv-host=" + service + "," + target + "," + std::to_string(port) + ","
        + std::to_string(priority) + "," + std::to_string(weight));
}

bool DnsmasqHarness::start()
{
    stop();
    // Another process may take the port between our probe and dnsmasq's bind:
    // try a few fresh ports.
    for (int attempt = 0; attempt < 5; ++attempt) {
        uint16_t port = freeLoopbackPort();
        if (port != 0 && startOnce(port))
            return true;
    }
    return false;
}

bool DnsmasqHarness::startOnce(uint16_t port)
{
    std::vector<std::string> args = { dnsmasqProgram(), "--no-daemon", "--no-resolv", "--no-hosts",
        "--conf-file=/dev/null", "--pid-file=", "--port=" + std::to_string(port), "--listen-address=127.0.0.1",
        "--bind-interfaces", "--local=/test/" };
    if (::geteuid() == 0)
        args.push_back("--user=root");
    args.insert(args.end(), options_.begin(), options_.end());
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int rc = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        error_ = "cannot start dnsmasq: errno " + std::to_string(rc);
        return false;
    }
    pid_ = pid;
    port_ = port;

    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            error_ = "dnsmasq exited at start (port " + std::to_string(port) + " taken?)";
            pid_ = -1;
            return false;
        }
        if (acceptsTcp(port_))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    error_ = "dnsmasq did not accept connections in time";
    stop();
    return false;
}

void DnsmasqHarness::stop()
{
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGTERM);
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    bool reaped = false;
    while (Clock::now() < deadline) {
        if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
            reaped = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!reaped) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
}

void DnsmasqHarness::addMailTestZone()
{
    // dnsmasq answers in the reverse order of these options: 20, 10, 30.
    addMx("mail.test", "mx30.mail.test", 30);
    addMx("mail.test", "mx10.mail.test", 10);
    addMx("mail.test", "mx20.mail.test", 20);
    addCname("alias.test", "mail.test");
    addHost("plain.test", "127.0.0.5");
    // A null MX ("MX 0 ."): the domain takes no mail.
    addMx("nomail.test", ".", 0);
    // Names no host field should get; answered 10, 20, 30.
    addMx("odd.test", "mx x.odd.test", 30);
    addMx("odd.test", "mx.odd.test:2525", 20);
    addMx("odd.test", "mx10.mail.test", 10);
    // Service records: several priorities and weights, both kinds.
    addSrv("_pop3s._tcp.srv.test", "pop-c.srv.test", 1995, 20, 0);
    addSrv("_pop3s._tcp.srv.test", "pop-b.srv.test", 995, 10, 60);
    addSrv("_pop3s._tcp.srv.test", "pop-a.srv.test", 995, 10, 20);
    addSrv("_pop3._tcp.srv.test", "pop-e.srv.test", 1110, 10, 50);
    addSrv("_pop3._tcp.srv.test", "pop-d.srv.test", 110, 5, 0);
    addMx("srv.test", "mx.srv.test", 10);
    addSrv("_pop3s._tcp.srvonly.test", "pop.srvonly.test", 995, 0, 0);
    addSrv("_pop3._tcp.nosrv.test", "", 0, 0, 0);
    addMx("nosrv.test", "mx10.mail.test", 10);
}
