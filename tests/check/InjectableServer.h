#pragma once

// A POP3 server with the STLS flaw of CVE-2011-0411, for what no real server
// here does: the bytes a client sent along with STLS stay in the command
// buffer and are answered inside TLS. Serves any number of connections on
// loopback (IPv4 or IPv6), each on its own thread, each read bounded in time.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct ssl_ctx_st;

class InjectableServer {
public:
    InjectableServer(const std::string& certificate, const std::string& key, bool ipv6);
    ~InjectableServer();
    InjectableServer(const InjectableServer&) = delete;
    InjectableServer& operator=(const InjectableServer&) = delete;

    bool listening() const { return port_ != 0; }
    uint16_t port() const { return port_; }

private:
    void acceptLoop();
    void serve(int client);

    ssl_ctx_st* context_ = nullptr;
    int listener_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_ { false };
    std::thread acceptor_;
    std::mutex lock_;
    std::vector<std::thread> sessions_;
};
