#include "tests/support/TestCertificates.h"

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <spawn.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

std::string FindOpenssl()
{
    for (const char* candidate : { "/usr/bin/openssl", "/usr/local/bin/openssl" })
        if (::access(candidate, X_OK) == 0)
            return candidate;
    return {};
}

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::string FileName(TestCertificates::Kind kind)
{
    switch (kind) {
    case TestCertificates::Kind::Good:
        return "good.pem";
    case TestCertificates::Kind::Expired:
        return "expired.pem";
    case TestCertificates::Kind::NotYetValid:
        return "not-yet-valid.pem";
    case TestCertificates::Kind::WrongHost:
        return "wrong-host.pem";
    case TestCertificates::Kind::SelfSigned:
        return "self-signed.pem";
    case TestCertificates::Kind::UnknownCa:
        return "unknown-ca.pem";
    case TestCertificates::Kind::MissingIntermediate:
        return "missing-intermediate.pem";
    case TestCertificates::Kind::TestDomains:
        return "test-domains.pem";
    }
    return {};
}

// `openssl ca` wants a database; names other than CN and O are dropped.
const char* const kConfig = R"([ca]
default_ca = test_ca
[test_ca]
database = index.txt
new_certs_dir = issued
serial = serial
default_md = sha256
policy = names
unique_subject = no
copy_extensions = none
[names]
organizationName = optional
commonName = supplied
[req]
distinguished_name = req_names
[req_names]
[localhost]
subjectAltName = DNS:localhost,IP:127.0.0.1,IP:127.0.0.2
basicConstraints = CA:FALSE
extendedKeyUsage = serverAuth
[intermediate]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
[domains]
subjectAltName = DNS:beispiel.test,DNS:*.beispiel.test,DNS:anbieter.test,DNS:*.anbieter.test,DNS:*.eu.anbieter.test,DNS:klartext.test,DNS:*.klartext.test,DNS:ispdb.test,DNS:leer.test,DNS:*.leer.test
basicConstraints = CA:FALSE
extendedKeyUsage = serverAuth
[elsewhere]
subjectAltName = DNS:mail.example.org
basicConstraints = CA:FALSE
extendedKeyUsage = serverAuth
)";

} // namespace

bool TestCertificates::available()
{
    return !FindOpenssl().empty();
}

const TestCertificates* TestCertificates::shared(std::string* error)
{
    static std::string failure;
    static const std::unique_ptr<TestCertificates> made = [] {
        auto certificates = std::make_unique<TestCertificates>();
        if (!certificates->make(&failure))
            certificates.reset();
        return certificates;
    }();
    if (!made && error)
        *error = failure;
    return made.get();
}

std::string TestCertificates::certificateFile(Kind kind) const
{
    return folder_.file(FileName(kind));
}

void TestCertificates::trustInThisProcess() const
{
    ::setenv("SSL_CERT_FILE", caFile().c_str(), 1);
}

// Runs the tool in the folder; its output goes to tool.log.
bool TestCertificates::run(const std::vector<std::string>& arguments, std::string* error) const
{
    const std::string binary = FindOpenssl();
    const std::string output = folder_.file("tool.log");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    posix_spawn_file_actions_addchdir_np(&actions, folder_.path().c_str());
    std::vector<std::string> words = { binary };
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    if (spawned != 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        if (error)
            *error = "openssl " + arguments.front() + " failed: " + ReadAll(output);
        return false;
    }
    return true;
}

bool TestCertificates::sign(const std::string& ca, const std::string& extensions, const std::string& subject,
    const std::vector<std::string>& validity, const std::string& out, std::string* error, const std::string& key) const
{
    const std::string request = out + ".csr";
    if (!run({ "req", "-new", "-config", "ca.cnf", "-key", key, "-subj", subject, "-out", request }, error))
        return false;
    std::vector<std::string> words = { "ca", "-batch", "-config", "ca.cnf", "-cert", ca + ".pem", "-keyfile",
        ca + ".key", "-extensions", extensions, "-notext", "-in", request, "-out", out };
    words.insert(words.end(), validity.begin(), validity.end());
    return run(words, error);
}

bool TestCertificates::make(std::string* error)
{
    if (!available()) {
        if (error)
            *error = "the openssl tool is not installed";
        return false;
    }
    // Dovecot's processes read the files, some as another user.
    ::chmod(folder_.path().c_str(), 0755);
    ::mkdir(folder_.file("issued").c_str(), 0755);
    std::ofstream(folder_.file("ca.cnf")) << kConfig;
    std::ofstream(folder_.file("index.txt"));
    std::ofstream(folder_.file("serial")) << "1000\n";

    const std::vector<std::string> now = { "-days", "90" };
    const std::string localhost = "/O=Brieflotse Test/CN=localhost";
    auto makeCa = [&](const std::string& name, const std::string& subject) {
        return run({ "genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", name + ".key" },
                   error)
            && run({ "req", "-x509", "-new", "-config", "ca.cnf", "-key", name + ".key", "-subj", subject, "-days",
                       "30", "-addext", "basicConstraints=critical,CA:TRUE", "-addext",
                       "keyUsage=critical,keyCertSign,cRLSign", "-out", name + ".pem" },
                error);
    };
    const bool made = makeCa("ca", "/O=Brieflotse Test/CN=Brieflotse Test CA")
        && makeCa("stranger", "/O=Niemand/CN=Unbekannte CA")
        && run({ "genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", "server.key" }, error)
        && sign("ca", "localhost", localhost, now, FileName(Kind::Good), error)
        && sign("ca", "localhost", localhost, { "-startdate", "20200101000000Z", "-enddate", "20200201000000Z" },
            FileName(Kind::Expired), error)
        && sign("ca", "localhost", localhost, { "-startdate", "20990101000000Z", "-enddate", "20990201000000Z" },
            FileName(Kind::NotYetValid), error)
        && sign("ca", "domains", "/O=Brieflotse Test/CN=beispiel.test", now, FileName(Kind::TestDomains), error)
        && sign("ca", "elsewhere", "/O=Brieflotse Test/CN=mail.example.org", now, FileName(Kind::WrongHost), error)
        && sign("stranger", "localhost", localhost, now, "unknown-ca-leaf.pem", error)
        && run(
            { "genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", "intermediate.key" }, error)
        && sign("ca", "intermediate", "/O=Brieflotse Test/CN=Brieflotse Test Zwischen-CA", now, "intermediate.pem",
            error, "intermediate.key")
        && sign("intermediate", "localhost", localhost, now, FileName(Kind::MissingIntermediate), error)
        && run({ "req", "-x509", "-new", "-config", "ca.cnf", "-key", "server.key", "-subj", localhost, "-days", "30",
                   "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1", "-out", FileName(Kind::SelfSigned) },
            error);
    if (!made)
        return false;
    // A server of an unknown CA that sends its whole chain, up to that CA.
    std::ofstream(folder_.file(FileName(Kind::UnknownCa)))
        << ReadAll(folder_.file("unknown-ca-leaf.pem")) << ReadAll(folder_.file("stranger.pem"));
    for (const char* name : { "server.key", "ca.pem" })
        ::chmod(folder_.file(name).c_str(), 0644);
    return true;
}

std::string TestCertificates::fingerprint(Kind kind) const
{
    std::string error;
    if (!run({ "x509", "-in", FileName(kind), "-noout", "-fingerprint", "-sha256" }, &error))
        return error;
    // "sha256 Fingerprint=AB:..." (the case of the prefix varies by version)
    std::string text = ReadAll(folder_.file("tool.log"));
    const auto equals = text.find('=');
    text = equals == std::string::npos ? text : text.substr(equals + 1);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}
