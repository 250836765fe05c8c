#include "app/ServerCheckTerminal.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <unistd.h>

#include <QGuiApplication>

#include "auth/AuthCrypto.h"
#include "check/CheckHtml.h"
#include "check/CheckJson.h"
#include "check/CheckText.h"
#include "check/ServerCheck.h"
#include "dialogs/HtmlPdf.h"

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

bool WriteFile(const std::string& Data, const QString& Path)
{
    std::ofstream File(Path.toStdString(), std::ios::binary | std::ios::trunc);
    File << Data;
    File.close();
    return File.good();
}

// Qt lays the HTML out on pages; its fonts need an application object, which
// in the terminal has no display to show anything on.
bool WritePdf(const std::string& Html, const QString& Path)
{
    std::unique_ptr<QGuiApplication> Application;
    if (!QCoreApplication::instance()) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        static int Count = 1;
        static char Name[] = "brieflotse";
        static char* Values[] = { Name, nullptr };
        Application = std::make_unique<QGuiApplication>(Count, Values);
    }
    const QByteArray Pdf = HtmlAsPdf(Html, QStringLiteral("Server-Prüfung"));
    return !Pdf.isEmpty() && WriteFile(Pdf.toStdString(), Path);
}

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
        if (!IsSafeCredential(Options.Password)) {
            std::fprintf(stderr, "brieflotse: --password-stdin: das Paßwort enthält Steuerzeichen.\n");
            return kCheckUsageExitCode;
        }
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
    const std::string Html = Line.CheckHtml.isEmpty() && Line.CheckPdf.isEmpty() ? "" : ReportHtml(Report);
    bool Written = true;
    for (const auto& [Path, Write] : { std::pair(Line.CheckHtml, &WriteFile), std::pair(Line.CheckPdf, &WritePdf) }) {
        if (Path.isEmpty() || Write(Html, Path))
            continue;
        std::fprintf(stderr, "brieflotse: %s kann nicht geschrieben werden.\n", Path.toLocal8Bit().constData());
        Written = false;
    }
    // A report that could not be written is no "all good".
    return Written ? ExitCodeOf(Report) : std::max(ExitCodeOf(Report), 2);
}
