#include "check/ProbeConnection.h"

#include "check/ServerCheck.h"
#include "net/ConnectRace.h"
#include "net/WinsockErrors.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

void BlockBrokenPipeSignal()
{
    sigset_t Set;
    sigemptyset(&Set);
    sigaddset(&Set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &Set, nullptr);
}

namespace {

int64_t MillisecondsSince(std::chrono::steady_clock::time_point Start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - Start).count();
}

std::string OpenSslReason()
{
    const unsigned long Code = ERR_peek_last_error();
    const char* Text = Code ? ERR_reason_error_string(Code) : nullptr;
    ERR_clear_error();
    return Text ? Text : "handshake failed";
}

} // namespace

TProbeConnection::TProbeConnection(const std::atomic<bool>& Cancel, TProbeTranscript* Transcript)
    : FCancel(Cancel)
    , FTranscript(Transcript)
{
}

TProbeConnection::~TProbeConnection()
{
    Close();
}

bool TProbeConnection::Stopped()
{
    return FCancel.load() && Fail("cancelled");
}

bool TProbeConnection::Fail(const std::string& Why)
{
    if (FError.empty())
        FError = Why;
    return true;
}

void TProbeConnection::Record(bool Sent, const std::string& Text)
{
    if (FTranscript)
        FTranscript->Lines.push_back({ Sent, Text });
}

bool TProbeConnection::Connect(const TPeerAddress& Address, uint16_t Port, int TimeoutMs)
{
    const auto Start = Clock::now();
    TConnectRace Race({ Address }, htons(Port));
    const auto Until = Start + std::chrono::milliseconds(TimeoutMs);
    while (!Race.Won() && !Race.Lost()) {
        if (Stopped()) {
            Race.GiveUp(kWinsockCancelled);
            return false;
        }
        if (Clock::now() >= Until) {
            Race.GiveUp(kWinsockTimedOut);
            Fail("connect timed out");
            return false;
        }
        Race.Poll(kSliceMs);
    }
    if (!Race.Won()) {
        Fail(WinsockErrorText(Race.LastFailure()));
        return false;
    }
    FSocket = Race.TakeSocket();
    ::fcntl(FSocket, F_SETFL, ::fcntl(FSocket, F_GETFL) | O_NONBLOCK);
    FConnectMs = MillisecondsSince(Start);
    return true;
}

bool TProbeConnection::WaitSocket(bool ForWrite, Clock::time_point Until)
{
    while (!Stopped()) {
        const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(Until - Clock::now()).count();
        if (Left <= 0) {
            Fail("timed out");
            return false;
        }
        pollfd Watch { FSocket, static_cast<short>(ForWrite ? POLLOUT : POLLIN), 0 };
        const int Ready = ::poll(&Watch, 1, static_cast<int>(std::min<int64_t>(Left, kSliceMs)));
        if (Ready > 0)
            return true;
        if (Ready < 0 && errno != EINTR) {
            Fail("poll failed");
            return false;
        }
    }
    return false;
}

bool TProbeConnection::StartTls(const TTlsAttempt& Attempt, int TimeoutMs)
{
    if (FSocket < 0)
        return false;
    const auto Start = Clock::now();
    const auto Until = Start + std::chrono::milliseconds(TimeoutMs);
    ERR_clear_error();
    FContext = SSL_CTX_new(TLS_client_method());
    if (!FContext)
        return !Fail(OpenSslReason());
    // Old versions need the lowest security level to be offered at all; what
    // the server accepts is the question, not what this machine would allow.
    SSL_CTX_set_security_level(FContext, 0);
    SSL_CTX_set_cipher_list(FContext, "ALL:@SECLEVEL=0");
    SSL_CTX_set_min_proto_version(FContext, Attempt.Version ? Attempt.Version : TLS1_VERSION);
    SSL_CTX_set_max_proto_version(FContext, Attempt.Version);
    SSL_CTX_set_verify(FContext, SSL_VERIFY_NONE, nullptr);
    SSL_CTX_set_options(FContext, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION);
    FSsl = SSL_new(FContext);
    if (!FSsl || SSL_set_fd(FSsl, FSocket) != 1)
        return !Fail(OpenSslReason());
    if (!Attempt.ServerName.empty())
        SSL_set_tlsext_host_name(FSsl, Attempt.ServerName.c_str());
    // Bytes read ahead in clear text must not count as TLS: a server that
    // sends them is broken, and the reader starts afresh.
    FInput.clear();
    for (;;) {
        ERR_clear_error();
        const int Result = SSL_connect(FSsl);
        if (Result == 1)
            break;
        const int Why = SSL_get_error(FSsl, Result);
        if (Why != SSL_ERROR_WANT_READ && Why != SSL_ERROR_WANT_WRITE) {
            Fail(Why == SSL_ERROR_SYSCALL || Why == SSL_ERROR_ZERO_RETURN ? "closed during the handshake"
                                                                          : OpenSslReason());
            return false;
        }
        if (!WaitSocket(Why == SSL_ERROR_WANT_WRITE, Until))
            return false;
    }
    FEncrypted = true;
    FTlsMs = MillisecondsSince(Start);
    return true;
}

bool TProbeConnection::WriteAll(const std::string& Bytes)
{
    const auto Until = Clock::now() + std::chrono::seconds(10);
    size_t Done = 0;
    while (Done < Bytes.size()) {
        if (FSocket < 0)
            return !Fail("not connected");
        const char* Data = Bytes.data() + Done;
        const size_t Left = Bytes.size() - Done;
        if (FSsl && FEncrypted) {
            ERR_clear_error();
            const int Written = SSL_write(FSsl, Data, static_cast<int>(Left));
            if (Written > 0) {
                Done += static_cast<size_t>(Written);
                continue;
            }
            const int Why = SSL_get_error(FSsl, Written);
            if ((Why != SSL_ERROR_WANT_READ && Why != SSL_ERROR_WANT_WRITE)
                || !WaitSocket(Why == SSL_ERROR_WANT_WRITE, Until))
                return !Fail("write failed");
            continue;
        }
        const ssize_t Written = ::send(FSocket, Data, Left, MSG_NOSIGNAL);
        if (Written > 0) {
            Done += static_cast<size_t>(Written);
            continue;
        }
        if (Written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            if (!WaitSocket(true, Until))
                return false;
            continue;
        }
        return !Fail("write failed");
    }
    return true;
}

bool TProbeConnection::SendLine(const std::string& Line, const std::string& Shown)
{
    Record(true, Shown.empty() ? Line : Shown);
    return WriteAll(Line + "\r\n");
}

bool TProbeConnection::SendRaw(const std::string& Bytes, const std::string& Shown)
{
    Record(true, Shown);
    return WriteAll(Bytes);
}

bool TProbeConnection::Fill(Clock::time_point Until)
{
    char Buffer[4096];
    for (;;) {
        if (Stopped() || FSocket < 0)
            return false;
        if (FSsl && FEncrypted) {
            ERR_clear_error();
            const int Count = SSL_read(FSsl, Buffer, sizeof Buffer);
            if (Count > 0) {
                FInput.append(Buffer, static_cast<size_t>(Count));
                return true;
            }
            const int Why = SSL_get_error(FSsl, Count);
            if (Why == SSL_ERROR_WANT_READ || Why == SSL_ERROR_WANT_WRITE) {
                if (!WaitSocket(Why == SSL_ERROR_WANT_WRITE, Until))
                    return false;
                continue;
            }
            ERR_clear_error();
            return !Fail(
                Why == SSL_ERROR_ZERO_RETURN || Why == SSL_ERROR_SYSCALL ? "connection closed" : "TLS record error");
        }
        const ssize_t Count = ::recv(FSocket, Buffer, sizeof Buffer, 0);
        if (Count > 0) {
            FInput.append(Buffer, static_cast<size_t>(Count));
            return true;
        }
        if (Count == 0)
            return !Fail("connection closed");
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return !Fail(WinsockErrorText(WinsockCodeFromErrno(errno)));
        if (!WaitSocket(false, Until))
            return false;
    }
}

bool TProbeConnection::ReadLine(std::string& Line, int TimeoutMs)
{
    const auto Until = Clock::now() + std::chrono::milliseconds(TimeoutMs);
    for (;;) {
        const size_t End = FInput.find("\r\n");
        // A lone LF ends a line as well; some servers send nothing else.
        const size_t Lf = FInput.find('\n');
        if (End != std::string::npos || Lf != std::string::npos) {
            const size_t Cut = End != std::string::npos && End < Lf ? End : Lf;
            const size_t Skip = Cut == End ? 2 : 1;
            if (Cut > kMaxLine)
                return !Fail("line too long");
            Line = FInput.substr(0, Cut);
            FInput.erase(0, Cut + Skip);
            Record(false, Line);
            return true;
        }
        if (FInput.size() > kMaxLine)
            return !Fail("line too long");
        if (!Fill(Until))
            return false;
    }
}

bool TProbeConnection::ReadBody(std::vector<std::string>& Lines, int TimeoutMs)
{
    const auto Until = Clock::now() + std::chrono::milliseconds(TimeoutMs);
    Lines.clear();
    for (;;) {
        const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(Until - Clock::now()).count();
        std::string Line;
        if (Left <= 0 || !ReadLine(Line, static_cast<int>(Left)))
            return !Fail("timed out");
        if (Line == ".")
            return true;
        if (Lines.size() >= kMaxLines)
            return !Fail("too many lines");
        Lines.push_back(Line.compare(0, 2, "..") == 0 ? Line.substr(1) : Line);
    }
}

bool TProbeConnection::DataArrives(int TimeoutMs)
{
    if (!FInput.empty())
        return true;
    return Fill(Clock::now() + std::chrono::milliseconds(TimeoutMs));
}

void TProbeConnection::Close()
{
    if (FSsl) {
        if (FEncrypted) {
            ERR_clear_error();
            SSL_shutdown(FSsl);
        }
        SSL_free(FSsl);
        FSsl = nullptr;
    }
    if (FContext) {
        SSL_CTX_free(FContext);
        FContext = nullptr;
    }
    ERR_clear_error();
    if (FSocket >= 0) {
        ::close(FSocket);
        FSocket = -1;
    }
    FEncrypted = false;
}
