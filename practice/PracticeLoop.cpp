#include "practice/PracticeLoop.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;

// A non-blocking listening socket on 127.0.0.1:Port (0: any free port);
// -1 with Problem set on failure, else the socket and the port in Bound.
int Listen(int Port, int& Bound, std::string& Problem)
{
    const int Socket = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (Socket < 0) {
        Problem = std::strerror(errno);
        return -1;
    }
    const int On = 1;
    ::setsockopt(Socket, SOL_SOCKET, SO_REUSEADDR, &On, sizeof On);
    sockaddr_in Address {};
    Address.sin_family = AF_INET;
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Address.sin_port = htons(static_cast<uint16_t>(Port));
    socklen_t Size = sizeof Address;
    if (::bind(Socket, reinterpret_cast<sockaddr*>(&Address), sizeof Address) != 0 || ::listen(Socket, 16) != 0
        || ::getsockname(Socket, reinterpret_cast<sockaddr*>(&Address), &Size) != 0) {
        Problem = "127.0.0.1:" + std::to_string(Port) + ": " + std::strerror(errno);
        ::close(Socket);
        return -1;
    }
    Bound = ntohs(Address.sin_port);
    return Socket;
}

void CloseIfOpen(int& Socket)
{
    if (Socket >= 0)
        ::close(Socket);
    Socket = -1;
}

} // namespace

TPracticeLoop::~TPracticeLoop()
{
    Stop();
}

bool TPracticeLoop::Start(int Port, int TlsPort, bool WithTls, TAccept Accept, std::string& Problem)
{
    if (Running())
        return true;
    FListener = Listen(Port, FPort, Problem);
    if (FListener >= 0 && WithTls)
        FTlsListener = Listen(TlsPort, FTlsPort, Problem);
    if (FListener < 0 || (WithTls && FTlsListener < 0) || ::pipe2(FWake, O_NONBLOCK | O_CLOEXEC) != 0) {
        if (Problem.empty())
            Problem = std::strerror(errno);
        CloseIfOpen(FListener);
        CloseIfOpen(FTlsListener);
        FPort = FTlsPort = 0;
        return false;
    }
    FAccept = std::move(Accept);
    FStopping = false;
    FWorker = std::thread([this] { Run(); });
    return true;
}

void TPracticeLoop::Stop()
{
    if (!FWorker.joinable())
        return;
    FStopping = true;
    const char Byte = 1;
    [[maybe_unused]] const ssize_t Ignored = ::write(FWake[1], &Byte, 1);
    FWorker.join();
    CloseIfOpen(FListener);
    CloseIfOpen(FTlsListener);
    CloseIfOpen(FWake[0]);
    CloseIfOpen(FWake[1]);
    FPort = FTlsPort = 0;
}

void TPracticeLoop::Run()
{
    // OpenSSL writes to the socket with write(): a client gone away must give
    // EPIPE here, not end the program.
    sigset_t Pipe;
    sigemptyset(&Pipe);
    sigaddset(&Pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &Pipe, nullptr);

    std::vector<std::unique_ptr<TPracticeClient>> Clients;
    std::vector<pollfd> Waits;
    bool Busy = false;
    while (!FStopping) {
        Waits.clear();
        Waits.push_back({ FWake[0], POLLIN, 0 });
        Waits.push_back({ FListener, POLLIN, 0 });
        Waits.push_back({ FTlsListener, static_cast<short>(FTlsListener >= 0 ? POLLIN : 0), 0 });
        TClock::time_point Next = TClock::now() + std::chrono::hours(1);
        for (const auto& Client : Clients) {
            // Nothing to wait for while an answer is held back: not even a
            // hang-up, which poll() would report again and again meanwhile.
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
        // Clients first: the vector grows below.
        const TClock::time_point Now = TClock::now();
        Busy = false;
        for (size_t Index = 0; Index < Clients.size(); ++Index) {
            TPracticeClient& Client = *Clients[Index];
            if (Waits[Index + 3].revents || Client.Due() || Now >= Client.Deadline() || Client.Events() == 0)
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
            if (std::unique_ptr<TPracticeClient> Client = FAccept(Socket, Which == 2, Clients.size())) {
                Clients.push_back(std::move(Client));
                Busy = true; // the greeting goes out without waiting for an event
            }
        }
    }
    Clients.clear();
}
