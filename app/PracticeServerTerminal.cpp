#include "app/PracticeServerTerminal.h"

#include <QFile>

#include <csignal>
#include <cstdio>
#include <pthread.h>
#include <string>
#include <vector>

#include "practice/PracticeServer.h"
#include "practice/PracticeTls.h"
#include "practice/ReplayServer.h"

namespace {

// Blocked before a worker starts, so that it inherits the mask and the
// signals reach sigwait() in WaitForStop().
sigset_t BlockStopSignals()
{
    sigset_t Stop;
    sigemptyset(&Stop);
    sigaddset(&Stop, SIGINT);
    sigaddset(&Stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &Stop, nullptr);
    return Stop;
}

// One fact a line, "Name: Wert", so that scripts can read them; then runs
// until Ctrl+C or SIGTERM.
template <typename TServer>
int ServeUntilStopped(TServer& Server, const sigset_t& Stop, const std::vector<std::string>& Facts)
{
    std::printf("Brieflotse-Übungs-Server läuft.\n");
    std::printf("Adresse: pop3://127.0.0.1:%d\n", Server.Port());
    std::printf("Adresse (TLS): pop3s://127.0.0.1:%d\n", Server.TlsPort());
    for (const std::string& Fact : Facts)
        std::printf("%s\n", Fact.c_str());
    std::printf("Zertifikat (SHA-256): %s\n", Server.Tls()->Fingerprint().c_str());
    std::printf("Beenden mit Strg+C.\n");
    std::fflush(stdout);
    int Signal = 0;
    while (sigwait(&Stop, &Signal) != 0) { }
    Server.Stop();
    std::printf("Übungs-Server beendet.\n");
    return 0;
}

int RunReplayInTerminal(const TCommandLine& Line)
{
    const sigset_t Stop = BlockStopSignals();
    TReplayOptions Options;
    Options.Path = QFile::encodeName(Line.ReplayFile).toStdString();
    Options.Timing = Line.ReplayTiming;
    Options.Port = Line.PracticePort;
    Options.TlsPort = Line.PracticeTlsPort;
    TReplayServer Server(Options);
    Server.OnDiagnostic = [](const std::string& Text) {
        std::fprintf(stderr, "brieflotse: Mitschnitt %s\n", Text.c_str());
        std::fflush(stderr);
    };
    if (!Server.Start()) {
        if (Server.FileProblem()) {
            // The reader names the file itself when it cannot open it.
            const bool Named = Server.Problem().find(Options.Path) != std::string::npos;
            std::fprintf(stderr, "brieflotse: Mitschnitt %s%s%s\n", Named ? "" : Options.Path.c_str(),
                Named ? "" : ": ", Server.Problem().c_str());
            return 2;
        }
        std::fprintf(stderr, "brieflotse: der Übungs-Server startet nicht: %s\n", Server.Problem().c_str());
        return 1;
    }
    // The same facts as without --replay, then the recording's.
    return ServeUntilStopped(Server, Stop,
        { "Mitschnitt: " + Options.Path, "Verbindungen im Mitschnitt: " + std::to_string(Server.Connections()),
            std::string("Pausen: ") + (Options.Timing ? "wie aufgezeichnet" : "keine") });
}

} // namespace

int RunPracticeServerInTerminal(const TCommandLine& Line)
{
    if (!Line.ReplayFile.isEmpty())
        return RunReplayInTerminal(Line);
    const sigset_t Stop = BlockStopSignals();

    TPracticeOptions Options;
    Options.Port = Line.PracticePort;
    Options.TlsPort = Line.PracticeTlsPort;
    TPracticeServer Server(Options);
    TPracticeFault Fault = TPracticeFault::None;
    ParsePracticeFault(Line.PracticeFault.toStdString(), Fault);
    Server.SetFault(Fault);
    if (!Server.Start()) {
        std::fprintf(stderr, "brieflotse: der Übungs-Server startet nicht: %s\n", Server.Problem().c_str());
        return 1;
    }
    return ServeUntilStopped(Server, Stop,
        { std::string("Name: ") + kPracticeUser, std::string("Paßwort: ") + kPracticePassword,
            "Fehlerbild: " + PracticeFaultName(Fault) });
}
