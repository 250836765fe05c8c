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
    // An empty target is "." (service not offered); dnsmasq then answers port 1.
    void addSrv(const std::string& service, const std::string& target, int port, int priority, int weight);

    // The zone the look-up tests share: "mail.test" with MX 20, 10, 30 in that
    // answer order, "alias.test" a CNAME of it, "plain.test" an address only,
    // "nomail.test" a null MX, "odd.test" MX 10 mx10.mail.test, 20
    // "mx.odd.test:2525" and 30 "mx x.odd.test".
    // SRV (order of the answers varies): "_pop3s._tcp.srv.test" 10/20/995
    // pop-a, 10/60/995 pop-b, 20/0/1995 pop-c; "_pop3._tcp.srv.test" 5/0/110
    // pop-d, 10/50/1110 pop-e (all ".srv.test"); "srv.test" also MX 10
    // mx.srv.test. "_pop3s._tcp.srvonly.test" 0/0/995 pop.srvonly.test and
    // nothing else; "_pop3._tcp.nosrv.test" target "." beside MX 10
    // mx10.mail.test.
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
