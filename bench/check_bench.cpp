// The server check of one address with both ports (995-style TLS and 110-style
// plain with STLS) against Dovecot on loopback: good certificate, TLS 1.2 and
// newer, no log-in in clear text. Once with refusals at once and once with
// Dovecot's own 2 s delay after a failed log-in, which the check's refused
// log-in inside TLS has to wait for.
//
//   bench_check <runs>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/Measure.h"
#include "check/ServerCheck.h"
#include "tests/support/DovecotHarness.h"
#include "tests/support/TestCertificates.h"

namespace {

bool Measure(const TestCertificates& Certificates, bool Delay, int Runs, std::vector<double>& Seconds)
{
    DovecotHarness::Options Options;
    Options.tlsCertificate = Certificates.certificateFile(TestCertificates::Kind::Good);
    Options.tlsKey = Certificates.keyFile();
    Options.disablePlaintextAuth = true;
    Options.listenAddress = "127.0.0.2";
    Options.noFailureDelay = !Delay;
    DovecotHarness Server(Options);
    std::string Error;
    if (!Server.start(&Error)) {
        std::printf("dovecot did not start: %s\n", Error.c_str());
        return false;
    }
    TCheckOptions Check;
    Check.Host = "127.0.0.2";
    Check.TlsPort = Server.tlsPort();
    Check.PlainPort = Server.port();
    for (int Run = 0; Run < Runs; ++Run) {
        const auto Start = BenchClock::now();
        const TCheckReport Report = TServerCheck(Check).Run();
        Seconds.push_back(SecondsSince(Start));
        std::printf("run %d%s: %.3f s, %zu findings, exit code %d\n", Run + 1, Delay ? " (failure delay)" : "",
            Seconds.back(), Report.Checks.size(), ExitCodeOf(Report));
        for (const TPortFacts& Port : Report.Addresses.at(0).Ports)
            for (const auto& [Probe, Ms] : Port.ProbeMs)
                std::printf("  port %u %s: %lld ms\n", Port.Port, Probe.c_str(), static_cast<long long>(Ms));
        if (ExitCodeOf(Report) != 0)
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    const int Runs = argc == 2 ? std::atoi(argv[1]) : 5;
    std::string Error;
    const TestCertificates* Certificates = TestCertificates::shared(&Error);
    if (!Certificates) {
        std::printf("no test certificates: %s\n", Error.c_str());
        return 1;
    }
    Certificates->trustInThisProcess();
    std::vector<double> Quick;
    std::vector<double> Delayed;
    if (!Measure(*Certificates, false, Runs, Quick) || !Measure(*Certificates, true, 1, Delayed))
        return 1;
    PrintResult("check_seconds", Median(Quick));
    PrintResult("check_delay_seconds", Median(Delayed));
    return 0;
}
