#include "app/FinderTerminal.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <unistd.h>

#include "discovery/AddressFinder.h"
#include "discovery/FinderReport.h"

namespace {

std::atomic<TAddressFinder*> RunningFinder { nullptr };

void StopOnSignal(int)
{
    TAddressFinder* Finder = RunningFinder.load();
    if (Finder)
        Finder->Cancel();
}

class TTerminalRows : public TFinderObserver {
public:
    void SourceDone(const TSourceRow& Row) override
    {
        std::fprintf(stderr, "[%s] %s: %s\n", Row.Source.c_str(), Row.Asked.c_str(), SourceResultName(Row.Result));
        std::fflush(stderr);
    }
};

} // namespace

int RunFinderInTerminal(const TCommandLine& Line)
{
    TFinderQuery Query;
    std::string Problem;
    ParseFinderQuery(Line.FindQuery.toStdString(), Query, Problem);
    TTerminalRows Rows;
    TAddressFinder Finder(Query, {}, ::isatty(STDERR_FILENO) ? &Rows : nullptr);
    RunningFinder.store(&Finder);
    struct sigaction Action { };
    Action.sa_handler = StopOnSignal;
    sigemptyset(&Action.sa_mask);
    struct sigaction Previous { };
    sigaction(SIGINT, &Action, &Previous);
    const TFinderReport Report = Finder.Run();
    sigaction(SIGINT, &Previous, nullptr);
    RunningFinder.store(nullptr);
    const std::string Out = Line.FindJson ? FinderJson(Report) : FinderText(Report);
    std::fwrite(Out.data(), 1, Out.size(), stdout);
    std::fflush(stdout);
    return FinderExitCode(Report);
}
