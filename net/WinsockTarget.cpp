#include "net/WinsockTarget.h"

#include "text/AsciiText.h"

#include <cstdint>

namespace {

TTargetParts SplitHostPort(const std::string& Value)
{
    if (!Value.empty() && Value.front() == '[') {
        const auto Close = Value.find(']');
        if (Close != std::string::npos && (Close + 1 == Value.size() || Value[Close + 1] == ':'))
            return { Value.substr(0, Close + 1), Close + 1 < Value.size() ? Value.substr(Close + 2) : std::string() };
    }
    const auto Colon = Value.find(':');
    if (Colon == std::string::npos)
        return { Value, {} };
    return { Value.substr(0, Colon), Value.substr(Colon + 1) };
}

} // namespace

TTargetParts SplitTarget(const std::string& Value)
{
    struct TScheme {
        const char* Prefix;
        TTargetSecurity Security;
        const char* Port;
    };
    static const TScheme kSchemes[] = { { "pop3s://", scImplicitTls, "995" }, { "pop3://", scPlain, "110" } };
    for (const TScheme& Scheme : kSchemes) {
        const std::string Prefix = Scheme.Prefix;
        if (!StartsWithIgnoringAsciiCase(Value, Prefix))
            continue;
        std::string Rest = Value.substr(Prefix.size());
        if (!Rest.empty() && Rest.back() == '/')
            Rest.pop_back();
        TTargetParts Parts = SplitHostPort(Rest);
        Parts.Security = Scheme.Security;
        if (Parts.Port.empty())
            Parts.Port = Scheme.Port;
        return Parts;
    }
    return SplitHostPort(Value);
}

bool IsImplicitTlsPort(const std::string& Port)
{
    uint16_t Number = 0;
    if (ParsePortNumber(Port, Number))
        return Number == 995;
    return Port == "pop3s";
}

std::string HostForLookup(const std::string& TargetHost)
{
    if (TargetHost.size() >= 2 && TargetHost.front() == '[' && TargetHost.back() == ']')
        return TargetHost.substr(1, TargetHost.size() - 2);
    return TargetHost;
}

bool ParsePortNumber(const std::string& Text, uint16_t& Port)
{
    size_t I = 0;
    if (I < Text.size() && Text[I] == '+')
        ++I;
    if (I == Text.size())
        return false;
    // A number must fit a 32-bit integer; longer digit strings are names.
    uint64_t Value = 0;
    for (; I < Text.size(); ++I) {
        if (!IsAsciiDigit(Text[I]))
            return false;
        Value = Value * 10 + static_cast<uint64_t>(Text[I] - '0');
        if (Value > INT32_MAX)
            return false;
    }
    Port = static_cast<uint16_t>(Value & 0xFFFFu);
    return true;
}

uint8_t ClampTimeout(int Seconds)
{
    if (Seconds < 1)
        return 1;
    if (Seconds > 60)
        return 60;
    return static_cast<uint8_t>(Seconds);
}
