#pragma once

// Config files over HTTPS and HTTP for the address finder's tests and bench:
// tests/discovery/config_server.py (Python's http.server, TLS with the test
// CA's certificate for the finder's names) as a child process on two free
// loopback ports. No Qt.

#include <string>
#include <sys/types.h>

#include "tests/support/TempDir.h"

class TestCertificates;

class ConfigServerHarness {
public:
    ConfigServerHarness() = default;
    ~ConfigServerHarness();
    ConfigServerHarness(const ConfigServerHarness&) = delete;
    ConfigServerHarness& operator=(const ConfigServerHarness&) = delete;

    // Routes as config_server.py reads them (JSON); waits (bounded) until both ports listen.
    bool start(const std::string& routes, const TestCertificates& certificates, const std::string& sourceDir);
    int httpsPort() const { return https_; }
    int httpPort() const { return http_; }

private:
    TempDir folder_;
    pid_t pid_ = -1;
    int https_ = 0;
    int http_ = 0;
};
