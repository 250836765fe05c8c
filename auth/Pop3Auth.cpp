#include "auth/Pop3Auth.h"

#include "auth/AuthCrypto.h"
#include "text/AsciiText.h"

namespace {

const char Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int SextetOf(char Character)
{
    if (Character >= 'A' && Character <= 'Z')
        return Character - 'A';
    if (Character >= 'a' && Character <= 'z')
        return Character - 'a' + 26;
    if (Character >= '0' && Character <= '9')
        return Character - '0' + 52;
    if (Character == '+')
        return 62;
    if (Character == '/')
        return 63;
    return -1;
}

// Inside a timestamp: printable, no blank, no second bracket.
bool TimestampCharacter(unsigned char Character)
{
    return Character > 0x20 && Character != 0x7f && Character != '<' && Character != '>';
}

} // namespace

std::string Base64Encode(const std::string& Bytes)
{
    std::string Text;
    Text.reserve((Bytes.size() + 2) / 3 * 4);
    size_t I = 0;
    for (; I + 3 <= Bytes.size(); I += 3) {
        const unsigned Group = static_cast<unsigned char>(Bytes[I]) << 16
            | static_cast<unsigned char>(Bytes[I + 1]) << 8 | static_cast<unsigned char>(Bytes[I + 2]);
        Text += Alphabet[Group >> 18];
        Text += Alphabet[(Group >> 12) & 63];
        Text += Alphabet[(Group >> 6) & 63];
        Text += Alphabet[Group & 63];
    }
    const size_t Rest = Bytes.size() - I;
    if (Rest > 0) {
        unsigned Group = static_cast<unsigned char>(Bytes[I]) << 16;
        if (Rest == 2)
            Group |= static_cast<unsigned char>(Bytes[I + 1]) << 8;
        Text += Alphabet[Group >> 18];
        Text += Alphabet[(Group >> 12) & 63];
        Text += Rest == 2 ? Alphabet[(Group >> 6) & 63] : '=';
        Text += '=';
    }
    return Text;
}

bool Base64Decode(const std::string& Text, std::string& Bytes)
{
    Bytes.clear();
    if (Text.size() % 4 != 0)
        return false;
    std::string Out;
    Out.reserve(Text.size() / 4 * 3);
    for (size_t I = 0; I < Text.size(); I += 4) {
        const bool Last = I + 4 == Text.size();
        const size_t Padding = Last ? (Text[I + 3] == '=') + (Text[I + 2] == '=' && Text[I + 3] == '=') : 0;
        unsigned Group = 0;
        for (size_t J = 0; J < 4 - Padding; ++J) {
            const int Sextet = SextetOf(Text[I + J]);
            if (Sextet < 0)
                return false;
            Group = Group << 6 | static_cast<unsigned>(Sextet);
        }
        Group <<= 6 * Padding;
        // Canonical: the bits the padding cuts off are zero.
        if ((Padding == 1 && (Group & 0xff) != 0) || (Padding == 2 && (Group & 0xffff) != 0))
            return false;
        Out += static_cast<char>(Group >> 16);
        if (Padding < 2)
            Out += static_cast<char>((Group >> 8) & 0xff);
        if (Padding < 1)
            Out += static_cast<char>(Group & 0xff);
    }
    Bytes = std::move(Out);
    return true;
}

// Where the run of timestamp characters after the "<" at Open ends.
size_t TimestampEnd(const std::string& Greeting, size_t Open)
{
    size_t End = Open + 1;
    while (End < Greeting.size() && TimestampCharacter(static_cast<unsigned char>(Greeting[End])))
        ++End;
    return End;
}

std::string GreetingTimestamp(const std::string& Greeting)
{
    for (size_t Open = Greeting.find('<'); Open != std::string::npos; Open = Greeting.find('<', Open + 1)) {
        const size_t End = TimestampEnd(Greeting, Open);
        if (End >= Greeting.size() || Greeting[End] != '>' || End - Open - 1 > MaxTimestampChars)
            continue;
        const std::string Inside = Greeting.substr(Open + 1, End - Open - 1);
        const size_t At = Inside.find('@');
        if (At != std::string::npos && At > 0 && At + 1 < Inside.size())
            return "<" + Inside + ">";
    }
    return {};
}

bool GreetingTimestampTooLong(const std::string& Greeting)
{
    for (size_t Open = Greeting.find('<'); Open != std::string::npos; Open = Greeting.find('<', Open + 1))
        if (TimestampEnd(Greeting, Open) - Open - 1 > MaxTimestampChars)
            return true;
    return false;
}

std::string ApopDigest(const std::string& Timestamp, const std::string& Password)
{
    return LowerHex(Md5(Timestamp + Password));
}

bool ApopMatches(const std::string& Timestamp, const std::string& Password, const std::string& Digest)
{
    return SameBytes(ApopDigest(Timestamp, Password), AsciiLower(Digest));
}
