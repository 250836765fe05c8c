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
int SilentListener(uint16_t& port)
{
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 1) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return -1;
    port = ntohs(address.sin_port);
    return listener;
}

double ProcessSeconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

bool Measure(const char* label, bool withWaitingHandler, uint16_t port)
{
    TSmartWinsock socket;
    int32_t reported = 0;
    socket.OnError = [&](TSmartWinsock*, const std::string&, int32_t code, const std::string&) { reported = code; };
    int slices = 0;
    if (withWaitingHandler)
        socket.OnWaiting = [&] { ++slices; };
    socket.SetTimeout(5);
    socket.SetTargetHost("127.0.0.1:" + std::to_string(port));
    if (!socket.Connect()) {
        std::printf("%s: connect failed (%d)\n", label, reported);
        return false;
    }
    std::string text;
    const double cpuStart = ProcessSeconds();
    const auto wallStart = std::chrono::steady_clock::now();
    const int32_t result = socket.ReceiveString(text);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    const double cpu = ProcessSeconds() - cpuStart;
    std::printf("%-28s result %d, error %d, wall %.3f s, processor %.4f s, ratio %.5f, OnWaiting calls %d\n", label,
                result, reported, wall, cpu, cpu / wall, slices);
    return cpu / wall < 0.02;
}

} // namespace

int main()
{
    uint16_t port = 0;
    const int listener = SilentListener(port);
    if (listener < 0) {
        std::printf("no loopback listener\n");
        return 1;
    }
    const bool plain = Measure("one poll per wait", false, port);
    const bool sliced = Measure("50 ms slices with OnWaiting", true, port);
    ::close(listener);
    std::printf("target ratio below 0.02: %s\n", plain && sliced ? "met" : "NOT met");
    return plain && sliced ? 0 : 1;
}
