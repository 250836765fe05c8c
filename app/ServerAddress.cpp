#include "app/ServerAddress.h"

#include "text/AsciiText.h"

namespace {

bool AllOf(const std::string& Text, bool (*Accepts)(char))
{
    for (const char Character : Text)
        if (!Accepts(Character))
            return false;
    return true;
}

// "%XX" escapes decoded; false for a broken escape or a decoded byte that
// no command line may carry (control characters, 8-bit bytes).
bool PercentDecode(const std::string& Text, std::string& Decoded)
{
    Decoded.clear();
    for (size_t Index = 0; Index < Text.size(); ++Index) {
        int Byte = static_cast<unsigned char>(Text[Index]);
        if (Byte == '%') {
            if (Index + 2 >= Text.size())
                return false;
            const int High = AsciiHexValue(Text[Index + 1]);
            const int Low = AsciiHexValue(Text[Index + 2]);
            if (High < 0 || Low < 0)
                return false;
            Byte = High * 16 + Low;
            Index += 2;
        }
        if (Byte < 0x20 || Byte >= 0x7F)
            return false;
        Decoded += static_cast<char>(Byte);
    }
    return true;
}

bool IsHostCharacter(char C)
{
    return IsAsciiAlnum(C) || C == '-' || C == '.' || C == '_';
}

bool IsV6Character(char C)
{
    return IsAsciiHexDigit(C) || C == ':' || C == '.';
}

bool IsMechanismCharacter(char C)
{
    return IsAsciiAlnum(C) || C == '-' || C == '_' || C == '+' || C == '*';
}

bool ValidPort(const std::string& Port)
{
    if (Port.empty() || Port.size() > 5 || !AllOf(Port, IsAsciiDigit))
        return false;
    const int Number = std::stoi(Port);
    return Number >= 1 && Number <= 65535;
}

// "host", "host:port", "[v6]", "[v6]:port"; an empty port is the default.
bool SplitHostPort(const std::string& Text, TServerAddress& Address)
{
    std::string Rest;
    if (!Text.empty() && Text.front() == '[') {
        const size_t Close = Text.find(']');
        if (Close == std::string::npos || Close < 3)
            return false;
        const std::string Inside = Text.substr(1, Close - 1);
        if (!AllOf(Inside, IsV6Character))
            return false;
        Address.Host = Text.substr(0, Close + 1);
        Rest = Text.substr(Close + 1);
    } else {
        const size_t Colon = Text.find(':');
        std::string Name;
        if (!PercentDecode(Text.substr(0, Colon), Name) || Name.empty() || !AllOf(Name, IsHostCharacter))
            return false;
        Address.Host = Name;
        if (Colon != std::string::npos)
            Rest = Text.substr(Colon);
    }
    if (Rest.empty() || Rest == ":")
        return true;
    if (Rest.front() != ':' || !ValidPort(Rest.substr(1)))
        return false;
    Address.Port = Rest.substr(1);
    return true;
}

// "user", "user;AUTH=mech", "user;AUTH=*" (RFC 2384; the user name is required).
bool SplitUser(const std::string& Text, TServerAddress& Address)
{
    const size_t Semicolon = Text.find(';');
    // "user:password@" is no part of a POP address; a password never travels in one.
    if (Text.substr(0, Semicolon).find(':') != std::string::npos)
        return false;
    if (!PercentDecode(Text.substr(0, Semicolon), Address.User) || Address.User.empty())
        return false;
    if (Semicolon == std::string::npos)
        return true;
    const std::string Option = Text.substr(Semicolon + 1);
    if (!StartsWithIgnoringAsciiCase(Option, "auth="))
        return false;
    if (!PercentDecode(Option.substr(5), Address.Mechanism) || Address.Mechanism.empty()
        || !AllOf(Address.Mechanism, IsMechanismCharacter))
        return false;
    Address.Mechanism = AsciiUpper(Address.Mechanism);
    return true;
}

} // namespace

TServerAddress ParseServerAddress(const std::string& Text)
{
    TServerAddress Address;
    struct TScheme {
        const char* Prefix;
        const char* Target;
    };
    static const TScheme Schemes[]
        = { { "pop3s://", "pop3s://" }, { "pops://", "pop3s://" }, { "pop3://", "pop3://" }, { "pop://", "pop3://" } };
    const TScheme* Scheme = nullptr;
    for (const TScheme& Candidate : Schemes)
        if (StartsWithIgnoringAsciiCase(Text, Candidate.Prefix)) {
            Scheme = &Candidate;
            break;
        }
    if (!Scheme) {
        // Plain text keeps the rules of the connection; a name with '@' is
        // a mail address, never a server, and is not looked up.
        Address.Valid = Text.find('@') == std::string::npos;
        Address.Target = Text;
        return Address;
    }
    const std::string Rest = Text.substr(std::string(Scheme->Prefix).size());
    const size_t Slash = Rest.find('/');
    const std::string Authority = Rest.substr(0, Slash);
    if (Slash != std::string::npos) {
        Address.Message = Rest.substr(Slash + 1);
        if (Address.Message.size() > 9 || !AllOf(Address.Message, IsAsciiDigit))
            return TServerAddress();
    }
    // An '@' inside the user name is written "%40": the one '@' ends it.
    const size_t At = Authority.find('@');
    if (At != std::string::npos) {
        if (Authority.find('@', At + 1) != std::string::npos || !SplitUser(Authority.substr(0, At), Address))
            return TServerAddress();
    }
    if (!SplitHostPort(At == std::string::npos ? Authority : Authority.substr(At + 1), Address))
        return TServerAddress();
    Address.Target = Scheme->Target + Address.Host + (Address.Port.empty() ? "" : ":" + Address.Port);
    Address.Valid = true;
    return Address;
}
