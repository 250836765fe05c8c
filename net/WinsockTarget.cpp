#include "net/WinsockTarget.h"

#include "text/AsciiText.h"

#include <cstdint>

namespace {

TTargetParts SplitHostPort(const std::string& Value)
{
    if (!Value.empty() && Value.front() == '[') {
        const auto close = Value.find(']');
        if (close != std::string::npos && (close + 1 == Value.size() || Value[close + 1] == ':'))
            return { Value.substr(0, close + 1), close + 1 < Value.size() ? Value.substr(close + 2) : std::string() };
    }
    const auto colon = Value.find(':');
    if (colon == std::string::npos)
        return { Value, {} };
    return { Value.substr(0, colon), Value.substr(colon + 1) };
}

} // namespace

TTargetParts SplitTarget(const std::string& Value)
{
    struct Scheme {
        const char* Prefix;
        TTargetSecurity Security;
        const char* Port;
    };
    static const Scheme kSchemes[] = { { "pop3s://", scImplicitTls, "995" }, { "pop3://", scPlain, "110" } };
    for (const Scheme& scheme : kSchemes) {
        const std::string prefix = scheme.Prefix;
        if (!StartsWithIgnoringAsciiCase(Value, prefix))
            continue;
        std::string rest = Value.substr(prefix.size());
        if (!rest.empty() && rest.back() == '/')
            rest.pop_back();
        TTargetParts parts = SplitHostPort(rest);
        parts.Security = scheme.Security;
        if (parts.Port.empty())
            parts.Port = scheme.Port;
        return parts;
    }
    return SplitHostPort(Value);
}

bool IsImplicitTlsPort(const std::string& Port)
{
    uint16_t number = 0;
    if (ParsePortNumber(Port, number))
        return number == 995;
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
    size_t i = 0;
    if (i < Text.size() && Text[i] == '+')
        ++i;
    if (i == Text.size())
        return false;
    // A number must fit a 32-bit integer; longer digit strings are names.
    uint64_t value = 0;
    for (; i < Text.size(); ++i) {
        if (!IsAsciiDigit(Text[i]))
            return false;
        value = value * 10 + static_cast<uint64_t>(Text[i] - '0');
        if (value > INT32_MAX)
            return false;
    }
    Port = static_cast<uint16_t>(value & 0xFFFFu);
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
