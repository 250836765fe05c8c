#include "discovery/PinnedNames.h"

#include <cstdlib>

#include "net/PeerAddress.h"
#include "text/AsciiText.h"

namespace {

bool ReadPort(const std::string& Text, uint16_t& Port)
{
    if (Text.empty() || Text.size() > 5)
        return false;
    for (const char Char : Text)
        if (!IsAsciiDigit(Char))
            return false;
    const long Value = std::stol(Text);
    if (Value < 1 || Value > 65535)
        return false;
    Port = static_cast<uint16_t>(Value);
    return true;
}

} // namespace

std::vector<TPinnedName> ParsePinnedNames(const std::string& Text)
{
    std::vector<TPinnedName> Pins;
    size_t Start = 0;
    while (Start <= Text.size()) {
        size_t End = Text.find(',', Start);
        if (End == std::string::npos)
            End = Text.size();
        const std::string Entry = Text.substr(Start, End - Start);
        Start = End + 1;
        const size_t First = Entry.find(':');
        const size_t Second = First == std::string::npos ? First : Entry.find(':', First + 1);
        if (Second == std::string::npos)
            continue;
        TPinnedName Pin;
        Pin.Host = AsciiLower(Entry.substr(0, First));
        std::string Address = Entry.substr(Second + 1);
        const size_t At = Address.rfind('@');
        if (At != std::string::npos) {
            if (!ReadPort(Address.substr(At + 1), Pin.ConnectPort))
                continue;
            Address.resize(At);
        }
        if (Address.size() > 2 && Address.front() == '[' && Address.back() == ']')
            Address = Address.substr(1, Address.size() - 2);
        TPeerAddress Parsed;
        if (Pin.Host.empty() || !ReadPort(Entry.substr(First + 1, Second - First - 1), Pin.Port)
            || !ParseNumericAddress(Address, Parsed))
            continue;
        Pin.Address = Address;
        Pins.push_back(Pin);
    }
    return Pins;
}

const std::vector<TPinnedName>& PinnedNames()
{
    static const std::vector<TPinnedName> kPins = [] {
        const char* Value = std::getenv("BRIEFLOTSE_RESOLVE");
        return Value ? ParsePinnedNames(Value) : std::vector<TPinnedName> {};
    }();
    return kPins;
}

const TPinnedName* FindPin(const std::vector<TPinnedName>& Pins, const std::string& Host, uint16_t Port)
{
    const std::string Name = AsciiLower(Host);
    for (const TPinnedName& Pin : Pins)
        if (Pin.Host == Name && Pin.Port == Port)
            return &Pin;
    return nullptr;
}
