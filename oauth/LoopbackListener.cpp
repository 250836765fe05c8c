#include "oauth/LoopbackListener.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "oauth/OAuthRules.h"
#include "text/HtmlText.h"

namespace {

int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Best effort: the page is small enough for the socket's buffer, and a peer
// that does not read gets what fits.
void Send(int Socket, const std::string& Status, const std::string& Body)
{
    const std::string Reply = "HTTP/1.1 " + Status + "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: "
        + std::to_string(Body.size()) + "\r\nConnection: close\r\nCache-Control: no-store\r\n\r\n" + Body;
    (void)!::send(Socket, Reply.data(), Reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

} // namespace

std::string RedirectPage(bool Success, const std::string& Text)
{
    const std::string Title = Success ? "Anmeldung erfolgreich" : "Anmeldung fehlgeschlagen";
    return "<!DOCTYPE html>\n<html lang=\"de\"><head><meta charset=\"utf-8\"><title>Brieflotse: " + Title
        + "</title></head>\n<body style=\"font-family: sans-serif; margin: 3em\"><h1>" + Title + "</h1>\n<p>"
        + HtmlEscaped(Text) + "</p></body></html>\n";
}

TLoopbackListener::~TLoopbackListener()
{
    for (TPeer& Peer : FPeers)
        Close(Peer);
    if (FSocket >= 0)
        ::close(FSocket);
}

bool TLoopbackListener::Open(std::string& Problem)
{
    FSocket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in Address {};
    Address.sin_family = AF_INET;
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t Length = sizeof Address;
    if (FSocket < 0 || ::bind(FSocket, reinterpret_cast<sockaddr*>(&Address), sizeof Address) != 0
        || ::listen(FSocket, 8) != 0 || ::getsockname(FSocket, reinterpret_cast<sockaddr*>(&Address), &Length) != 0) {
        Problem = std::string("Kein Empfang für die Rückleitung des Browsers auf 127.0.0.1 möglich: ")
            + std::strerror(errno);
        return false;
    }
    FPort = ntohs(Address.sin_port);
    return true;
}

void TLoopbackListener::Close(TPeer& Peer)
{
    if (Peer.Socket >= 0)
        ::close(Peer.Socket);
    Peer.Socket = -1;
}

bool TLoopbackListener::Answer(TPeer& Peer, const std::string& Path, const std::string& State, TRedirectResult& Result)
{
    const std::string Line = Peer.Head.substr(0, Peer.Head.find("\r\n"));
    const size_t First = Line.find(' ');
    const size_t Second = First == std::string::npos ? std::string::npos : Line.find(' ', First + 1);
    if (Second == std::string::npos || Line.compare(0, First, "GET") != 0) {
        Send(Peer.Socket, "400 Bad Request", RedirectPage(false, "Unerwartete Anfrage."));
        return false;
    }
    const std::string Target = Line.substr(First + 1, Second - First - 1);
    const size_t Question = Target.find('?');
    if (Target.substr(0, Question) != Path) {
        Send(Peer.Socket, "404 Not Found", RedirectPage(false, "Diese Seite gibt es hier nicht."));
        return false;
    }
    const auto Fields = ParseQuery(Question == std::string::npos ? std::string() : Target.substr(Question + 1));
    const auto Field = [&Fields](const char* Name) {
        const auto Found = Fields.find(Name);
        return Found == Fields.end() ? std::string() : Found->second;
    };
    const std::string Error = Field("error");
    // Not a provider's answer (a browser's prefetch, a bookmark): the flow goes on.
    if (!Fields.count("state") && !Fields.count("code") && Error.empty()) {
        Send(Peer.Socket, "400 Bad Request", RedirectPage(false, "Dieser Aufruf enthält keine Antwort des Anbieters."));
        return false;
    }
    if (Field("state") != State) {
        Result.Outcome = TRedirectOutcome::WrongState;
        Result.Problem = "Die Rückleitung des Browsers trägt nicht den erwarteten Zustandswert (state): "
                         "abgelehnt, weil sie nicht von dieser Anmeldung stammt.";
    } else if (Error == "access_denied") {
        Result.Outcome = TRedirectOutcome::Denied;
        Result.Problem = OAuthErrorText(Error, Field("error_description"));
    } else if (!Error.empty()) {
        Result.Outcome = TRedirectOutcome::ProviderError;
        Result.Problem = OAuthErrorText(Error, Field("error_description"));
    } else if (Field("code").empty()) {
        Result.Outcome = TRedirectOutcome::ProviderError;
        Result.Problem = "Die Rückleitung des Browsers enthält keinen Code.";
    } else {
        Result.Outcome = TRedirectOutcome::Code;
        Result.Code = Field("code");
        Send(Peer.Socket, "200 OK",
            RedirectPage(true,
                "Brieflotse hat die Freigabe erhalten. Sie können dieses Fenster schließen und zu Brieflotse "
                "zurückkehren."));
        return true;
    }
    Send(Peer.Socket, "400 Bad Request", RedirectPage(false, Result.Problem));
    return true;
}

TRedirectResult TLoopbackListener::Wait(
    const std::string& Path, const std::string& State, const std::atomic<bool>& Cancel, int TimeoutMs)
{
    TRedirectResult Result;
    const int64_t Until = NowMs() + TimeoutMs;
    for (;;) {
        if (Cancel.load()) {
            Result.Outcome = TRedirectOutcome::Cancelled;
            Result.Problem = "Anmeldung abgebrochen.";
            return Result;
        }
        const int64_t Now = NowMs();
        if (Now >= Until) {
            Result.Outcome = TRedirectOutcome::TimedOut;
            Result.Problem = "Keine Rückmeldung des Browsers innerhalb von "
                + (TimeoutMs >= 60000 ? std::to_string(TimeoutMs / 60000) + " Minuten"
                                      : std::to_string(TimeoutMs / 1000) + " s")
                + ": Wurde der Browser geschlossen oder die Anmeldung nicht beendet?";
            return Result;
        }
        for (TPeer& Peer : FPeers)
            if (Now >= Peer.DeadlineMs)
                Close(Peer);
        FPeers.erase(std::remove_if(FPeers.begin(), FPeers.end(), [](const TPeer& Peer) { return Peer.Socket < 0; }),
            FPeers.end());

        std::vector<pollfd> Watch { { FSocket, POLLIN, 0 } };
        for (const TPeer& Peer : FPeers)
            Watch.push_back({ Peer.Socket, POLLIN, 0 });
        const int Slice = static_cast<int>(std::min<int64_t>(100, Until - Now));
        if (::poll(Watch.data(), Watch.size(), Slice) < 0 && errno != EINTR) {
            Result.Problem = std::string("Warten auf den Browser gescheitert: ") + std::strerror(errno);
            return Result;
        }
        for (size_t I = 1; I < Watch.size(); ++I) {
            if (Watch[I].revents == 0)
                continue;
            TPeer& Peer = FPeers[I - 1];
            char Buffer[2048];
            const ssize_t Got = ::recv(Peer.Socket, Buffer, sizeof Buffer, 0);
            if (Got <= 0) {
                if (Got == 0 || (errno != EAGAIN && errno != EINTR))
                    Close(Peer);
                continue;
            }
            Peer.Head.append(Buffer, static_cast<size_t>(Got));
            if (Peer.Head.size() > kMaxRequestHead) {
                Send(Peer.Socket, "431 Request Header Fields Too Large", RedirectPage(false, "Anfrage zu groß."));
                Close(Peer);
            } else if (Peer.Head.find("\r\n\r\n") != std::string::npos) {
                const bool Ends = Answer(Peer, Path, State, Result);
                Close(Peer);
                if (Ends)
                    return Result;
            }
        }
        if (Watch[0].revents & POLLIN) {
            const int Socket = ::accept4(FSocket, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (Socket >= 0 && FPeers.size() >= kMaxConnections)
                ::close(Socket);
            else if (Socket >= 0)
                FPeers.push_back({ Socket, {}, NowMs() + kPeerTimeoutMs });
        }
    }
}
