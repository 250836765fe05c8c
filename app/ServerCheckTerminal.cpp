#include "app/ServerCheckTerminal.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <string>
#include <unistd.h>

#include "auth/AuthCrypto.h"
#include "check/CheckJson.h"
#include "check/CheckText.h"
#include "check/ServerCheck.h"

namespace {

std::atomic<TServerCheck*> RunningCheck { nullptr };

void StopOnSignal(int)
{
    TServerCheck* Check = RunningCheck.load();
    if (Check)
        Check->Cancel();
}

// One line a probe on standard error, so that a person sees it move.
class TTerminalProgress : public TCheckObserver {
public:
    void Progress(int Done, int Total) override
    {
        std::fprintf(stderr, "\rPrüfe ... %d von %d", Done, Total);
        std::fflush(stderr);
    }
};

} // namespace

int RunServerCheckInTerminal(const TCommandLine& Line)
{
    TCheckOptions Options;
    std::string Problem;
    ParseCheckTarget(Line.CheckTarget.toStdString(), Options, Problem);
    Options.User = Line.CheckUser.toStdString();
    if (Line.CheckPasswordStdin) {
        if (!std::getline(std::cin, Options.Password) || Options.Password.empty()) {
            std::fprintf(
                stderr, "brieflotse: --password-stdin: keine Zeile mit dem Paßwort auf der Standardeingabe.\n");
            return kCheckUsageExitCode;
        }
        if (Options.Password.back() == '\r')
            Options.Password.pop_back();
    }
    TTerminalProgress Progress;
    TServerCheck Check(Options, ::isatty(STDERR_FILENO) ? &Progress : nullptr);
    Forget(Options.Password);
    RunningCheck.store(&Check);
    struct sigaction Action { };
    Action.sa_handler = StopOnSignal;
    sigemptyset(&Action.sa_mask);
    struct sigaction Previous { };
    sigaction(SIGINT, &Action, &Previous);
    const TCheckReport Report = Check.Run();
    sigaction(SIGINT, &Previous, nullptr);
    RunningCheck.store(nullptr);
    if (::isatty(STDERR_FILENO))
        std::fprintf(stderr, "\n");

    const std::string Out = Line.CheckJson ? ReportJson(Report) : ReportText(Report);
    std::fwrite(Out.data(), 1, Out.size(), stdout);
    std::fflush(stdout);
    if (!Line.CheckHtml.isEmpty() || !Line.CheckPdf.isEmpty())
        std::fprintf(stderr, "brieflotse: --html und --pdf gibt es noch nicht; der Bericht steht oben.\n");
    return ExitCodeOf(Report);
}
