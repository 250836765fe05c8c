// DNS lookup component (see SmartNSLookup.h).
#include "dns/SmartNSLookup.h"

#include "net/WinsockErrors.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>

namespace {

constexpr int32_t kChunkSize = 8192;

std::string& ResolverConfig()
{
    static std::string Path;
    return Path;
}

// Prefix, ID and flags: enough to tell a DNS response from anything else.
constexpr int32_t kFlagsEnd = 6;

// A response to our standard query has QR set and opcode 0. Text from a web,
// mail or other server has neither (an HTTP reply's "/1" reads as flags 0x2F31).
bool LooksLikeResponse(const uint8_t* Prefixed)
{
    return (Prefixed[4] & 0xF8) == 0x80;
}

std::string Trim(const std::string& Text)
{
    const char* Blanks = " \t\r\n";
    const size_t First = Text.find_first_not_of(Blanks);
    if (First == std::string::npos)
        return std::string();
    return Text.substr(First, Text.find_last_not_of(Blanks) - First + 1);
}

} // namespace

thread_local int32_t TSmartNSLookup::FPendingID = -1;

int32_t TSmartNSLookup::PendingID()
{
    return FPendingID;
}

TSmartNSLookup::TSmartNSLookup()
    : FQueryBuffer(new uint8_t[BufferSize]())
    , FAnswerBuffer(new uint8_t[BufferSize]())
{
    // The base constructor cannot reach our overrides, so the defaults are set here.
    SetTargetHost(GetDefaultHost());
    SetTargetPort(GetDefaultPort());
    FHeader = std::make_unique<TSmartNSHeader>(this);
    FQuestion = std::make_unique<TSmartNSQuestion>(this);
    FAnswers = std::make_unique<TSmartNSRecords>(this);
    FAuthorities = std::make_unique<TSmartNSRecords>(this);
    FAdditionals = std::make_unique<TSmartNSRecords>(this);
    FSync = false;
}

TSmartNSLookup::~TSmartNSLookup() = default;

std::string TSmartNSLookup::GetDefaultHost()
{
    return GetNameServer();
}

std::string TSmartNSLookup::GetDefaultPort()
{
    // The host part of a chosen "host:port" carries the port already.
    const char* Chosen = std::getenv("BRIEFLOTSE_NAMESERVER");
    const std::string Text = Chosen ? Chosen : "";
    const size_t Colon = Text.rfind(':');
    if (Colon != std::string::npos && Colon + 1 < Text.size() && Text.find(':') == Colon)
        return Text.substr(Colon + 1);
    if (Colon != std::string::npos && Text[0] == '[' && Colon > 0 && Text[Colon - 1] == ']')
        return Text.substr(Colon + 1);
    return "domain";
}

void TSmartNSLookup::SetResolverConfig(const std::string& Path)
{
    ResolverConfig() = Path;
}

std::string TSmartNSLookup::GetNameServer()
{
    // A name server of one's own choice ("host" or "host:port") for the finder
    // alone, for set-ups where the system's is not the one to ask (and tests).
    if (const char* Chosen = std::getenv("BRIEFLOTSE_NAMESERVER"); Chosen && *Chosen)
        return Chosen; // a port in it ("host:port", "[v6]:port") wins over "domain"
    const std::string Path = ResolverConfig().empty() ? std::string("/etc/resolv.conf") : ResolverConfig();
    std::ifstream File(Path);
    std::string Line;
    std::string Server;
    while (std::getline(File, Line)) {
        const std::string Text = Trim(Line);
        const std::string Keyword = "nameserver";
        if (Text.compare(0, Keyword.size(), Keyword) != 0 || Text.size() <= Keyword.size()
            || (Text[Keyword.size()] != ' ' && Text[Keyword.size()] != '\t'))
            continue;
        Server = Trim(Text.substr(Keyword.size()));
        // As the system resolver reads it: the value ends at a blank or a
        // comment; a comma also separates several servers.
        const size_t End = Server.find_first_of(" \t#;,");
        if (End != std::string::npos)
            Server.erase(End);
        if (!Server.empty())
            break;
    }
    // A bare IPv6 address would be read as "host:port"; the bracket form is not.
    if (Server.find(':') != std::string::npos && Server.front() != '[')
        Server = "[" + Server + "]";
    return Server;
}

void TSmartNSLookup::SetSync(bool Value)
{
    if (Value == FSync)
        return;
    FSync = Value;
    if (OnSyncChange)
        OnSyncChange(this, Value);
}

void TSmartNSLookup::Reset(bool NewID)
{
    FHeader->Clear(NewID);
    FQuestion->Clear();
    FAnswers->Clear();
    FAuthorities->Clear();
    FAdditionals->Clear();
}

bool TSmartNSLookup::BuildQuery()
{
    TSmartNSWriter P;
    P.Buffer = FQueryBuffer.get();
    P.Capacity = BufferSize;
    P.Pos = 2;
    FHeader->Encode(P);
    FQuestion->Encode(P);
    FQueryLength = P.Pos;
    const int32_t MessageLength = FQueryLength - 2;
    FQueryBuffer[0] = static_cast<uint8_t>(MessageLength >> 8);
    FQueryBuffer[1] = static_cast<uint8_t>(MessageLength & 0xFF);
    // A name that cannot be encoded, or one too long for the buffer: better
    // refused than sent changed or cut short.
    if (P.Refused)
        ReportError(ErrorBadName);
    else if (P.Overflow)
        ReportError(kWinsockMessageTooLong);
    return !P.Refused && !P.Overflow;
}

int32_t TSmartNSLookup::SendQuery()
{
    if (FPendingID >= 0) {
        ReportError(kWinsockWouldBlock);
        return -1;
    }
    if (!BuildQuery())
        return -1;
    FPendingID = FHeader->ID();
    // A partial send would leave the server waiting for the rest: send it.
    int32_t Sent = 0;
    while (Sent < FQueryLength) {
        const int32_t Written = Send(FQueryBuffer.get() + Sent, FQueryLength - Sent);
        if (Written == -1) {
            FPendingID = -1;
            return -1;
        }
        if (Written == 0)
            break;
        Sent += Written;
    }
    return Sent;
}

int32_t TSmartNSLookup::ReceiveAnswer()
{
    if (FHeader->ID() != FPendingID) {
        ReportError(kWinsockWouldBlock);
        return -1;
    }
    if (!FInLookup)
        SetDeadline(std::chrono::steady_clock::now() + std::chrono::seconds(Timeout()));
    FAnswerLength = 0;
    int64_t Expected = 2147483647;
    bool Failed = false;
    while (Expected > FAnswerLength) {
        const int32_t Room = BufferSize - FAnswerLength;
        if (Room == 0) {
            // Announced more than the buffer holds: stop here rather than overrun it.
            ReportError(kWinsockMessageTooLong);
            Failed = true;
            break;
        }
        const int32_t Got = Receive(FAnswerBuffer.get() + FAnswerLength, std::min(kChunkSize, Room));
        if (Got == -1) {
            Failed = true;
            break;
        }
        if (Got == 0) {
            // Closed before the response was whole: waiting longer gains nothing.
            ReportError(ErrorClosed);
            Failed = true;
            break;
        }
        const int32_t Before = FAnswerLength;
        FAnswerLength += Got;
        // The prefix may come split over two pieces: wait for both bytes.
        if (Before < 2 && FAnswerLength >= 2)
            Expected = ((FAnswerBuffer[0] << 8) | FAnswerBuffer[1]) + 2;
        if (Before < kFlagsEnd && FAnswerLength >= kFlagsEnd && !LooksLikeResponse(FAnswerBuffer.get())) {
            ReportError(ErrorNotDNS);
            Failed = true;
            break;
        }
    }
    if (!FInLookup)
        ClearDeadline();
    FPendingID = -1;
    if (Failed)
        return -1;
    if (!ParseAnswer(static_cast<int32_t>(Expected)))
        return -1;
    return FAnswerLength;
}

bool TSmartNSLookup::ParseAnswer(int32_t MessageEnd)
{
    // Bytes beyond the announced length belong to no message.
    TSmartNSReader P;
    P.Message = FAnswerBuffer.get();
    P.Length = std::min(FAnswerLength, MessageEnd);
    P.Pos = 2;
    const bool Complete = DecodeResponse(P, *FHeader, *FQuestion, *FAnswers, *FAuthorities, *FAdditionals);
    FSync = true;
    // The records decoded before the damage stay; one report either way.
    if (FHeader->RCODE != 0)
        ReportError(FHeader->RCODE);
    else if (!Complete)
        ReportError(ErrorMalformed);
    return Complete;
}

bool TSmartNSLookup::Lookup()
{
    if (CheckName(FQuestion->QName()) != TSmartNSNameFault::None) {
        ReportError(ErrorBadName);
        return false;
    }
    // One limit for the whole exchange: a server that trickles its answer
    // cannot stretch it piece by piece.
    SetDeadline(std::chrono::steady_clock::now() + std::chrono::seconds(Timeout()));
    FInLookup = true;
    bool Result = false;
    if (Connect()) {
        if (SendQuery() != -1 && ReceiveAnswer() != -1)
            Result = FHeader->RCODE == 0;
        Disconnect();
    }
    FInLookup = false;
    ClearDeadline();
    return Result;
}

std::string TSmartNSLookup::RcodeText(int32_t Code)
{
    switch (Code) {
    case 1:
        return "Format Error";
    case 2:
        return "Server failure";
    case 3:
        return "Name Error";
    case 4:
        return "Not Implemented";
    case 5:
        return "Refused";
    case ErrorMalformed:
        return "Malformed response";
    case ErrorBadName:
        return "Invalid domain name";
    case ErrorClosed:
        return "Connection closed before the response was complete";
    case ErrorNotDNS:
        return "Response is not DNS";
    default:
        return std::string();
    }
}

void TSmartNSLookup::GetErrorInfo(std::string& Origin, int32_t& Code, std::string& Description)
{
    const int32_t Last = LastError();
    if (Last >= kWinsockFirstCode) {
        TSmartWinsock::GetErrorInfo(Origin, Code, Description);
        return;
    }
    Origin = "NSLookup";
    Code = Last;
    Description = RcodeText(Last);
    // The base clears LastError; its other values are overwritten again.
    std::string IgnoredOrigin;
    int32_t IgnoredCode = 0;
    std::string IgnoredDescription;
    TSmartWinsock::GetErrorInfo(IgnoredOrigin, IgnoredCode, IgnoredDescription);
}
