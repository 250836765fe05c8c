#include "practice/ReplayServer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "net/TlsSession.h"
#include "net/TlsShared.h"
#include "net/WinsockErrors.h"
#include "practice/PracticeServer.h"
#include "practice/PracticeTls.h"

namespace {

using TClock = std::chrono::steady_clock;

const int kReadSize = 4096;
// A line longer than any command: its first part is compared (and differs), the rest dropped.
const size_t kLineLimit = 64 * 1024;
const int kStepsPerService = 64;

// One client: the recording's steps on a non-blocking socket. Nothing waits.
class TReplayConnection {
public:
    TReplayConnection(int Socket, bool ImplicitTls, const TPracticeTls* Tls, const TReplayOptions& Options,
        int32_t Number, const std::function<void(const std::string&)>& Tell)
        : FSocket(Socket)
        , FTls(Tls)
        , FSession(Options.Path, Number, Options.Timing)
        , FIdle(std::chrono::seconds(Options.IdleSeconds))
        , FLastActivity(TClock::now())
        , FTell(Tell)
    {
        // Each recorded chunk goes out as its own segment.
        const int On = 1;
        ::setsockopt(FSocket, IPPROTO_TCP, TCP_NODELAY, &On, sizeof On);
        if (ImplicitTls)
            StartHandshake();
    }
    ~TReplayConnection() { Finish(false); }
    TReplayConnection(const TReplayConnection&) = delete;
    TReplayConnection& operator=(const TReplayConnection&) = delete;

    int Socket() const { return FSocket; }
    bool Finished() const { return FFinished; }
    bool Due() const { return FDue; }
    short Events() const
    {
        if (FFinished || (Pending() && TClock::now() < FHoldUntil))
            return 0;
        return FWantWrite ? POLLOUT : POLLIN;
    }
    TClock::time_point Deadline() const
    {
        const TClock::time_point Idle = FLastActivity + FIdle;
        return Pending() ? std::min(FHoldUntil, Idle) : Idle;
    }
    void Service()
    {
        FDue = false;
        if (FFinished)
            return;
        if (TClock::now() >= FLastActivity + FIdle && !(Pending() && FHoldUntil > FLastActivity))
            return Finish(false);
        for (int Steps = 0; Steps < kStepsPerService; ++Steps) {
            if (!Step())
                return;
        }
        FDue = !FFinished;
    }

private:
    bool Pending() const { return FOutSent < FOut.size(); }

    void Finish(bool Orderly)
    {
        if (FSsl) {
            if (Orderly)
                SSL_shutdown(FSsl);
            SSL_free(FSsl);
            FSsl = nullptr;
        }
        if (FSocket >= 0)
            ::close(FSocket);
        FSocket = -1;
        FFinished = true;
    }

    void StartHandshake()
    {
        FSsl = FTls ? FTls->NewSession(FSocket) : nullptr;
        if (!FSsl)
            return Finish(false);
        FHandshaking = true;
    }

    // A TLS call's result as a step, Count set when it did something.
    TTlsStep TlsResult(int Result, int& Count) const
    {
        if (Result > 0) {
            Count = Result;
            return tlsDone;
        }
        return ClassifyTlsResult(FSsl, Result).Step;
    }

    TTlsStep Read(char* Buffer, int Size, int& Count)
    {
        Count = 0;
        ERR_clear_error();
        if (FSsl)
            return TlsResult(SSL_read(FSsl, Buffer, Size), Count);
        const ssize_t Result = ::recv(FSocket, Buffer, static_cast<size_t>(Size), 0);
        if (Result > 0)
            Count = static_cast<int>(Result);
        if (Result >= 0)
            return Result > 0 ? tlsDone : tlsClosed;
        return ErrnoWouldBlock(errno) ? tlsWantRead : tlsFailed;
    }

    TTlsStep Write(const char* Data, int Size, int& Count)
    {
        Count = 0;
        ERR_clear_error();
        if (FSsl)
            return TlsResult(SSL_write(FSsl, Data, Size), Count);
        const ssize_t Result = ::send(FSocket, Data, static_cast<size_t>(Size), MSG_NOSIGNAL);
        if (Result >= 0)
            Count = static_cast<int>(Result);
        if (Result >= 0)
            return tlsDone;
        return ErrnoWouldBlock(errno) ? tlsWantWrite : tlsFailed;
    }

    // False when the socket has to be waited for, or the connection ended.
    bool Waits(TTlsStep Result)
    {
        if (Result == tlsWantRead || Result == tlsWantWrite) {
            FWantWrite = Result == tlsWantWrite;
            return false;
        }
        Finish(false);
        return false;
    }

    bool Step()
    {
        FWantWrite = false;
        if (FHandshaking) {
            ERR_clear_error();
            const int Result = SSL_do_handshake(FSsl);
            if (Result == 1) {
                FHandshaking = false;
                return true;
            }
            return Waits(ClassifyTlsResult(FSsl, Result).Step);
        }
        if (Pending()) {
            if (TClock::now() < FHoldUntil)
                return false;
            int Count = 0;
            const TTlsStep Result = Write(FOut.data() + FOutSent, static_cast<int>(FOut.size() - FOutSent), Count);
            if (Result != tlsDone)
                return Waits(Result);
            FOutSent += static_cast<size_t>(Count);
            FLastActivity = TClock::now();
            return true;
        }
        if (FAwaiting)
            return Listen();
        TReplayStep Next = FSession.Next();
        switch (Next.Kind) {
        case TReplayStepKind::Write:
            FOut = std::move(Next.Bytes);
            FOutSent = 0;
            FHoldUntil = TClock::now() + std::chrono::microseconds(Next.DelayMicros);
            return true;
        case TReplayStepKind::AwaitCommand:
            FAwaiting = true;
            return true;
        case TReplayStepKind::StartTls:
            // What came in the clear after STLS is never read as a command.
            FIn.clear();
            if (!FSsl)
                StartHandshake();
            return !FFinished;
        case TReplayStepKind::Close:
            if (!FSession.Problem().empty())
                FTell(FSession.Problem());
            Finish(true);
            return false;
        }
        return false;
    }

    // Waits for the command the recording has next, and compares it.
    bool Listen()
    {
        size_t End = FIn.find('\n');
        if (FDiscarding) {
            // The rest of a line refused as too long, up to its end.
            FIn.erase(0, End == std::string::npos ? FIn.size() : End + 1);
            FDiscarding = End == std::string::npos;
            End = FIn.find('\n');
        }
        if (End == std::string::npos && FIn.size() >= kLineLimit) {
            End = FIn.size() - 1;
            FDiscarding = true;
        }
        if (End != std::string::npos) {
            const std::string Line = FIn.substr(0, End + 1);
            FIn.erase(0, End + 1);
            std::string Reply;
            std::string Diagnostic;
            if (FSession.Command(Line, Reply, Diagnostic)) {
                FAwaiting = false;
            } else {
                FTell(Diagnostic);
                FOut = Reply;
                FOutSent = 0;
                FHoldUntil = TClock::now();
            }
            return true;
        }
        char Buffer[kReadSize];
        int Count = 0;
        const TTlsStep Result = Read(Buffer, kReadSize, Count);
        if (Result != tlsDone)
            return Waits(Result);
        FIn.append(Buffer, static_cast<size_t>(Count));
        FLastActivity = TClock::now();
        return true;
    }

    int FSocket;
    const TPracticeTls* FTls;
    ssl_st* FSsl = nullptr;
    TReplaySession FSession;
    std::chrono::seconds FIdle;
    TClock::time_point FLastActivity;
    TClock::time_point FHoldUntil;
    std::function<void(const std::string&)> FTell;
    std::string FIn;
    std::string FOut;
    size_t FOutSent = 0;
    bool FAwaiting = false;
    bool FDiscarding = false;
    bool FHandshaking = false;
    bool FWantWrite = false;
    bool FFinished = false;
    bool FDue = true;
};

} // namespace

TReplayServer::TReplayServer(const TReplayOptions& Options)
    : FOptions(Options)
{
}

TReplayServer::~TReplayServer()
{
    Stop();
}

void TReplayServer::Tell(const std::string& Text) const
{
    if (OnDiagnostic)
        OnDiagnostic(Text);
}

bool TReplayServer::Start()
{
    if (Running())
        return true;
    FProblem.clear();
    FFileProblem = false;
    if (!ScanReplay(FOptions.Path, FConnections, FProblem)) {
        FFileProblem = true;
        return false;
    }
    if (!FTls) {
        FTls = std::make_unique<TPracticeTls>();
        if (!FTls->Ready()) {
            FProblem = "TLS: " + FTls->Problem();
            FTls.reset();
            return false;
        }
    }
    FListener = PracticeListen(FOptions.Port, FPort, FProblem);
    if (FListener >= 0)
        FTlsListener = PracticeListen(FOptions.TlsPort, FTlsPort, FProblem);
    if (FListener < 0 || FTlsListener < 0 || ::pipe2(FWake, O_NONBLOCK | O_CLOEXEC) != 0) {
        if (FProblem.empty())
            FProblem = std::strerror(errno);
        CloseIfOpen(FListener);
        CloseIfOpen(FTlsListener);
        FPort = FTlsPort = 0;
        return false;
    }
    FStopping = false;
    FWorker = std::thread([this] { Run(); });
    return true;
}

void TReplayServer::Wake()
{
    const char Byte = 1;
    [[maybe_unused]] const ssize_t Ignored = ::write(FWake[1], &Byte, 1);
}

void TReplayServer::Stop()
{
    if (!FWorker.joinable())
        return;
    FStopping = true;
    Wake();
    FWorker.join();
    CloseIfOpen(FListener);
    CloseIfOpen(FTlsListener);
    CloseIfOpen(FWake[0]);
    CloseIfOpen(FWake[1]);
    FPort = FTlsPort = 0;
}

void TReplayServer::Run()
{
    sigset_t Pipe;
    sigemptyset(&Pipe);
    sigaddset(&Pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &Pipe, nullptr);

    std::vector<std::unique_ptr<TReplayConnection>> Clients;
    std::vector<pollfd> Waits;
    size_t Served = 0;
    bool Busy = false;
    while (!FStopping) {
        Waits.clear();
        Waits.push_back({ FWake[0], POLLIN, 0 });
        Waits.push_back({ FListener, POLLIN, 0 });
        Waits.push_back({ FTlsListener, POLLIN, 0 });
        TClock::time_point Next = TClock::now() + std::chrono::hours(1);
        for (const auto& Client : Clients) {
            const short Events = Client->Events();
            Waits.push_back({ Events ? Client->Socket() : -1, Events, 0 });
            Next = std::min(Next, Client->Deadline());
        }
        int Timeout = 0;
        if (!Busy) {
            const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(Next - TClock::now()).count();
            Timeout = static_cast<int>(std::max<long long>(0, std::min<long long>(Left + 1, 3600 * 1000)));
        }
        if (::poll(Waits.data(), Waits.size(), Timeout) < 0 && errno != EINTR)
            break;
        if (Waits[0].revents) {
            char Drain[64];
            while (::read(FWake[0], Drain, sizeof Drain) > 0) { }
        }
        const TClock::time_point Now = TClock::now();
        Busy = false;
        for (size_t Index = 0; Index < Clients.size(); ++Index) {
            TReplayConnection& Client = *Clients[Index];
            if (Waits[Index + 3].revents || Client.Due() || Now >= Client.Deadline())
                Client.Service();
            Busy = Busy || Client.Due();
        }
        Clients.erase(
            std::remove_if(Clients.begin(), Clients.end(), [](const auto& Client) { return Client->Finished(); }),
            Clients.end());
        for (int Which = 1; Which <= 2; ++Which) {
            if (!(Waits[Which].revents & POLLIN))
                continue;
            const int Socket = ::accept4(Waits[Which].fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (Socket < 0)
                continue;
            const bool OnTls = Which == 2;
            if (Served >= FConnections.size() || Clients.size() >= FOptions.MaxConnections) {
                Tell(Served >= FConnections.size() ? "Der Mitschnitt hat nur " + std::to_string(FConnections.size())
                            + " Verbindung(en); eine weitere wird gleich geschlossen."
                                                   : "Zu viele Verbindungen; eine weitere wird gleich geschlossen.");
                ::close(Socket);
                continue;
            }
            const int32_t Number = static_cast<int32_t>(++Served);
            // The port decides about TLS from the first byte; the bytes are the recording's either way.
            if (FConnections[Served - 1].ImplicitTls != OnTls)
                Tell("Verbindung " + std::to_string(Number) + " war im Mitschnitt " + (OnTls ? "ohne" : "mit")
                    + " TLS ab dem ersten Byte, kam aber am " + (OnTls ? "TLS-Port" : "Klartext-Port") + ".");
            Clients.push_back(std::make_unique<TReplayConnection>(
                Socket, OnTls, FTls.get(), FOptions, Number, [this](const std::string& Text) { Tell(Text); }));
            Busy = true;
        }
    }
    Clients.clear();
}
