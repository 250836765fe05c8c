#include "app/PracticeServerTerminal.h"

#include <csignal>
#include <cstdio>
#include <pthread.h>
#include <string>

#include "practice/PracticeServer.h"
#include "practice/PracticeTls.h"

int RunPracticeServerInTerminal(const TCommandLine& Line)
{
    // Blocked before the worker starts, so that it inherits the mask and the
    // signals reach sigwait() below.
    sigset_t Stop;
    sigemptyset(&Stop);
    sigaddset(&Stop, SIGINT);
    sigaddset(&Stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &Stop, nullptr);

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
    // One fact a line, "Name: Wert", so that scripts can read it.
    std::printf("Brieflotse-Übungs-Server läuft.\n");
    std::printf("Adresse: pop3://127.0.0.1:%d\n", Server.Port());
    std::printf("Adresse (TLS): pop3s://127.0.0.1:%d\n", Server.TlsPort());
    std::printf("Name: %s\n", kPracticeUser);
    std::printf("Paßwort: %s\n", kPracticePassword);
    std::printf("Fehlerbild: %s\n", PracticeFaultName(Fault).c_str());
    std::printf("Zertifikat (SHA-256): %s\n", Server.Tls()->Fingerprint().c_str());
    std::printf("Beenden mit Strg+C.\n");
    std::fflush(stdout);

    int Signal = 0;
    while (sigwait(&Stop, &Signal) != 0) { }
    Server.Stop();
    std::printf("Übungs-Server beendet.\n");
    return 0;
}
