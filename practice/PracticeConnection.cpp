#include "practice/PracticeConnection.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "net/TlsShared.h"
#include "net/WinsockErrors.h"
#include "practice/PracticeTls.h"

namespace {

const size_t kOutputChunk = 64 * 1024;
const int kReadSize = 4096;
// Steps per Service() call, so that one busy client cannot starve the others.
const int kStepsPerService = 64;

} // namespace

TPracticeConnection::TPracticeConnection(
    int Socket, bool ImplicitTls, const TPracticeTls* Tls, const TPracticeSetup& Setup, const TPracticeTimes& Times)
    : FSocket(Socket)
    , FTls(Tls)
    , FSession(Setup)
    , FTimes(Times)
    , FLastActivity(TClock::now())
    , FFirstCommandBy(FLastActivity + Times.FirstCommand)
{
    if (ImplicitTls) {
        StartHandshake();
        if (FFinished)
            return;
    }
    Queue(FSession.Greeting());
}

TPracticeConnection::~TPracticeConnection()
{
    Finish(false);
}

void TPracticeConnection::Finish(bool Orderly)
{
    CloseClient(FSsl, FSocket, Orderly);
    FFinished = true;
}

void TPracticeConnection::CutOff(const char* Text)
{
    if (!FSsl && !FHandshaking && FSocket >= 0) [[maybe_unused]]
        const ssize_t Ignored = ::send(FSocket, Text, std::strlen(Text), MSG_NOSIGNAL);
    Finish(false);
}

void TPracticeConnection::StartHandshake()
{
    FSsl = FTls ? FTls->NewSession(FSocket) : nullptr;
    if (!FSsl)
        return Finish(false);
    FHandshaking = true;
    FHandshakeBy = TClock::now() + FTimes.Line;
}

TPracticeConnection::TClock::time_point TPracticeConnection::TooSlowAt() const
{
    TClock::time_point At = TClock::time_point::max();
    if (FHandshaking)
        At = FHandshakeBy;
    if (FAwaitingFirst)
        At = std::min(At, FFirstCommandBy);
    // Nothing is read while an answer goes out: the line's clock waits meanwhile.
    if (FLineOpen && !FHeld && !Pending())
        At = std::min(At, FLineBy);
    return At;
}

void TPracticeConnection::Queue(const TPracticeAnswer& Answer)
{
    FAnswering = true;
    FOut.erase(0, FOutSent);
    FOutSent = 0;
    FOut += Answer.Lines;
    FBody = Answer.Body;
    FBodySent = 0;
    FAtLineStart = true;
    FAfter = Answer.After;
    if (Answer.DelayMs > 0) {
        FHeld = true;
        FHoldUntil = TClock::now() + std::chrono::milliseconds(Answer.DelayMs);
    }
}

bool TPracticeConnection::Pending() const
{
    return FOutSent < FOut.size() || FBody.Text;
}

// Tops the output up to one chunk from the body, dot-stuffing lines that start with ".".
void TPracticeConnection::FillOutput()
{
    if (FOutSent == FOut.size()) {
        FOut.clear();
        FOutSent = 0;
    }
    if (!FBody.Text || FOut.size() - FOutSent >= kOutputChunk)
        return;
    const std::string& Text = *FBody.Text;
    while (FOut.size() < kOutputChunk && FBodySent < FBody.End) {
        if (FAtLineStart && Text[FBodySent] == '.')
            FOut += '.';
        const size_t LineEnd = Text.find('\n', FBodySent);
        const size_t Stop = std::min(LineEnd == std::string::npos ? FBody.End : LineEnd + 1, FBody.End);
        const size_t Take = std::min(Stop - FBodySent, kOutputChunk);
        FOut.append(Text, FBodySent, Take);
        FBodySent += Take;
        FAtLineStart = FOut.back() == '\n';
    }
    if (FBodySent == FBody.End) {
        if (FBody.Terminate)
            FOut += FAtLineStart ? ".\r\n" : "\r\n.\r\n";
        FBody = TPracticeBody();
    }
}

bool TPracticeConnection::TakeLine(std::string& Line)
{
    const size_t Limit = FSession.LineLimit();
    for (;;) {
        const size_t End = FIn.find('\n');
        if (End == std::string::npos) {
            if (FIn.size() >= Limit && !FDiscarding) {
                // Refused at once; the rest of it is dropped when it comes.
                FDiscarding = true;
                FIn.clear();
                Queue(FSession.LineTooLong());
            } else if (FDiscarding)
                FIn.clear();
            return false;
        }
        Line = FIn.substr(0, End);
        FIn.erase(0, End + 1);
        if (FDiscarding) {
            FDiscarding = false;
            continue;
        }
        if (Line.size() + 1 > Limit) {
            Queue(FSession.LineTooLong());
            Line.clear();
            return false;
        }
        if (!Line.empty() && Line.back() == '\r')
            Line.pop_back();
        return true;
    }
}

TTlsStep TPracticeConnection::Read(char* Buffer, int Size, int& Count)
{
    Count = 0;
    if (FSsl) {
        ERR_clear_error();
        const int Result = SSL_read(FSsl, Buffer, Size);
        if (Result > 0) {
            Count = Result;
            return tlsDone;
        }
        return ClassifyTlsResult(FSsl, Result).Step;
    }
    const ssize_t Result = ::recv(FSocket, Buffer, static_cast<size_t>(Size), 0);
    if (Result > 0) {
        Count = static_cast<int>(Result);
        return tlsDone;
    }
    if (Result == 0)
        return tlsClosed;
    return ErrnoWouldBlock(errno) ? tlsWantRead : tlsFailed;
}

TTlsStep TPracticeConnection::Write(const char* Data, int Size, int& Count)
{
    Count = 0;
    if (FSsl) {
        ERR_clear_error();
        const int Result = SSL_write(FSsl, Data, Size);
        if (Result > 0) {
            Count = Result;
            return tlsDone;
        }
        return ClassifyTlsResult(FSsl, Result).Step;
    }
    const ssize_t Result = ::send(FSocket, Data, static_cast<size_t>(Size), MSG_NOSIGNAL);
    if (Result >= 0) {
        Count = static_cast<int>(Result);
        return tlsDone;
    }
    return ErrnoWouldBlock(errno) ? tlsWantWrite : tlsFailed;
}

TTlsStep TPracticeConnection::Handshake()
{
    ERR_clear_error();
    const int Result = SSL_do_handshake(FSsl);
    if (Result == 1)
        return tlsDone;
    return ClassifyTlsResult(FSsl, Result).Step;
}

short TPracticeConnection::Events() const
{
    if (FFinished || FHeld)
        return 0;
    return FWantWrite ? POLLOUT : POLLIN;
}

TPracticeConnection::TClock::time_point TPracticeConnection::Deadline() const
{
    const TClock::time_point End = std::min(FLastActivity + FTimes.Idle, TooSlowAt());
    return FHeld ? std::min(FHoldUntil, End) : End;
}

void TPracticeConnection::Service()
{
    FDue = false;
    if (FFinished)
        return;
    const TClock::time_point Now = TClock::now();
    if (Now >= FLastActivity + FTimes.Idle)
        return CutOff("-ERR Zeitueberschreitung, die Verbindung wird beendet\r\n");
    if (Now >= TooSlowAt())
        return CutOff("-ERR Zeitueberschreitung: Kommando nicht rechtzeitig vollstaendig\r\n");
    for (int Steps = 0; Steps < kStepsPerService; ++Steps) {
        if (!Step())
            return;
    }
    FDue = !FFinished;
}

// One step; false when the socket has to be waited for (or the connection ended).
bool TPracticeConnection::Step()
{
    if (FFinished)
        return false;
    if (FHeld && TClock::now() < FHoldUntil)
        return false;
    FHeld = false;
    FWantWrite = false;
    if (FHandshaking) {
        const TTlsStep Result = Handshake();
        if (Result == tlsDone) {
            FHandshaking = false;
            FSession.TlsStarted();
            return true;
        }
        if (Result == tlsWantRead || Result == tlsWantWrite) {
            FWantWrite = Result == tlsWantWrite;
            return false;
        }
        Finish(false);
        return false;
    }
    if (Pending()) {
        FillOutput();
        int Count = 0;
        const TTlsStep Result = Write(FOut.data() + FOutSent, static_cast<int>(FOut.size() - FOutSent), Count);
        if (Result == tlsDone) {
            FOutSent += static_cast<size_t>(Count);
            FLastActivity = TClock::now(); // a client reading a long answer is not idle
            return true;
        }
        if (Result == tlsWantRead || Result == tlsWantWrite) {
            FWantWrite = Result == tlsWantWrite;
            return false;
        }
        Finish(false);
        return false;
    }
    if (FAfter != TPracticeAfter::Nothing) {
        const TPracticeAfter After = FAfter;
        FAfter = TPracticeAfter::Nothing;
        if (After == TPracticeAfter::StartTls) {
            // Anything sent after STLS in the clear is dropped, never read as a command.
            FIn.clear();
            FLineOpen = FDiscarding = false;
            StartHandshake();
            return !FFinished;
        }
        Finish(After == TPracticeAfter::Close);
        return false;
    }
    if (FAnswering) {
        // The answer is out: a line begun meanwhile gets its full time from now.
        FAnswering = false;
        FLineBy = TClock::now() + FTimes.Line;
    }
    std::string Line;
    const bool Whole = TakeLine(Line);
    // A line is under way while part of one is held or one is being dropped.
    const bool Open = !FIn.empty() || FDiscarding;
    if (Open && !FLineOpen)
        FLineBy = TClock::now() + FTimes.Line;
    FLineOpen = Open;
    if (Whole) {
        FLastActivity = TClock::now();
        FAwaitingFirst = false;
        Queue(FSession.Answer(Line));
        return true;
    }
    if (Pending())
        return true; // a line too long was refused
    char Buffer[kReadSize];
    int Count = 0;
    const TTlsStep Result = Read(Buffer, kReadSize, Count);
    if (Result == tlsDone) {
        if (!FLineOpen)
            FLineBy = TClock::now() + FTimes.Line;
        FLineOpen = true;
        FIn.append(Buffer, static_cast<size_t>(Count));
        return true;
    }
    if (Result == tlsWantRead || Result == tlsWantWrite) {
        FWantWrite = Result == tlsWantWrite;
        return false;
    }
    Finish(false);
    return false;
}
