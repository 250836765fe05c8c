#include "net/WinsockTarget.h"

#include <cctype>
#include <cstdint>

TTargetParts SplitTarget(const std::string& Value)
{
    if (!Value.empty() && Value.front() == '[') {
        const auto close = Value.find(']');
        if (close != std::string::npos && (close + 1 == Value.size() || Value[close + 1] == ':'))
            return {Value.substr(0, close + 1), close + 1 < Value.size() ? Value.substr(close + 2) : std::string()};
    }
    const auto colon = Value.find(':');
    if (colon == std::string::npos)
        return {Value, {}};
    return {Value.substr(0, colon), Value.substr(colon + 1)};
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
        if (!std::isdigit(static_cast<unsigned char>(Text[i])))
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
