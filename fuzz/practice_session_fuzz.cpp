// Arbitrary bytes from a client to one practice-server connection (through a
// socket pair): line splitting, over-long lines, every command in every state
// and each fault (the first byte chooses it; "slow" stands in for none, so
// that no answer waits). The server must answer with whole lines, starting
// with its greeting, and never crash, leak or read past its data.
// fuzz-sources: practice/*.cpp transcript/*.cpp auth/*.cpp net/TlsShared.cpp net/WinsockErrors.cpp
// fuzz-corpus: fuzz/corpus/practice_session
#include "practice/PracticeConnection.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    if (Size == 0)
        return 0;
    int Count = 0;
    const TPracticeFault* Faults = PracticeFaults(Count);
    TPracticeSetup Setup;
    Setup.Fault = Faults[Data[0] % Count];
    if (Setup.Fault == TPracticeFault::Slow)
        Setup.Fault = TPracticeFault::None;
    int Pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, Pair) != 0)
        return 0;
    TPracticeConnection Connection(Pair[0], false, nullptr, Setup, TPracticeTimes());
    std::string Received;
    size_t Sent = 1;
    char Buffer[65536];
    for (int Round = 0; Round < 100000 && !Connection.Finished(); ++Round) {
        if (Sent < Size) {
            const ssize_t Written = ::send(Pair[1], Data + Sent, Size - Sent, MSG_NOSIGNAL);
            if (Written > 0)
                Sent += static_cast<size_t>(Written);
        } else if (Sent == Size) {
            ::shutdown(Pair[1], SHUT_WR); // the client is done: the server sees the end
            ++Sent;
        }
        Connection.Service();
        ssize_t Read;
        while ((Read = ::recv(Pair[1], Buffer, sizeof Buffer, 0)) > 0)
            Received.append(Buffer, static_cast<size_t>(Read)); // 1 MB answers: kept, bounded by the input
    }
    ::close(Pair[1]);
    if (Received.rfind("+OK ", 0) != 0)
        std::abort();
    if (!Received.empty() && Received.back() != '\n' && Setup.Fault != TPracticeFault::DropRetr)
        std::abort();
    return 0;
}
