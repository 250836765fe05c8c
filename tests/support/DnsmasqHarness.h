#pragma once

// A real name server for tests: dnsmasq as a child process on a free loopback
// port, answering over TCP (and UDP) from the records it is given. Names under
// ".test" that it does not know get NXDOMAIN. No Qt.
//
// dnsmasq answers several MX records of one name in the reverse order of the
// options that declared them.

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

class DnsmasqHarness {
public:
    DnsmasqHarness() = default;
    ~DnsmasqHarness();
    DnsmasqHarness(const DnsmasqHarness&) = delete;
    DnsmasqHarness& operator=(const DnsmasqHarness&) = delete;

    // Records, before start(). Names should end in ".test".
    void addMx(const std::string& domain, const std::string& host, int preference);
    void addHost(const std::string& name, const std::string& address);
    void addCname(const std::string& alias, const std::string& target);

    // The zone the look-up tests share: "mail.test" with MX 20, 10, 30 in that
    // answer order, "alias.test" a CNAME of it, "plain.test" an address only,
    // "nomail.test" a null MX, "odd.test" MX 10 mx10.mail.test, 20
    // "mx.odd.test:2525" and 30 "mx x.odd.test".
    void addMailTestZone();

    // Starts dnsmasq and waits (bounded) until it accepts TCP connections.
    // False, with a reason in error(), when it could not be started.
    bool start();
    void stop();

    bool running() const { return pid_ > 0; }
    uint16_t port() const { return port_; }
    const std::string& error() const { return error_; }

private:
    bool startOnce(uint16_t port);

    std::vector<std::string> options_;
    pid_t pid_ = -1;
    uint16_t port_ = 0;
    std::string error_;
};
