// One MX look-up through TSmartNSLookup against dnsmasq on loopback, with
// dig +tcp asking the same server the same question in the same run.
//
//   bench_mx <runs>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/Measure.h"
#include "dns/SmartNSLookup.h"
#include "tests/support/DnsmasqHarness.h"

namespace {

bool LookUpMx(TSmartNSLookup& Lookup, uint16_t Port, int& Answers)
{
    Lookup.Reset(true);
    Lookup.Header().SetRD(true);
    Lookup.Question().SetQName("mail.test");
    Lookup.Question().SetQType("MX");
    Lookup.Question().SetQClass("IN");
    Lookup.SetTimeout(5);
    Lookup.SetTargetHost("127.0.0.1");
    Lookup.SetTargetPort(std::to_string(Port));
    const bool Found = Lookup.Lookup();
    Answers = Lookup.Answers().Count();
    return Found;
}

} // namespace

int main(int argc, char** argv)
{
    const int Runs = argc == 2 ? std::atoi(argv[1]) : 20;
    DnsmasqHarness Server;
    Server.addMx("mail.test", "mx30.mail.test", 30);
    Server.addMx("mail.test", "mx10.mail.test", 10);
    Server.addMx("mail.test", "mx20.mail.test", 20);
    if (!Server.start()) {
        std::printf("dnsmasq did not start: %s\n", Server.error().c_str());
        return 1;
    }
    const std::vector<std::string> Dig = { "dig", "+tcp", "+tries=1", "+time=5", "-p", std::to_string(Server.port()),
        "@127.0.0.1", "mail.test", "MX" };

    TSmartNSLookup Lookup;
    std::vector<double> Ours;
    std::vector<double> Theirs;
    int Answers = 0;
    LookUpMx(Lookup, Server.port(), Answers); // both sides start warm
    TimeCommand(Dig);
    for (int Run = 0; Run < Runs; ++Run) {
        const auto Start = BenchClock::now();
        const bool Found = LookUpMx(Lookup, Server.port(), Answers);
        const double Seconds = SecondsSince(Start);
        const double DigSeconds = TimeCommand(Dig);
        if (!Found || Answers != 3 || DigSeconds < 0) {
            std::printf("look-up failed (%d answers, dig %.3f)\n", Answers, DigSeconds);
            return 1;
        }
        std::printf("run %d: TSmartNSLookup %.5f s, dig %.5f s\n", Run + 1, Seconds, DigSeconds);
        Ours.push_back(Seconds);
        Theirs.push_back(DigSeconds);
    }
    PrintResult("mx_seconds", Median(Ours));
    PrintResult("mx_dig_seconds", Median(Theirs));
    PrintResult("mx_ratio", Median(Ours) / Median(Theirs));
    return 0;
}
