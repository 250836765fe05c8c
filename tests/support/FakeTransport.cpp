// Scripted transport for reader tests and the reply fuzzer.
#include "tests/support/FakeTransport.h"

#include <utility>

#include "net/SmartWinsock.h"
#include "net/WinsockErrors.h"

TFakeTransport& TFakeTransport::Chunk(std::string Bytes)
{
    FSteps.push_back({ TKind::Data, std::move(Bytes) });
    return *this;
}

TFakeTransport& TFakeTransport::TimeOut()
{
    FSteps.push_back({ TKind::TimeOut, {} });
    return *this;
}

TFakeTransport& TFakeTransport::Reset()
{
    FSteps.push_back({ TKind::Reset, {} });
    return *this;
}

TFakeTransport& TFakeTransport::Close()
{
    FSteps.push_back({ TKind::Close, {} });
    return *this;
}

TFakeTransport& TFakeTransport::TlsFailure(std::string Reason)
{
    FSteps.push_back({ TKind::TlsFailure, std::move(Reason) });
    return *this;
}

bool TFakeTransport::Connect()
{
    if (FConnected) {
        Report(kWinsockAlreadyConnected);
        return false;
    }
    if (FRefuseCode != 0) {
        Report(FRefuseCode);
        return false;
    }
    FConnected = true;
    FEncrypted = FTlsAtConnect;
    return true;
}

bool TFakeTransport::Disconnect()
{
    if (!FConnected) {
        Report(kWinsockNotConnected);
        return false;
    }
    FConnected = false;
    return true;
}

int32_t TFakeTransport::SendString(const std::string& Text)
{
    if (!FConnected) {
        Report(kWinsockNotConnected);
        return -1;
    }
    FSent += Text;
    return static_cast<int32_t>(Text.size());
}

int32_t TFakeTransport::ReceiveString(std::string& Text)
{
    Text.clear();
    if (!FConnected) {
        Report(kWinsockNotConnected);
        return -1;
    }
    // After an orderly close every read ends at once with nothing.
    if (FClosed)
        return 0;
    if (FSteps.empty()) {
        Report(kWinsockTimedOut);
        return -1;
    }
    TStep Step = std::move(FSteps.front());
    FSteps.pop_front();
    switch (Step.Kind) {
    case TKind::Data:
        Text = std::move(Step.Bytes);
        FReceived += static_cast<int64_t>(Text.size());
        return static_cast<int32_t>(Text.size());
    case TKind::TimeOut:
        Report(kWinsockTimedOut);
        return -1;
    case TKind::Reset:
        Report(kWinsockConnectionReset);
        return -1;
    case TKind::Close:
        FClosed = true;
        return 0;
    case TKind::TlsFailure:
        Report(kWinsockTlsRecordError, Step.Bytes);
        return -1;
    }
    return -1;
}

int32_t TFakeTransport::BytesAvailable() const
{
    if (!FConnected || FClosed || FSteps.empty() || FSteps.front().Kind != TKind::Data)
        return 0;
    return static_cast<int32_t>(FSteps.front().Bytes.size());
}

bool TFakeTransport::PeerHasClosed() const
{
    return FConnected && (FClosed || (!FSteps.empty() && FSteps.front().Kind == TKind::Close));
}

void TFakeTransport::Report(int32_t Code, const std::string& TlsReason)
{
    FTlsReason = TlsReason;
    if (!FOnError)
        return;
    // A copy, so that the handler may replace itself while it runs.
    const TTransportError Handler = FOnError;
    Handler("Winsock", Code, TSmartWinsock::ErrorText(Code));
}
