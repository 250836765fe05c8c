// How much processor time one long wait costs: a Receive with Timeout 5 on a
// connection whose server never sends. The wait must sleep in poll(), not
// spin; the ratio of processor to wall time should stay far below 0.02.
#include "net/SmartWinsock.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A listener that never accepts: the kernel completes the handshake anyway,
// and nothing is ever sent.
int SilentListener(uint16_t& Port)
{
    int Listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in Address {};
    Address.sin_family = AF_INET;
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t Length = sizeof Address;
    if (Listener < 0 || ::bind(Listener, reinterpret_cast<sockaddr*>(&Address), sizeof Address) != 0
        || ::listen(Listener, 1) != 0 || ::getsockname(Listener, reinterpret_cast<sockaddr*>(&Address), &Length) != 0)
        return -1;
    Port = ntohs(Address.sin_port);
    return Listener;
}

double ProcessSeconds()
{
    timespec Now {};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &Now);
    return static_cast<double>(Now.tv_sec) + static_cast<double>(Now.tv_nsec) / 1e9;
}

bool Measure(const char* Label, bool WithWaitingHandler, uint16_t Port)
{
    TSmartWinsock Socket;
    int32_t Reported = 0;
    Socket.OnError = [&](TSmartWinsock*, const std::string&, int32_t Code, const std::string&) { Reported = Code; };
    int Slices = 0;
    if (WithWaitingHandler)
        Socket.OnWaiting = [&] { ++Slices; };
    Socket.SetTimeout(5);
    Socket.SetTargetHost("127.0.0.1:" + std::to_string(Port));
    if (!Socket.Connect()) {
        std::printf("%s: connect failed (%d)\n", Label, Reported);
        return false;
    }
    std::string Text;
    const double CpuStart = ProcessSeconds();
    const auto WallStart = std::chrono::steady_clock::now();
    const int32_t Result = Socket.ReceiveString(Text);
    const double Wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - WallStart).count();
    const double Cpu = ProcessSeconds() - CpuStart;
    std::printf("%-28s result %d, error %d, wall %.3f s, processor %.4f s, ratio %.5f, OnWaiting calls %d\n", Label,
        Result, Reported, Wall, Cpu, Cpu / Wall, Slices);
    return Cpu / Wall < 0.02;
}

} // namespace

int main()
{
    uint16_t Port = 0;
    const int Listener = SilentListener(Port);
    if (Listener < 0) {
        std::printf("no loopback listener\n");
        return 1;
    }
    const bool Plain = Measure("one poll per wait", false, Port);
    const bool Sliced = Measure("50 ms slices with OnWaiting", true, Port);
    ::close(Listener);
    std::printf("target ratio below 0.02: %s\n", Plain && Sliced ? "met" : "NOT met");
    return Plain && Sliced ? 0 : 1;
}
