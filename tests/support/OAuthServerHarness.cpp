#include "tests/support/OAuthServerHarness.h"

#include <chrono>
#include <csignal>
#include <fstream>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

OAuthServerHarness::~OAuthServerHarness()
{
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
}

bool OAuthServerHarness::start(const std::vector<std::string>& options)
{
    const std::string portFile = folder_.file("port");
    std::vector<std::string> words
        = { "/usr/bin/python3", BRIEFLOTSE_SOURCE_DIR "/tests/support/oauth_server.py", portFile };
    words.insert(words.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (auto& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    if (::posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        pid_ = -1;
        return false;
    }
    for (int tries = 0; tries < 200; ++tries) {
        std::ifstream in(portFile);
        if (in >> port_)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

std::string OAuthServerHarness::url(const std::string& path) const
{
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}
