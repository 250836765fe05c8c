#pragma once

// tests/support/oauth_server.py (an OAuth2 authorization server on Python's
// http.server and authlib) as a child process on a free loopback port. No Qt.

#include <string>
#include <sys/types.h>
#include <vector>

#include "tests/support/TempDir.h"

class OAuthServerHarness {
public:
    OAuthServerHarness() = default;
    ~OAuthServerHarness();
    OAuthServerHarness(const OAuthServerHarness&) = delete;
    OAuthServerHarness& operator=(const OAuthServerHarness&) = delete;

    // Options as oauth_server.py reads them ("--deny", "--expires", "1", ...);
    // waits (bounded) until the port listens.
    bool start(const std::vector<std::string>& options = {});
    int port() const { return port_; }
    std::string url(const std::string& path) const; // http://127.0.0.1:PORT + path

private:
    TempDir folder_;
    pid_t pid_ = -1;
    int port_ = 0;
};
