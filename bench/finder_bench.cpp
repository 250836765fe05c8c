// The address finder against dnsmasq (SRV, MX) and the Python config server
// on loopback, with the database and one autoconfig file answering late: the
// whole search next to its slowest chain of questions (a source behind the
// MX waits for the MX), and how long a stop takes while every source waits
// on servers that never answer.
//
//   bench_finder <runs>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bench/Measure.h"
#include "discovery/AddressFinder.h"
#include "tests/support/ConfigServerHarness.h"
#include "tests/support/DnsmasqHarness.h"
#include "tests/support/TestCertificates.h"

namespace {

std::string Config(const std::string& Host)
{
    return "<clientConfig version=\\\"1.1\\\"><emailProvider id=\\\"x\\\"><incomingServer type=\\\"pop3\\\"><hostname>"
        + Host
        + "</hostname><port>995</port><socketType>SSL</socketType><username>%EMAILADDRESS%</username>"
          "</incomingServer></emailProvider></clientConfig>";
}

std::string Route(const std::string& Key, const std::string& Host, double Delay)
{
    return "\"" + Key + "\": {\"body\": \"" + Config(Host) + "\", \"delay\": " + std::to_string(Delay) + "}";
}

TFinderQuery Anna()
{
    TFinderQuery Query;
    std::string Problem;
    ParseFinderQuery("anna@beispiel.test", Query, Problem);
    return Query;
}

// The longest chain of questions: rows behind the MX start when the MX is known.
int64_t SlowestChainMs(const TFinderReport& Report)
{
    int64_t MX = 0;
    for (const TSourceRow& Row : Report.Sources)
        if (Row.Asked.rfind("MX ", 0) == 0)
            MX = Row.Ms;
    int64_t Slowest = 0;
    for (const TSourceRow& Row : Report.Sources) {
        const bool Behind = Row.Source.rfind("mx-", 0) == 0 && Row.Asked.rfind("MX ", 0) != 0;
        Slowest = std::max(Slowest, Row.Ms + (Behind ? MX : 0));
    }
    return Slowest;
}

} // namespace

int main(int argc, char** argv)
{
    const int Runs = argc == 2 ? std::atoi(argv[1]) : 10;
    std::string Error;
    const TestCertificates* Certificates = TestCertificates::shared(&Error);
    if (!Certificates) {
        std::printf("no test certificates: %s\n", Error.c_str());
        return 1;
    }
    Certificates->trustInThisProcess();
    DnsmasqHarness Dns;
    Dns.addSrv("_pop3s._tcp.beispiel.test", "pop-srv.anbieter.test", 995, 10, 0);
    Dns.addMx("beispiel.test", "mx1.anbieter.test", 10);
    if (!Dns.start()) {
        std::printf("dnsmasq did not start: %s\n", Dns.error().c_str());
        return 1;
    }
    const std::string Routes = "{" + Route("autoconfig.beispiel.test /mail/config-v1.1.xml", "pop.beispiel.test", 0.3)
        + ", " + Route("ispdb.test /v1.1/beispiel.test", "pop.beispiel.test", 0.6) + ", "
        + Route("autoconfig.anbieter.test /mail/config-v1.1.xml", "pop.anbieter.test", 0.2) + "}";
    ConfigServerHarness Web;
    const char* Source = std::getenv("BRIEFLOTSE_SOURCE_DIR");
    if (!Web.start(Routes, *Certificates, Source ? Source : ".")) {
        std::printf("the config server did not start\n");
        return 1;
    }
    std::string Pins;
    for (const char* Host : { "autoconfig.beispiel.test", "beispiel.test", "ispdb.test", "autoconfig.anbieter.test" })
        Pins += std::string(Pins.empty() ? "" : ",") + Host + ":443:127.0.0.1@" + std::to_string(Web.httpsPort());
    ::setenv("BRIEFLOTSE_RESOLVE", Pins.c_str(), 1);
    ::setenv("BRIEFLOTSE_ISPDB", "https://ispdb.test/v1.1/", 1);
    ::setenv("BRIEFLOTSE_NAMESERVER", ("127.0.0.1:" + std::to_string(Dns.port())).c_str(), 1);

    std::vector<double> Totals;
    std::vector<double> Overheads;
    for (int Run = 0; Run < Runs; ++Run) {
        const auto Start = BenchClock::now();
        const TFinderReport Report = TAddressFinder(Anna(), {}).Run();
        Totals.push_back(SecondsSince(Start));
        const double Slowest = static_cast<double>(SlowestChainMs(Report)) / 1000.0;
        Overheads.push_back(Totals.back() - Slowest);
        std::printf("run %d: %.3f s, slowest chain %.3f s, %zu rows, %zu candidates\n", Run + 1, Totals.back(), Slowest,
            Report.Sources.size(), Report.Candidates.size());
        if (Report.Candidates.size() < 3)
            return 1;
    }

    // Every source waits on a listener that never answers, then the stop.
    const int Listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in Address {};
    Address.sin_family = AF_INET;
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t Length = sizeof(Address);
    if (::bind(Listener, reinterpret_cast<sockaddr*>(&Address), sizeof(Address)) != 0 || ::listen(Listener, 64) != 0)
        return 1;
    ::getsockname(Listener, reinterpret_cast<sockaddr*>(&Address), &Length);
    const std::string Port = std::to_string(ntohs(Address.sin_port));
    ::setenv("BRIEFLOTSE_NAMESERVER", ("127.0.0.1:" + Port).c_str(), 1);
    std::vector<double> Stops;
    for (int Run = 0; Run < Runs; ++Run) {
        TFinderOptions Options;
        Options.ProviderDatabase = "https://127.0.0.1:" + Port + "/v1.1/";
        TAddressFinder Finder(Anna(), Options);
        std::thread Search([&] { Finder.Run(); });
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const auto Stop = BenchClock::now();
        Finder.Cancel();
        Search.join();
        Stops.push_back(SecondsSince(Stop));
        std::printf("stop %d: %.4f s\n", Run + 1, Stops.back());
    }
    ::close(Listener);
    PrintResult("finder_seconds", Median(Totals));
    PrintResult("finder_overhead_seconds", *std::max_element(Overheads.begin(), Overheads.end()));
    PrintResult("finder_stop_seconds", *std::max_element(Stops.begin(), Stops.end()));
    return 0;
}
