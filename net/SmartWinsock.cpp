// Transport on POSIX sockets. Where WinSock posted notifications to a window,
// this component polls its own socket (or its look-up's signal) until the mark
// it waits for is set, a failure arrives or Timeout runs out. TLS steps that
// cannot go on say which mark they need, and wait in the same loop.
#include "net/SmartWinsock.h"

#include "net/ConnectRace.h"
#include "net/HostLookup.h"
#include "net/TlsSession.h"
#include "net/WinsockErrors.h"
#include "net/WinsockTarget.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace {

constexpr int kWaitingSliceMs = 50; // how often OnWaiting runs during a wait
constexpr size_t kReceiveStringSize = 65536; // one ReceiveString takes at most this
constexpr size_t kLargestSend = size_t { 1 } << 30;

int RemainingMs(std::chrono::steady_clock::time_point Until)
{
    const auto left = Until - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero())
        return 0;
    // Round up, so that the last poll does not end a hair before the deadline.
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(left).count()) + 1;
}

} // namespace

TSmartWinsock::TSmartWinsock()
{
    ResetEvents();
    SetTargetHost(GetDefaultHost());
    SetTargetPort(GetDefaultPort());
    FTimeout = 20;
}

TSmartWinsock::~TSmartWinsock()
{
    FLookup.reset();
    FRace.reset();
    if (FSocket != -1)
        CloseSocket();
}

std::string TSmartWinsock::GetDefaultHost()
{
    return LocalHostName();
}

std::string TSmartWinsock::GetDefaultPort()
{
    return "echo";
}

void TSmartWinsock::SetTargetHost(const std::string& Value)
{
    TTargetParts parts = SplitTarget(Value);
    FTargetHost = parts.Host;
    FSecurity = parts.Security;
    // The port stays in force for later hosts until it is set again.
    if (!parts.Port.empty())
        SetTargetPort(parts.Port);
}

void TSmartWinsock::SetTargetPort(const std::string& Value)
{
    if (Value != FTargetPort)
        FTargetPort = Value;
}

bool TSmartWinsock::UseTls() const
{
    return FSecurity == scImplicitTls || (FSecurity == scByPort && IsImplicitTlsPort(FTargetPort));
}

void TSmartWinsock::SetUseTls(bool Value)
{
    FSecurity = Value ? scImplicitTls : scPlain;
}

void TSmartWinsock::SetTimeout(int Seconds)
{
    FTimeout = ClampTimeout(Seconds);
}

bool TSmartWinsock::Connected() const
{
    return FEvents[weConnect] && FSocket != -1;
}

bool TSmartWinsock::Connect()
{
    if (FSocket != -1) {
        ReportError(kWinsockAlreadyConnected);
        Disconnect();
        return false;
    }
    ResetEvents();
    FTlsReason.clear();
    FConnectAttempts.clear();

    std::vector<TPeerAddress> addresses;
    uint16_t port = 0;
    if (!ResolveHost(addresses) || !ResolvePort(port))
        return false;
    FRace = std::make_unique<TConnectRace>(ConnectOrder(addresses), port);
    bool result = WaitFor(weConnect);
    if (!result)
        FRace->GiveUp(FLastReported);
    FConnectAttempts = FRace->Failures();
    FRace.reset();
    if (result) {
        FConnectedHost = HostForLookup(FTargetHost);
        if (UseTls())
            result = Handshake();
    }

    // The failed step has reported; the clean-up reports nothing.
    if (!result && FSocket != -1)
        Disconnect();
    return result;
}

bool TSmartWinsock::ResolveHost(std::vector<TPeerAddress>& Addresses)
{
    if (FTargetHost.empty()) {
        ReportError(kWinsockAddressNotAvailable);
        return false;
    }
    const std::string host = HostForLookup(FTargetHost);
    in_addr numeric {};
    if (::inet_aton(host.c_str(), &numeric) != 0) {
        TPeerAddress address;
        auto* v4 = reinterpret_cast<sockaddr_in*>(&address.Storage);
        v4->sin_family = AF_INET;
        v4->sin_addr = numeric;
        address.Length = sizeof(sockaddr_in);
        Addresses.push_back(address);
        return true;
    }

    FEvents[weLookup] = false;
    FLookup = std::make_unique<THostLookup>(host, FResolver);
    const bool found = WaitFor(weLookup);
    if (found)
        Addresses = FLookup->Addresses();
    // Dropping the look-up cancels it: a late answer goes nowhere.
    FLookup.reset();
    return found;
}

bool TSmartWinsock::ResolvePort(uint16_t& PortNetworkOrder)
{
    if (FTargetPort.empty()) {
        ReportError(kWinsockAddressNotAvailable);
        return false;
    }
    uint16_t number = 0;
    if (ParsePortNumber(FTargetPort, number)) {
        PortNetworkOrder = htons(number);
        return true;
    }
    // Services come from the local services table, so this does not block.
    servent entry {};
    servent* found = nullptr;
    char buffer[1024];
    if (::getservbyname_r(FTargetPort.c_str(), "tcp", &entry, buffer, sizeof buffer, &found) != 0 || !found) {
        ReportError(kWinsockNoData);
        return false;
    }
    PortNetworkOrder = static_cast<uint16_t>(found->s_port);
    return true;
}

bool TSmartWinsock::Disconnect()
{
    if (FSocket == -1) {
        ReportError(kWinsockNotConnected);
        return false;
    }
    CloseSocket();
    ResetEvents();
    return true;
}

void TSmartWinsock::CloseSocket()
{
    if (FTls) {
        FTls->Close();
        FTls.reset();
    }
    FTlsInfo = TTlsInfo();
    FTlsPeerClosed = false;
    FPeer = TPeerAddress();
    ::shutdown(FSocket, SHUT_RDWR);
    ::close(FSocket);
    FSocket = -1;
}

int32_t TSmartWinsock::Send(const void* Buffer, int32_t Count)
{
    if (!Connected()) {
        ReportError(kWinsockNotConnected);
        return -1;
    }
    if (Count < 0 || (!Buffer && Count > 0)) {
        ReportError(Count < 0 ? kWinsockInvalidArgument : kWinsockBadAddress);
        return -1;
    }
    const Deadline until = std::chrono::steady_clock::now() + std::chrono::seconds(FTimeout);
    if (FTls)
        return SendTls(Buffer, Count, until);
    for (;;) {
        if (!WaitUntil(weWrite, until))
            return -1;
        const ssize_t n = ::send(FSocket, Buffer, static_cast<size_t>(Count), MSG_NOSIGNAL);
        if (n >= 0) {
            FBytesSent += n;
            return static_cast<int32_t>(n);
        }
        const int error = errno;
        FEvents[weWrite] = false;
        // A full buffer is no failure: wait for room within the same deadline.
        if (!ErrnoWouldBlock(error)) {
            ReportError(WinsockCodeFromErrno(error));
            return -1;
        }
    }
}

int32_t TSmartWinsock::Receive(void* Buffer, int32_t Size)
{
    if (!Connected()) {
        ReportError(kWinsockNotConnected);
        return -1;
    }
    if (Size < 0 || (!Buffer && Size > 0)) {
        ReportError(Size < 0 ? kWinsockInvalidArgument : kWinsockBadAddress);
        return -1;
    }
    const Deadline until = std::chrono::steady_clock::now() + std::chrono::seconds(FTimeout);
    if (FTls)
        return ReceiveTls(Buffer, Size, until);
    for (;;) {
        if (!WaitUntil(weRead, until))
            return -1;
        const ssize_t n = ::recv(FSocket, Buffer, static_cast<size_t>(Size), 0);
        const int error = errno;
        FEvents[weRead] = false;
        if (n >= 0) {
            FBytesReceived += n;
            return static_cast<int32_t>(n);
        }
        if (!ErrnoWouldBlock(error)) {
            ReportError(WinsockCodeFromErrno(error));
            return -1;
        }
    }
}

bool TSmartWinsock::StartTls()
{
    if (!Connected()) {
        ReportError(kWinsockNotConnected);
        return false;
    }
    if (FTls) {
        ReportError(kWinsockTlsAlreadyActive);
        return false;
    }
    FTlsReason.clear();
    if (Handshake())
        return true;
    // Half a handshake leaves both sides in no known state.
    if (FSocket != -1)
        Disconnect();
    return false;
}

bool TSmartWinsock::Encrypted() const
{
    return Connected() && FTls && FTls->Established();
}

bool TSmartWinsock::Handshake()
{
    FTls = std::make_unique<TTlsSession>(FSocket, FConnectedHost);
    if (!FTls->Ready()) {
        ReportTlsFailure();
        FTls.reset();
        return false;
    }
    FTlsPeerClosed = false;
    const Deadline until = std::chrono::steady_clock::now() + std::chrono::seconds(FTimeout);
    // The first step needs no wait; marking it ready still runs the hook.
    TSmartWinsockEvent mark = weWrite;
    FEvents[weWrite] = true;
    for (;;) {
        if (!WaitUntil(mark, until) || !FTls) {
            FTls.reset();
            return false;
        }
        const TTlsStep step = FTls->Handshake();
        if (step == tlsDone) {
            FTlsInfo = FTls->Info();
            return true;
        }
        if (step != tlsWantRead && step != tlsWantWrite) {
            ReportTlsFailure();
            FTls.reset();
            return false;
        }
        mark = step == tlsWantRead ? weRead : weWrite;
        FEvents[mark] = false;
    }
}

int32_t TSmartWinsock::SendTls(const void* Buffer, int32_t Count, Deadline Until)
{
    TSmartWinsockEvent mark = weWrite;
    for (;;) {
        if (!WaitUntil(mark, Until) || !FTls)
            return -1;
        if (Count == 0)
            return 0;
        int32_t written = 0;
        switch (FTls->Write(Buffer, Count, written)) {
        case tlsDone:
            FBytesSent += written;
            return written;
        case tlsWantRead:
            mark = weRead;
            break;
        case tlsWantWrite:
            mark = weWrite;
            break;
        case tlsClosed:
            ReportError(kWinsockShutDown);
            return -1;
        default:
            ReportTlsFailure();
            return -1;
        }
        FEvents[mark] = false;
    }
}

int32_t TSmartWinsock::ReceiveTls(void* Buffer, int32_t Size, Deadline Until)
{
    // OpenSSL may hold data the socket no longer shows: read before waiting.
    TSmartWinsockEvent mark = weRead;
    FEvents[weRead] = true;
    for (;;) {
        if (!WaitUntil(mark, Until) || !FTls)
            return -1;
        if (FTlsPeerClosed || Size == 0)
            return 0;
        int32_t count = 0;
        switch (FTls->Read(Buffer, Size, count)) {
        case tlsDone:
            count += ReadDecryptedWithoutWaiting(static_cast<char*>(Buffer) + count, Size - count);
            FBytesReceived += count;
            return count;
        case tlsClosed:
            FTlsPeerClosed = true;
            return 0;
        case tlsWantRead:
            mark = weRead;
            break;
        case tlsWantWrite:
            mark = weWrite;
            break;
        default:
            ReportTlsFailure();
            return -1;
        }
        FEvents[mark] = false;
    }
}

// One record is at most 16 KB: what further records have already arrived is
// taken in the same call, so a fast server costs no more calls than in clear.
// Whatever ends the loop (nothing more yet, the peer's close, a failure)
// shows again at the next read.
int32_t TSmartWinsock::ReadDecryptedWithoutWaiting(char* Buffer, int32_t Size)
{
    int32_t total = 0;
    while (total < Size) {
        int32_t count = 0;
        if (FTls->Read(Buffer + total, Size - total, count) != tlsDone)
            break;
        total += count;
    }
    return total;
}

// Copies first: the error handler may disconnect and so end the session.
void TSmartWinsock::ReportTlsFailure()
{
    const int32_t code = FTls->FailureCode();
    const std::string reason = FTls->FailureReason();
    ReportError(code, reason);
}

int32_t TSmartWinsock::SendString(const std::string& Text)
{
    if (Text.empty())
        return Send(Text.data(), 0);
    // send() may take only part of the text; the rest follows, each part
    // with its own bounded wait.
    size_t done = 0;
    while (done < Text.size()) {
        const size_t piece = std::min(Text.size() - done, kLargestSend);
        const int32_t n = Send(Text.data() + done, static_cast<int32_t>(piece));
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    return static_cast<int32_t>(std::min<size_t>(done, INT32_MAX));
}

int32_t TSmartWinsock::ReceiveString(std::string& Text)
{
    Text.clear();
    char buffer[kReceiveStringSize];
    const int32_t n = Receive(buffer, sizeof buffer);
    if (n >= 0)
        Text.assign(buffer, static_cast<size_t>(n));
    return n;
}

int32_t TSmartWinsock::BytesAvailable() const
{
    if (!Connected())
        return 0;
    int count = 0;
    if (::ioctl(FSocket, FIONREAD, &count) != 0)
        count = 0;
    if (!FTls)
        return count;
    return static_cast<int32_t>(std::min<int64_t>(int64_t { FTls->Pending() } + count, INT32_MAX));
}

bool TSmartWinsock::HasBufferedData() const
{
    return Connected() && FTls && FTls->Pending() > 0;
}

bool TSmartWinsock::PeerHasClosed() const
{
    if (!Connected())
        return false;
    if (FTls && FTls->Pending() > 0)
        return false;
    if (FTls && FTlsPeerClosed)
        return true;
    char Byte = 0;
    return ::recv(FSocket, &Byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

std::string TSmartWinsock::LocalHostName()
{
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return {};
    return name;
}

std::string TSmartWinsock::ErrorText(int32_t Code)
{
    return WinsockErrorText(Code);
}

void TSmartWinsock::GetErrorInfo(std::string& Origin, int32_t& Code, std::string& Description)
{
    Origin = "Winsock";
    Code = FLastError;
    Description = ErrorText(FLastError);
    FLastError = 0;
}

std::string TSmartWinsock::PeerAddress() const
{
    return Connected() ? NumericAddress(FPeer) : std::string();
}

uint16_t TSmartWinsock::PeerPort() const
{
    return Connected() ? AddressPort(FPeer) : 0;
}

void TSmartWinsock::ReportError(int32_t Code, const std::string& TlsReason)
{
    FTlsReason = TlsReason;
    FLastError = Code;
    FLastReported = Code;
    if (!OnError)
        return;
    std::string origin;
    std::string description;
    int32_t code = 0;
    GetErrorInfo(origin, code, description);
    // A copy, so that a handler may replace OnError while it runs.
    TSmartWinsockError handler = OnError;
    handler(this, origin, code, description);
}

void TSmartWinsock::SetErrorHandler(TTransportError Handler)
{
    if (!Handler) {
        OnError = nullptr;
        return;
    }
    OnError = [Handler = std::move(Handler)](TSmartWinsock*, const std::string& Origin, int32_t Code,
                  const std::string& Description) { Handler(Origin, Code, Description); };
}

void TSmartWinsock::ResetEvents()
{
    std::fill(std::begin(FEvents), std::end(FEvents), false);
}

bool TSmartWinsock::WaitFor(TSmartWinsockEvent Mark)
{
    return WaitUntil(Mark, std::chrono::steady_clock::now() + std::chrono::seconds(FTimeout));
}

void TSmartWinsock::Cancel()
{
    if (FWaiting)
        FCancelRequested = true;
}

// Runs OnWaiting when a slice has passed since it last ran, however fast data
// arrives; true when the wait was cancelled from there.
bool TSmartWinsock::CancelledWhileWaiting()
{
    if (!OnWaiting)
        return false;
    const auto Now = std::chrono::steady_clock::now();
    if (Now - FLastWaiting < std::chrono::milliseconds(kWaitingSliceMs))
        return false;
    FLastWaiting = Now;
    OnWaiting();
    return FCancelRequested;
}

bool TSmartWinsock::WaitUntil(TSmartWinsockEvent Mark, Deadline Until)
{
    // A failure that no wait has consumed yet ends this one; it was reported.
    if (FEvents[weFailed]) {
        FEvents[weFailed] = false;
        return false;
    }
    Until = std::min(Until, FDeadline);
    FWaiting = true;
    FCancelRequested = false;
    bool gone = false;
    bool cancelled = CancelledWhileWaiting();
    while (!cancelled && !FEvents[Mark] && !FEvents[weFailed]) {
        // An error handler may have closed the socket meanwhile.
        gone = WaitedForIsGone(Mark);
        const int left = RemainingMs(Until);
        if (gone || left == 0)
            break;
        PollOnce(Mark, OnWaiting ? std::min(left, kWaitingSliceMs) : left);
        cancelled = CancelledWhileWaiting();
    }
    FWaiting = false;
    FCancelRequested = false;
    // The handler of a stop may have closed the socket itself.
    gone = gone || WaitedForIsGone(Mark);
    if (cancelled) {
        if (!FEvents[weFailed])
            ReportError(kWinsockCancelled);
        FEvents[weFailed] = false;
        return false;
    }
    const bool seen = FEvents[Mark];
    if (!seen && !FEvents[weFailed] && !gone)
        ReportError(kWinsockTimedOut);
    FEvents[weFailed] = false;
    return seen;
}

bool TSmartWinsock::WaitedForIsGone(TSmartWinsockEvent Mark) const
{
    if (Mark == weLookup)
        return !FLookup;
    if (Mark == weConnect)
        return !FRace;
    return FSocket == -1;
}

void TSmartWinsock::PollOnce(TSmartWinsockEvent Mark, int Milliseconds)
{
    if (Mark == weConnect) {
        FRace->Poll(Milliseconds);
        if (FRace->Won()) {
            FSocket = FRace->TakeSocket();
            FPeer = FRace->WinnerAddress();
            FEvents[weConnect] = FEvents[weWrite] = true;
        } else if (FRace->Lost()) {
            FEvents[weFailed] = true;
            ReportError(FRace->LastFailure());
        }
        return;
    }
    if (Mark == weLookup) {
        if (!FLookup->Finished()) {
            pollfd watch { FLookup->ReadyHandle(), POLLIN, 0 };
            ::poll(&watch, 1, Milliseconds);
            if (!FLookup->Finished())
                return;
        }
        const int32_t code = FLookup->ErrorCode();
        FEvents[weFailed] = code != 0;
        if (code != 0)
            ReportError(code);
        else
            FEvents[weLookup] = true;
        return;
    }
    // Ask only for what the mark needs: the socket is writable nearly always,
    // and a level-triggered answer nobody waits for would spin the loop.
    pollfd watch { FSocket, static_cast<short>(Mark == weRead ? POLLIN : POLLOUT), 0 };
    if (::poll(&watch, 1, Milliseconds) > 0)
        ApplySocketEvents(watch.revents);
}

void TSmartWinsock::ProcessEvents()
{
    if (!Connected())
        return;
    pollfd watch { FSocket, POLLIN, 0 };
    if (::poll(&watch, 1, 0) <= 0)
        return;
    ApplySocketEvents(watch.revents);
    // Records that arrived are taken in now, so that HasBufferedData(),
    // BytesAvailable() and PeerHasClosed() see their data or a close_notify.
    // (The error handler above may have closed the socket.)
    if (!FTls || !FTls->Sound() || FTlsPeerClosed || FEvents[weFailed] || FSocket == -1)
        return;
    switch (FTls->Peek()) {
    case tlsClosed:
        FTlsPeerClosed = true;
        break;
    case tlsFailed:
        // Like a reset: reported now, the next wait ends without a second report.
        FEvents[weFailed] = true;
        ReportTlsFailure();
        break;
    default:
        break;
    }
}

void TSmartWinsock::ApplySocketEvents(short Revents)
{
    if (Revents == 0)
        return;
    if (Revents & POLLERR) {
        // A reset or a network failure: reported once, SO_ERROR then clears.
        const int error = PendingSocketError(FSocket);
        if (error != 0) {
            FEvents[weFailed] = true;
            ReportError(WinsockCodeFromErrno(error));
            return;
        }
    }
    FEvents[weFailed] = false;
    // A plain close reads as readable (recv gives 0); a dead socket is ready
    // both ways, so the next operation learns its state at once.
    if (Revents & (POLLIN | POLLHUP | POLLERR))
        FEvents[weRead] = true;
    if (Revents & (POLLOUT | POLLHUP | POLLERR))
        FEvents[weWrite] = true;
}
