#pragma once

// A loopback port whose connections the kernel completes but nobody answers
// or accepts: a client waits there for a greeting that never comes, and a
// test can ask afterwards whether anything connected at all.

#include <cstdint>
#include <string>

class SilentPort {
public:
    SilentPort();
    ~SilentPort();
    SilentPort(const SilentPort&) = delete;
    SilentPort& operator=(const SilentPort&) = delete;

    uint16_t port() const { return port_; }
    std::string target() const { return "127.0.0.1:" + std::to_string(port_); } // for a server field
    bool reached() const; // a connection is waiting to be accepted

private:
    int socket_ = -1;
    uint16_t port_ = 0;
};
