#include "net/ConnectRace.h"

#include "net/WinsockErrors.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace {

bool SameAddress(const TPeerAddress& A, const TPeerAddress& B)
{
    return A.Length == B.Length && std::memcmp(&A.Storage, &B.Storage, A.Length) == 0;
}

std::string AddressForText(const TPeerAddress& Address)
{
    const std::string Numeric = NumericAddress(Address);
    return Address.Family() == AF_INET6 ? "[" + Numeric + "]" : Numeric;
}

} // namespace

std::vector<TPeerAddress> ConnectOrder(const std::vector<TPeerAddress>& Resolved)
{
    std::vector<TPeerAddress> First;
    std::vector<TPeerAddress> Other;
    for (const TPeerAddress& Address : Resolved) {
        auto Same = [Address](const TPeerAddress& Seen) { return SameAddress(Seen, Address); };
        if (std::any_of(First.begin(), First.end(), Same) || std::any_of(Other.begin(), Other.end(), Same))
            continue;
        (First.empty() || Address.Family() == First.front().Family() ? First : Other).push_back(Address);
    }
    std::vector<TPeerAddress> Order;
    for (size_t I = 0; I < std::max(First.size(), Other.size()); ++I) {
        if (I < First.size())
            Order.push_back(First[I]);
        if (I < Other.size())
            Order.push_back(Other[I]);
    }
    return Order;
}

TConnectRace::TConnectRace(std::vector<TPeerAddress> Addresses, uint16_t PortNetworkOrder)
{
    for (TPeerAddress& Address : Addresses) {
        SetAddressPort(Address, PortNetworkOrder);
        FAttempts.push_back({ Address, -1, 0 });
    }
    FNextStart = Clock::now();
}

TConnectRace::~TConnectRace()
{
    for (TAttempt& Attempt : FAttempts)
        if (Attempt.Socket != -1)
            ::close(Attempt.Socket);
}

bool TConnectRace::Lost() const
{
    return !Won() && FStarted == FAttempts.size() && PendingCount() == 0;
}

size_t TConnectRace::PendingCount() const
{
    return static_cast<size_t>(std::count_if(
        FAttempts.begin(), FAttempts.end(), [](const TAttempt& Attempt) { return Attempt.Socket != -1; }));
}

void TConnectRace::Poll(int Milliseconds)
{
    while (!Won() && FStarted < FAttempts.size() && (PendingCount() == 0 || Clock::now() >= FNextStart))
        StartNext();
    if (Won() || Lost())
        return;

    std::vector<pollfd> Watch;
    std::vector<size_t> Index;
    for (size_t I = 0; I < FAttempts.size(); ++I)
        if (FAttempts[I].Socket != -1) {
            Watch.push_back({ FAttempts[I].Socket, POLLOUT, 0 });
            Index.push_back(I);
        }
    int Wait = Milliseconds;
    if (FStarted < FAttempts.size()) {
        const auto UntilNext = std::chrono::ceil<std::chrono::milliseconds>(FNextStart - Clock::now()).count();
        Wait = std::clamp(static_cast<int>(UntilNext), 0, Wait);
    }
    if (::poll(Watch.data(), Watch.size(), Wait) <= 0)
        return;
    for (size_t I = 0; I < Watch.size() && !Won(); ++I) {
        if (Watch[I].revents == 0)
            continue;
        TAttempt& Attempt = FAttempts[Index[I]];
        const int Error = PendingSocketError(Attempt.Socket);
        if (Error == 0) {
            Win(Index[I]);
        } else {
            Fail(Attempt, WinsockCodeFromErrno(Error));
        }
    }
}

void TConnectRace::StartNext()
{
    TAttempt& Attempt = FAttempts[FStarted++];
    FNextStart = Clock::now() + std::chrono::milliseconds(kStaggerMs);
    Attempt.Socket = ::socket(Attempt.Address.Family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (Attempt.Socket == -1)
        return Fail(Attempt, WinsockCodeFromErrno(errno));
    // Linger on with time 0: every close is immediate and abortive.
    const linger Abortive { 1, 0 };
    if (::setsockopt(Attempt.Socket, SOL_SOCKET, SO_LINGER, &Abortive, sizeof Abortive) != 0)
        return Fail(Attempt, WinsockCodeFromErrno(errno));
    const auto* Target = reinterpret_cast<const sockaddr*>(&Attempt.Address.Storage);
    if (::connect(Attempt.Socket, Target, Attempt.Address.Length) == 0)
        return Win(FStarted - 1);
    if (errno != EINPROGRESS)
        Fail(Attempt, WinsockCodeFromErrno(errno));
}

void TConnectRace::Fail(TAttempt& Attempt, int32_t Code)
{
    if (Attempt.Socket != -1)
        ::close(Attempt.Socket);
    Attempt.Socket = -1;
    Attempt.Code = Code;
    FLastFailure = Code;
    // A failure brings the next attempt forward.
    FNextStart = Clock::now();
}

void TConnectRace::Win(size_t Index)
{
    FWinner = static_cast<int>(Index);
    for (size_t I = 0; I < FAttempts.size(); ++I)
        if (I != Index && FAttempts[I].Socket != -1) {
            ::close(FAttempts[I].Socket);
            FAttempts[I].Socket = -1;
        }
}

int TConnectRace::TakeSocket()
{
    if (!Won())
        return -1;
    return std::exchange(FAttempts[static_cast<size_t>(FWinner)].Socket, -1);
}

const TPeerAddress& TConnectRace::WinnerAddress() const
{
    static const TPeerAddress kNone;
    return Won() ? FAttempts[static_cast<size_t>(FWinner)].Address : kNone;
}

void TConnectRace::GiveUp(int32_t Code)
{
    if (Won())
        return;
    for (TAttempt& Attempt : FAttempts)
        if (Attempt.Socket != -1)
            Fail(Attempt, Code);
}

std::vector<std::string> TConnectRace::Failures() const
{
    std::vector<std::string> Lines;
    for (size_t I = 0; I < FStarted; ++I) {
        const int32_t Code = FAttempts[I].Code;
        if (Code == 0)
            continue;
        const std::string Text = WinsockErrorText(Code);
        Lines.push_back(AddressForText(FAttempts[I].Address) + ": " + (Text.empty() ? std::to_string(Code) : Text));
    }
    return Lines;
}
