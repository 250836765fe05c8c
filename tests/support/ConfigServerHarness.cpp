#include "tests/support/ConfigServerHarness.h"

#include <chrono>
#include <csignal>
#include <fstream>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <vector>

#include "tests/support/TestCertificates.h"

extern char** environ;

ConfigServerHarness::~ConfigServerHarness()
{
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
}

bool ConfigServerHarness::start(
    const std::string& routes, const TestCertificates& certificates, const std::string& sourceDir)
{
    const std::string routesFile = folder_.file("routes.json");
    std::ofstream(routesFile) << routes;
    const std::string portsFile = folder_.file("ports");
    std::vector<std::string> words = { "/usr/bin/python3", sourceDir + "/tests/discovery/config_server.py", routesFile,
        certificates.certificateFile(TestCertificates::Kind::TestDomains), certificates.keyFile(), portsFile };
    std::vector<char*> argv;
    for (auto& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    if (::posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        pid_ = -1;
        return false;
    }
    for (int tries = 0; tries < 100; ++tries) {
        std::ifstream ports(portsFile);
        if (ports >> https_ >> http_)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}
