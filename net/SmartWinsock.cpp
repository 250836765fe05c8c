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
    const auto Left = Until - std::chrono::steady_clock::now();
    if (Left <= std::chrono::steady_clock::duration::zero())
        return 0;
    // Round up, so that the last poll does not end a hair before the deadline.
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(Left).count()) + 1;
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
    TTargetParts Parts = SplitTarget(Value);
    FTargetHost = Parts.Host;
    FSecurity = Parts.Security;
    // The port stays in force for later hosts until it is set again.
    if (!Parts.Port.empty())
        SetTargetPort(Parts.Port);
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

    std::vector<TPeerAddress> Addresses;
    uint16_t Port = 0;
    if (!ResolveHost(Addresses) || !ResolvePort(Port))
        return false;
    FRace = std::make_unique<TConnectRace>(ConnectOrder(Addresses), Port);
    bool Result = WaitFor(weConnect);
    if (!Result)
        FRace->GiveUp(FLastReported);
    FConnectAttempts = FRace->Failures();
    FRace.reset();
    if (Result) {
        FConnectedHost = HostForLookup(FTargetHost);
        if (UseTls())
            Result = Handshake();
    }

    // The failed step has reported; the clean-up reports nothing.
    if (!Result && FSocket != -1)
        Disconnect();
    return Result;
}

bool TSmartWinsock::ResolveHost(std::vector<TPeerAddress>& Addresses)
{
    if (FTargetHost.empty()) {
        ReportError(kWinsockAddressNotAvailable);
        return false;
    }
    const std::string Host = HostForLookup(FTargetHost);
    in_addr Numeric {};
    if (::inet_aton(Host.c_str(), &Numeric) != 0) {
        TPeerAddress Address;
        auto* V4 = reinterpret_cast<sockaddr_in*>(&Address.Storage);
        V4->sin_family = AF_INET;
        V4->sin_addr = Numeric;
        Address.Length = sizeof(sockaddr_in);
        Addresses.push_back(Address);
        return true;
    }

    FEvents[weLookup] = false;
    FLookup = std::make_unique<THostLookup>(Host, FResolver);
    const bool Found = WaitFor(weLookup);
    if (Found)
        Addresses = FLookup->Addresses();
    // Dropping the look-up cancels it: a late answer goes nowhere.
    FLookup.reset();
    return Found;
}

bool TSmartWinsock::ResolvePort(uint16_t& PortNetworkOrder)
{
    if (FTargetPort.empty()) {
        ReportError(kWinsockAddressNotAvailable);
        return false;
    }
    uint16_t Number = 0;
    if (ParsePortNumber(FTargetPort, Number)) {
        PortNetworkOrder = htons(Number);
        return true;
    }
    // Services come from the local services table, so this does not block.
    servent Entry {};
    servent* Found = nullptr;
    char Buffer[1024];
    if (::getservbyname_r(FTargetPort.c_str(), "tcp", &Entry, Buffer, sizeof Buffer, &Found) != 0 || !Found) {
        ReportError(kWinsockNoData);
        return false;
    }
    PortNetworkOrder = static_cast<uint16_t>(Found->s_port);
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
    const Deadline Until = std::chrono::steady_clock::now() + std::chrono::seconds(FTimeout);
    if (FTls)
        return SendTls(Buffer, Count, Until);
    for (;;) {
        if (!WaitUntil(weWrite, Until))
            return -1;
        const ssize_t N = ::send(FSocket, Buffer, static_cast<size_t>(Count), MSG_NOSIGNAL);
        if (N >= 0) {
            FBytesSent += N;
            return static_cast<int32_t>(N);
        }
        const int Error = errno;
        FEvents[weWrite] = false;
        // A full buffer is no failure: wait for room within the same deadline.
        if (!ErrnoWouldBlock(Error)) {
            ReportError(WinsockCodeFromErrno(Error));
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
    const Deadline Until = std::chrono::steady_clock::now() + std::chrono::seconds(FTimeout);
    if (FTls)
        return ReceiveTls(Buffer, Size, Until);
    for (;;) {
        if (!WaitUntil(weRead, Until))
            return -1;
        const ssize_t N = ::recv(FSocket, Buffer, static_cast<size_t>(Size), 0);
        const int Error = errno;
        FEvents[weRead] = false;
        if (N >= 0) {
            FBytesReceived += N;
            return static_cast<int32_t>(N);
        }
        if (!ErrnoWouldBlock(Error)) {
            ReportError(WinsockCodeFromErrno(Error));
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
    const Deadline Until = std::chrono::steady_clock::now() + std::chrono::seconds(FTimeout);
    // The first step needs no wait; marking it ready still runs the hook.
    TSmartWinsockEvent Mark = weWrite;
    FEvents[weWrite] = true;
    for (;;) {
        if (!WaitUntil(Mark, Until) || !FTls) {
            FTls.reset();
            return false;
        }
        const TTlsStep Step = FTls->Handshake();
        if (Step == tlsDone) {
            FTlsInfo = FTls->Info();
            return true;
        }
        if (Step != tlsWantRead && Step != tlsWantWrite) {
            ReportTlsFailure();
            FTls.reset();
            return false;
        }
        Mark = Step == tlsWantRead ? weRead : weWrite;
        FEvents[Mark] = false;
    }
}

int32_t TSmartWinsock::SendTls(const void* Buffer, int32_t Count, Deadline Until)
{
    TSmartWinsockEvent Mark = weWrite;
    for (;;) {
        if (!WaitUntil(Mark, Until) || !FTls)
            return -1;
        if (Count == 0)
            return 0;
        int32_t Written = 0;
        switch (FTls->Write(Buffer, Count, Written)) {
        case tlsDone:
            FBytesSent += Written;
            return Written;
        case tlsWantRead:
            Mark = weRead;
            break;
        case tlsWantWrite:
            Mark = weWrite;
            break;
        case tlsClosed:
            ReportError(kWinsockShutDown);
            return -1;
        default:
            ReportTlsFailure();
            return -1;
        }
        FEvents[Mark] = false;
    }
}

int32_t TSmartWinsock::ReceiveTls(void* Buffer, int32_t Size, Deadline Until)
{
    // OpenSSL may hold data the socket no longer shows: read before waiting.
    TSmartWinsockEvent Mark = weRead;
    FEvents[weRead] = true;
    for (;;) {
        if (!WaitUntil(Mark, Until) || !FTls)
            return -1;
        if (FTlsPeerClosed || Size == 0)
            return 0;
        int32_t Count = 0;
        switch (FTls->Read(Buffer, Size, Count)) {
        case tlsDone:
            Count += ReadDecryptedWithoutWaiting(static_cast<char*>(Buffer) + Count, Size - Count);
            FBytesReceived += Count;
            return Count;
        case tlsClosed:
            FTlsPeerClosed = true;
            return 0;
        case tlsWantRead:
            Mark = weRead;
            break;
        case tlsWantWrite:
            Mark = weWrite;
            break;
        default:
            ReportTlsFailure();
            return -1;
        }
        FEvents[Mark] = false;
    }
}

// One record is at most 16 KB: what further records have already arrived is
// taken in the same call, so a fast server costs no more calls than in clear.
// Whatever ends the loop (nothing more yet, the peer's close, a failure)
// shows again at the next read.
int32_t TSmartWinsock::ReadDecryptedWithoutWaiting(char* Buffer, int32_t Size)
{
    int32_t Total = 0;
    while (Total < Size) {
        int32_t Count = 0;
        if (FTls->Read(Buffer + Total, Size - Total, Count) != tlsDone)
            break;
        Total += Count;
    }
    return Total;
}

// Copies first: the error handler may disconnect and so end the session.
void TSmartWinsock::ReportTlsFailure()
{
    const int32_t Code = FTls->FailureCode();
    const std::string Reason = FTls->FailureReason();
    ReportError(Code, Reason);
}

int32_t TSmartWinsock::SendString(const std::string& Text)
{
    if (Text.empty())
        return Send(Text.data(), 0);
    // send() may take only part of the text; the rest follows, each part
    // with its own bounded wait.
    size_t Done = 0;
    while (Done < Text.size()) {
        const size_t Piece = std::min(Text.size() - Done, kLargestSend);
        const int32_t N = Send(Text.data() + Done, static_cast<int32_t>(Piece));
        if (N < 0)
            return -1;
        if (N == 0)
            break;
        Done += static_cast<size_t>(N);
    }
    return static_cast<int32_t>(std::min<size_t>(Done, INT32_MAX));
}

int32_t TSmartWinsock::ReceiveString(std::string& Text)
{
    Text.clear();
    char Buffer[kReceiveStringSize];
    const int32_t N = Receive(Buffer, sizeof Buffer);
    if (N >= 0)
        Text.assign(Buffer, static_cast<size_t>(N));
    return N;
}

int32_t TSmartWinsock::BytesAvailable() const
{
    if (!Connected())
        return 0;
    int Count = 0;
    if (::ioctl(FSocket, FIONREAD, &Count) != 0)
        Count = 0;
    if (!FTls)
        return Count;
    return static_cast<int32_t>(std::min<int64_t>(int64_t { FTls->Pending() } + Count, INT32_MAX));
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
    char Name[256] = {};
    if (::gethostname(Name, sizeof Name - 1) != 0)
        return {};
    return Name;
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
    std::string Origin;
    std::string Description;
    int32_t Reported = 0;
    GetErrorInfo(Origin, Reported, Description);
    // A copy, so that a handler may replace OnError while it runs.
    TSmartWinsockError Handler = OnError;
    Handler(this, Origin, Reported, Description);
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
    bool Gone = false;
    bool Cancelled = CancelledWhileWaiting();
    while (!Cancelled && !FEvents[Mark] && !FEvents[weFailed]) {
        // An error handler may have closed the socket meanwhile.
        Gone = WaitedForIsGone(Mark);
        const int Left = RemainingMs(Until);
        if (Gone || Left == 0)
            break;
        PollOnce(Mark, OnWaiting ? std::min(Left, kWaitingSliceMs) : Left);
        Cancelled = CancelledWhileWaiting();
    }
    FWaiting = false;
    FCancelRequested = false;
    // The handler of a stop may have closed the socket itself.
    Gone = Gone || WaitedForIsGone(Mark);
    if (Cancelled) {
        if (!FEvents[weFailed])
            ReportError(kWinsockCancelled);
        FEvents[weFailed] = false;
        return false;
    }
    const bool Seen = FEvents[Mark];
    if (!Seen && !FEvents[weFailed] && !Gone)
        ReportError(kWinsockTimedOut);
    FEvents[weFailed] = false;
    return Seen;
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
            pollfd Watch { FLookup->ReadyHandle(), POLLIN, 0 };
            ::poll(&Watch, 1, Milliseconds);
            if (!FLookup->Finished())
                return;
        }
        const int32_t Code = FLookup->ErrorCode();
        FEvents[weFailed] = Code != 0;
        if (Code != 0)
            ReportError(Code);
        else
            FEvents[weLookup] = true;
        return;
    }
    // Ask only for what the mark needs: the socket is writable nearly always,
    // and a level-triggered answer nobody waits for would spin the loop.
    pollfd Watch { FSocket, static_cast<short>(Mark == weRead ? POLLIN : POLLOUT), 0 };
    if (::poll(&Watch, 1, Milliseconds) > 0)
        ApplySocketEvents(Watch.revents);
}

void TSmartWinsock::ProcessEvents()
{
    if (!Connected())
        return;
    pollfd Watch { FSocket, POLLIN, 0 };
    if (::poll(&Watch, 1, 0) <= 0)
        return;
    ApplySocketEvents(Watch.revents);
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
        const int Error = PendingSocketError(FSocket);
        if (Error != 0) {
            FEvents[weFailed] = true;
            ReportError(WinsockCodeFromErrno(Error));
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
