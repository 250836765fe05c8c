#include "tests/support/DovecotHarness.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <spawn.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr int kStartLimitMs = 15000;
constexpr int kStopLimitMs = 5000;
constexpr int kStartAttempts = 3;

std::string FindDovecot()
{
    for (const char* candidate : { "/usr/sbin/dovecot", "/usr/local/sbin/dovecot" })
        if (::access(candidate, X_OK) == 0)
            return candidate;
    return {};
}

void SetError(std::string* error, const std::string& text)
{
    if (error)
        *error = text;
}

// A loopback port that is free right now; the server binds it a moment later
// (and start() tries again with another if someone was quicker).
uint16_t PickFreePort()
{
    int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0)
        return 0;
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    uint16_t port = 0;
    if (::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0
        && ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(probe);
    return port;
}

// Who owns the mailbox: as root an unprivileged user (Dovecot refuses root
// for mail), otherwise whoever runs the tests.
struct Identity {
    uid_t uid;
    gid_t gid;
    std::string loginUser;
    std::string internalUser;
    std::string internalGroup; // empty: Dovecot's own default
};

Identity LookUpMailIdentity()
{
    if (::geteuid() == 0) {
        const passwd* nobody = ::getpwnam("nobody");
        const group* nogroup = ::getgrnam("nogroup");
        return { nobody ? nobody->pw_uid : 65534, nogroup ? nogroup->gr_gid : 65534, "dovenull", "dovecot", "" };
    }
    const passwd* me = ::getpwuid(::geteuid());
    const group* mine = ::getgrgid(::getegid());
    std::string name = me ? me->pw_name : "nobody";
    return { ::geteuid(), ::getegid(), name, name, mine ? mine->gr_name : "nogroup" };
}

// Looked up once: getpwnam() and its kin share one static buffer, and tests
// start several servers from threads at once.
const Identity& MailIdentity()
{
    static const Identity Found = LookUpMailIdentity();
    return Found;
}

bool WriteFile(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    return static_cast<bool>(out);
}

void ChownTree(const fs::path& root, uid_t uid, gid_t gid)
{
    // Best effort: a file that cannot be given away shows when Dovecot starts.
    [[maybe_unused]] int failed = ::chown(root.c_str(), uid, gid);
    std::error_code ignored;
    for (auto it = fs::recursive_directory_iterator(root, ignored); it != fs::recursive_directory_iterator();
         it.increment(ignored))
        failed = ::lchown(it->path().c_str(), uid, gid);
}

std::string Lines(std::initializer_list<std::string> lines)
{
    std::string text;
    for (const auto& line : lines)
        text += line + "\r\n";
    return text;
}

std::string Header(const std::string& subject, size_t number)
{
    return Lines({ "From: Bernd Beispiel <bernd@example.org>", "To: Anna <anna@example.org>", "Subject: " + subject,
        "Date: Mon, 3 Mar 2003 10:00:00 +0100", "Message-ID: <" + std::to_string(number) + ".brieflotse@example.org>",
        "" });
}

} // namespace

bool DovecotHarness::available()
{
    return !FindDovecot().empty();
}

DovecotHarness::DovecotHarness()
    : DovecotHarness(Options {})
{
}

DovecotHarness::DovecotHarness(Options options)
    : options_(std::move(options))
{
    if (options_.messages.empty())
        options_.messages = defaultMessages();
    for (size_t i = 0; i < options_.extraMessages; ++i)
        options_.messages.push_back(generatedMessage(options_.messages.size() + 1));
}

DovecotHarness::~DovecotHarness()
{
    stop();
}

std::string DovecotHarness::generatedMessage(size_t number)
{
    return Header("Nachricht " + std::to_string(number), number)
        + Lines({ "Dies ist die Nachricht Nummer " + std::to_string(number) + "." });
}

std::vector<std::string> DovecotHarness::defaultMessages()
{
    std::vector<std::string> messages;
    messages.push_back(Header("Kurz", 1) + Lines({ "Hallo Anna,", "bis morgen.", "Bernd" }));

    std::string medium = Header("Bericht", 2);
    for (int i = 1; i <= 80; ++i)
        medium += "Zeile " + std::to_string(i) + " des Berichts, mit etwas Text, damit es einige Kilobyte werden.\r\n";
    messages.push_back(medium);

    // Lines that start with a dot must come out of the server byte-stuffed.
    messages.push_back(Header("Punkte", 3) + Lines({ "Erste Zeile", ".", "..", ".hidden", ". .", "Letzte Zeile" }));

    std::string large = Header("Gross", 4);
    const std::string line(74, 'x');
    for (int i = 0; large.size() < 200 * 1024; ++i)
        large += std::to_string(i % 10) + line + "\r\n";
    messages.push_back(large);
    return messages;
}

bool DovecotHarness::prepareFiles(std::string* error)
{
    if (prepared_)
        return true;
    const Identity who = MailIdentity();
    const fs::path root = folder_.path();
    // Dovecot's unprivileged processes must be able to walk into the folder.
    ::chmod(root.c_str(), 0755);
    std::error_code failed;
    for (const char* sub : { "run", "state", "home", "Maildir/cur", "Maildir/new", "Maildir/tmp" })
        fs::create_directories(root / sub, failed);
    if (failed) {
        SetError(error, "cannot create folders: " + failed.message());
        return false;
    }
    // Files straight into cur/: fast even for tens of thousands of messages,
    // and the names sort in message order.
    for (size_t i = 0; i < options_.messages.size(); ++i) {
        char name[96];
        std::snprintf(name, sizeof name, "1000000000.M%08zuP1.brieflotse,S=%zu:2,", i + 1, options_.messages[i].size());
        if (!WriteFile((root / "Maildir/cur" / name).string(), options_.messages[i])) {
            SetError(error, "cannot write message " + std::to_string(i + 1));
            return false;
        }
    }
    if (!WriteFile(folder_.file("passwd"), options_.user + ":{PLAIN}" + options_.password + "\n")) {
        SetError(error, "cannot write the password file");
        return false;
    }
    ::chmod(folder_.file("passwd").c_str(), 0644);
    ChownTree(root / "Maildir", who.uid, who.gid);
    ChownTree(root / "home", who.uid, who.gid);
    prepared_ = true;
    return true;
}

// The TLS lines of the configuration; "ssl = no" without a certificate.
std::string DovecotHarness::tlsConfig() const
{
    if (options_.tlsCertificate.empty() || options_.tlsKey.empty())
        return "ssl = no\n";
    const std::string key = "ssl_key = <" + options_.tlsKey + "\n";
    std::string config = "ssl = yes\nssl_cert = <" + options_.tlsCertificate + "\n" + key;
    for (const auto& [name, certificate] : options_.tlsCertificateByName)
        config += "local_name " + name + " {\n  ssl_cert = <" + certificate + "\n  " + key + "}\n";
    if (options_.tls10Only || options_.tls10Allowed) {
        const std::string file = folder_.file("openssl-tls10.cnf");
        WriteFile(file,
            "openssl_conf = settings\n[settings]\nssl_conf = tls\n[tls]\nsystem_default = old\n"
            "[old]\nMinProtocol = TLSv1\n"
                + std::string(options_.tls10Only ? "MaxProtocol = TLSv1\n" : "")
                + "CipherString = DEFAULT:@SECLEVEL=0\n");
        ::chmod(file.c_str(), 0644);
        config += "ssl_min_protocol = TLSv1\nssl_cipher_list = DEFAULT:@SECLEVEL=0\n"
                  "import_environment = TZ CORE_OUTOFMEM CORE_ERROR LISTEN_PID LISTEN_FDS NOTIFY_SOCKET OPENSSL_CONF="
            + file + "\n";
    }
    return config;
}

std::string DovecotHarness::passdbConfig() const
{
    const std::string root = folder_.path();
    if (options_.oauth2IntrospectionUrl.empty())
        return "passdb {\n  driver = passwd-file\n  args = scheme=PLAIN username_format=%u " + root + "/passwd\n}\n";
    const std::string file = folder_.file("dovecot-oauth2.conf.ext");
    WriteFile(file,
        "introspection_mode = post\nintrospection_url = " + options_.oauth2IntrospectionUrl
            + "\nusername_attribute = username\nactive_attribute = active\nactive_value = true\n");
    ::chmod(file.c_str(), 0644);
    return "passdb {\n  driver = oauth2\n  mechanisms = xoauth2 oauthbearer\n  args = " + file + "\n}\n";
}

bool DovecotHarness::writeConfig(std::string* error)
{
    const Identity who = MailIdentity();
    const std::string root = folder_.path();
    std::ostringstream config;
    config << "base_dir = " << root << "/run\n"
           << "state_dir = " << root << "/state\n"
           << "log_path = " << root << "/dovecot.log\n"
           << "instance_name = brieflotse-test-" << port_ << "\n"
           << "protocols = pop3\n"
           << "listen = " << options_.listenAddress << "\n"
           << tlsConfig() << "disable_plaintext_auth = " << (options_.disablePlaintextAuth ? "yes" : "no") << "\n"
           << (options_.noFailureDelay ? "auth_failure_delay = 0\n" : "")
           << "auth_mechanisms = " << options_.authMechanisms << "\n"
           << "first_valid_uid = 1\n"
           << "first_valid_gid = 1\n"
           << "default_login_user = " << who.loginUser << "\n"
           << "default_internal_user = " << who.internalUser << "\n"
           << (who.internalGroup.empty() ? "" : "default_internal_group = " + who.internalGroup + "\n")
           << "mail_location = maildir:" << root << "/Maildir\n"
           << "pop3_uidl_format = %08Xu%08Xv\n"
           // No chroot: an unprivileged user may not, and tests gain nothing by it.
           // No growing penalty for failed log-ins: tests fail on purpose, one after the other.
           << "service anvil {\n  chroot =\n  unix_listener anvil-auth-penalty {\n    mode = 0\n  }\n}\n"
           << "service pop3-login {\n  chroot =\n  inet_listener pop3 {\n    port = " << port_ << "\n  }\n"
           << (tlsPort_ ? "  inet_listener pop3s {\n    port = " + std::to_string(tlsPort_) + "\n    ssl = yes\n  }\n"
                        : "")
           << "}\n"
           << passdbConfig() << "userdb {\n  driver = static\n  args = uid=" << who.uid << " gid=" << who.gid
           << " home=" << root << "/home\n}\n";
    if (!WriteFile(folder_.file("dovecot.conf"), config.str())) {
        SetError(error, "cannot write the configuration");
        return false;
    }
    return true;
}

bool DovecotHarness::launch(std::string* error)
{
    const std::string binary = FindDovecot();
    const std::string conf = folder_.file("dovecot.conf");
    const std::string output = folder_.file("dovecot.out");
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    posix_spawnattr_init(&attributes);
    // Its own process group, so that stop() reaches every Dovecot process.
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    std::vector<std::string> words = { binary, "-F", "-c", conf };
    std::vector<char*> argv;
    for (auto& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    const int result = ::posix_spawn(&pid_, binary.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (result != 0) {
        pid_ = -1;
        SetError(error, std::string("cannot start dovecot: ") + std::strerror(result));
        return false;
    }
    return true;
}

// Connects and reads the greeting; the server counts as up once it greets.
bool DovecotHarness::waitForGreeting(std::string* error)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(kStartLimitMs);
    while (Clock::now() < deadline) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            SetError(error, "dovecot ended at start: " + log());
            return false;
        }
        // A service that cannot start is retried only after a long pause.
        if (log().find("Fatal:") != std::string::npos) {
            SetError(error, "dovecot failed at start: " + log());
            return false;
        }
        int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_port = htons(port_);
        ::inet_pton(AF_INET, options_.listenAddress.c_str(), &address.sin_addr);
        std::string greeting;
        if (probe >= 0 && ::connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            while (greeting.find("\r\n") == std::string::npos && Clock::now() < deadline) {
                pollfd watch { probe, POLLIN, 0 };
                if (::poll(&watch, 1, 200) <= 0)
                    continue;
                char buffer[256];
                const ssize_t n = ::recv(probe, buffer, sizeof buffer, 0);
                if (n <= 0)
                    break;
                greeting.append(buffer, static_cast<size_t>(n));
            }
            if (greeting.rfind("+OK", 0) == 0)
                (void)!::send(probe, "QUIT\r\n", 6, MSG_NOSIGNAL);
        }
        if (probe >= 0)
            ::close(probe);
        if (greeting.rfind("+OK", 0) == 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    SetError(error, "no greeting from dovecot within 15 s: " + log());
    return false;
}

bool DovecotHarness::start(std::string* error)
{
    if (pid_ > 0)
        return true;
    if (!available()) {
        SetError(error, "dovecot is not installed");
        return false;
    }
    if (!prepareFiles(error))
        return false;
    for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
        port_ = PickFreePort();
        const bool tls = !options_.tlsCertificate.empty() && !options_.tlsKey.empty();
        tlsPort_ = tls ? PickFreePort() : 0;
        if (port_ == 0 || (tls && tlsPort_ == 0)) {
            SetError(error, "no free loopback port");
            return false;
        }
        if (tlsPort_ == port_)
            continue;
        if (!writeConfig(error) || !launch(error))
            return false;
        if (waitForGreeting(error))
            return true;
        stop();
    }
    return false;
}

void DovecotHarness::stop()
{
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGTERM);
    const auto deadline = Clock::now() + std::chrono::milliseconds(kStopLimitMs);
    bool ended = false;
    while (!ended && Clock::now() < deadline) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_)
            ended = true;
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // Whatever is left of the group goes too: a stuck master, a stray child.
    ::kill(-pid_, SIGKILL);
    if (!ended)
        ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

std::string DovecotHarness::log() const
{
    std::string text;
    for (const char* name : { "dovecot.out", "dovecot.log" }) {
        std::ifstream in(folder_.file(name), std::ios::binary);
        std::ostringstream content;
        content << in.rdbuf();
        text += content.str();
    }
    return text;
}
