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
    const std::string numeric = NumericAddress(Address);
    return Address.Family() == AF_INET6 ? "[" + numeric + "]" : numeric;
}

} // namespace

std::vector<TPeerAddress> ConnectOrder(const std::vector<TPeerAddress>& Resolved)
{
    std::vector<TPeerAddress> first;
    std::vector<TPeerAddress> other;
    for (const TPeerAddress& address : Resolved) {
        auto same = [&](const TPeerAddress& Seen) { return SameAddress(Seen, address); };
        if (std::any_of(first.begin(), first.end(), same) || std::any_of(other.begin(), other.end(), same))
            continue;
        (first.empty() || address.Family() == first.front().Family() ? first : other).push_back(address);
    }
    std::vector<TPeerAddress> order;
    for (size_t i = 0; i < std::max(first.size(), other.size()); ++i) {
        if (i < first.size())
            order.push_back(first[i]);
        if (i < other.size())
            order.push_back(other[i]);
    }
    return order;
}

TConnectRace::TConnectRace(std::vector<TPeerAddress> Addresses, uint16_t PortNetworkOrder)
{
    for (TPeerAddress& address : Addresses) {
        SetAddressPort(address, PortNetworkOrder);
        FAttempts.push_back({ address, -1, 0 });
    }
    FNextStart = Clock::now();
}

TConnectRace::~TConnectRace()
{
    for (TAttempt& attempt : FAttempts)
        if (attempt.Socket != -1)
            ::close(attempt.Socket);
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

    std::vector<pollfd> watch;
    std::vector<size_t> index;
    for (size_t i = 0; i < FAttempts.size(); ++i)
        if (FAttempts[i].Socket != -1) {
            watch.push_back({ FAttempts[i].Socket, POLLOUT, 0 });
            index.push_back(i);
        }
    int wait = Milliseconds;
    if (FStarted < FAttempts.size()) {
        const auto untilNext = std::chrono::ceil<std::chrono::milliseconds>(FNextStart - Clock::now()).count();
        wait = std::clamp(static_cast<int>(untilNext), 0, wait);
    }
    if (::poll(watch.data(), watch.size(), wait) <= 0)
        return;
    for (size_t i = 0; i < watch.size() && !Won(); ++i) {
        if (watch[i].revents == 0)
            continue;
        TAttempt& attempt = FAttempts[index[i]];
        const int error = PendingSocketError(attempt.Socket);
        if (error == 0) {
            Win(index[i]);
        } else {
            Fail(attempt, WinsockCodeFromErrno(error));
        }
    }
}

void TConnectRace::StartNext()
{
    TAttempt& attempt = FAttempts[FStarted++];
    FNextStart = Clock::now() + std::chrono::milliseconds(kStaggerMs);
    attempt.Socket = ::socket(attempt.Address.Family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (attempt.Socket == -1)
        return Fail(attempt, WinsockCodeFromErrno(errno));
    // Linger on with time 0: every close is immediate and abortive.
    const linger abortive { 1, 0 };
    if (::setsockopt(attempt.Socket, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive) != 0)
        return Fail(attempt, WinsockCodeFromErrno(errno));
    const auto* target = reinterpret_cast<const sockaddr*>(&attempt.Address.Storage);
    if (::connect(attempt.Socket, target, attempt.Address.Length) == 0)
        return Win(FStarted - 1);
    if (errno != EINPROGRESS)
        Fail(attempt, WinsockCodeFromErrno(errno));
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
    for (size_t i = 0; i < FAttempts.size(); ++i)
        if (i != Index && FAttempts[i].Socket != -1) {
            ::close(FAttempts[i].Socket);
            FAttempts[i].Socket = -1;
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
    for (TAttempt& attempt : FAttempts)
        if (attempt.Socket != -1)
            Fail(attempt, Code);
}

std::vector<std::string> TConnectRace::Failures() const
{
    std::vector<std::string> lines;
    for (size_t i = 0; i < FStarted; ++i) {
        const int32_t code = FAttempts[i].Code;
        if (code == 0)
            continue;
        const std::string text = WinsockErrorText(code);
        lines.push_back(AddressForText(FAttempts[i].Address) + ": " + (text.empty() ? std::to_string(code) : text));
    }
    return lines;
}
