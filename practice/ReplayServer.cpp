#include "practice/ReplayServer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "net/TlsSession.h"
#include "net/TlsShared.h"
#include "net/WinsockErrors.h"
#include "practice/PracticeTls.h"

namespace {

const int kReadSize = 4096;
// A line longer than any command: its first part is compared (and differs), the rest dropped.
const size_t kLineLimit = 64 * 1024;
const int kStepsPerService = 64;

// One client: the recording's steps on a non-blocking socket. Nothing waits.
class TReplayConnection : public TPracticeClient {
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
    ~TReplayConnection() override { Finish(false); }
    TReplayConnection(const TReplayConnection&) = delete;
    TReplayConnection& operator=(const TReplayConnection&) = delete;

    int Socket() const override { return FSocket; }
    bool Finished() const override { return FFinished; }
    bool Due() const override { return FDue; }
    short Events() const override
    {
        if (FFinished || (Pending() && TClock::now() < FHoldUntil))
            return 0;
        return FWantWrite ? POLLOUT : POLLIN;
    }
    TClock::time_point Deadline() const override
    {
        const TClock::time_point Idle = FLastActivity + FIdle;
        return Pending() ? std::min(FHoldUntil, Idle) : Idle;
    }
    void Service() override
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
        CloseClient(FSsl, FSocket, Orderly);
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
    FServed = 0;
    return FLoop.Start(
        FOptions.Port, FOptions.TlsPort, true,
        [this](int Socket, bool OnTls, size_t Clients) { return Accept(Socket, OnTls, Clients); }, FProblem);
}

void TReplayServer::Stop()
{
    FLoop.Stop();
}

std::unique_ptr<TPracticeClient> TReplayServer::Accept(int Socket, bool OnTls, size_t Clients)
{
    if (FServed >= FConnections.size() || Clients >= FOptions.MaxConnections) {
        Tell(FServed >= FConnections.size() ? "Der Mitschnitt hat nur " + std::to_string(FConnections.size())
                    + " Verbindung(en); eine weitere wird gleich geschlossen."
                                            : "Zu viele Verbindungen; eine weitere wird gleich geschlossen.");
        ::close(Socket);
        return nullptr;
    }
    const int32_t Number = static_cast<int32_t>(++FServed);
    // The port decides about TLS from the first byte; the bytes are the recording's either way.
    if (FConnections[FServed - 1].ImplicitTls != OnTls)
        Tell("Verbindung " + std::to_string(Number) + " war im Mitschnitt " + (OnTls ? "ohne" : "mit")
            + " TLS ab dem ersten Byte, kam aber am " + (OnTls ? "TLS-Port" : "Klartext-Port") + ".");
    return std::make_unique<TReplayConnection>(
        Socket, OnTls, FTls.get(), FOptions, Number, [this](const std::string& Text) { Tell(Text); });
}
