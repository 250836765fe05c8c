#include "practice/PracticeServer.h"

#include <sys/socket.h>
#include <unistd.h>

#include "practice/PracticeConnection.h"
#include "practice/PracticeTls.h"

TPracticeServer::TPracticeServer(const TPracticeOptions& Options)
    : FOptions(Options)
{
}

TPracticeServer::~TPracticeServer()
{
    Stop();
}

void TPracticeServer::SetFault(TPracticeFault Fault)
{
    FFault = Fault;
    // Chosen just now: the next log-in is "too soon" and shows [LOGIN-DELAY] at once.
    if (Fault == TPracticeFault::LoginDelay)
        FLoginClock.Record();
}

bool TPracticeServer::Start()
{
    if (Running())
        return true;
    FProblem.clear();
    if (FOptions.WithTls && !FTls) {
        FTls = std::make_unique<TPracticeTls>();
        if (!FTls->Ready()) {
            FProblem = "TLS: " + FTls->Problem();
            FTls.reset();
            return false;
        }
    }
    return FLoop.Start(
        FOptions.Port, FOptions.TlsPort, FOptions.WithTls,
        [this](int Socket, bool OnTls, size_t Clients) { return Accept(Socket, OnTls, Clients); }, FProblem);
}

void TPracticeServer::Stop()
{
    FLoop.Stop();
}

std::unique_ptr<TPracticeClient> TPracticeServer::Accept(int Socket, bool OnTls, size_t Clients)
{
    if (Clients >= FOptions.MaxConnections) {
        // The TLS port only closes: a client there expects a handshake, not plain text.
        if (!OnTls) {
            const char Text[] = "-ERR [SYS/TEMP] Zu viele Verbindungen, bitte spaeter noch einmal\r\n";
            [[maybe_unused]] const ssize_t Ignored = ::send(Socket, Text, sizeof Text - 1, MSG_NOSIGNAL);
        }
        ::close(Socket);
        return nullptr;
    }
    TPracticeTimes Times;
    Times.Idle = std::chrono::seconds(FOptions.IdleSeconds);
    Times.Line = std::chrono::seconds(FOptions.LineSeconds);
    Times.FirstCommand = std::chrono::seconds(FOptions.FirstCommandSeconds);
    TPracticeSetup Setup;
    Setup.Fault = FFault;
    Setup.Encrypted = OnTls;
    Setup.TlsOffered = FTls != nullptr;
    Setup.SlowMs = FOptions.SlowMs;
    Setup.LoginDelaySeconds = FOptions.LoginDelaySeconds;
    Setup.LoginClock = &FLoginClock;
    Setup.OnExchange = OnExchange;
    Setup.OnFault = OnFault;
    return std::make_unique<TPracticeConnection>(Socket, OnTls, FTls.get(), Setup, Times);
}
