#include "auth/ScramText.h"

#include "auth/AuthCrypto.h"
#include "text/AsciiText.h"

std::string EscapeSaslName(const std::string& Name)
{
    std::string Text;
    for (char Character : Name) {
        if (Character == ',')
            Text += "=2C";
        else if (Character == '=')
            Text += "=3D";
        else
            Text += Character;
    }
    return Text;
}

bool UnescapeSaslName(const std::string& Text, std::string& Name)
{
    Name.clear();
    for (size_t I = 0; I < Text.size(); ++I) {
        if (Text[I] != '=') {
            Name += Text[I];
            continue;
        }
        const std::string Code = Text.substr(I + 1, 2);
        if (Code == "2C")
            Name += ',';
        else if (Code == "3D")
            Name += '=';
        else
            return false;
        I += 2;
    }
    return true;
}

bool ParseScramAttributes(const std::string& Text, TScramAttributes& Attributes)
{
    Attributes.clear();
    size_t Start = 0;
    while (true) {
        const size_t End = Text.find(',', Start);
        const std::string Element = Text.substr(Start, End == std::string::npos ? std::string::npos : End - Start);
        const char Letter = Element.empty() ? '\0' : Element[0];
        if (Element.size() < 2 || Element[1] != '=' || !IsAsciiAlpha(Letter))
            return false;
        Attributes.emplace_back(Letter, Element.substr(2));
        if (End == std::string::npos)
            return true;
        Start = End + 1;
    }
}

bool ParseIterationCount(const std::string& Text, int Limit, int& Count)
{
    if (Text.empty() || Text.size() > 10)
        return false;
    long long Value = 0;
    for (char Character : Text) {
        if (!IsAsciiDigit(Character))
            return false;
        Value = Value * 10 + (Character - '0');
    }
    if (Value < 1 || Value > Limit)
        return false;
    Count = static_cast<int>(Value);
    return true;
}

TScramKeys ScramKeys(const std::string& Password, const std::string& Salt, int Iterations)
{
    std::string Salted = Pbkdf2Sha256(Password, Salt, Iterations);
    TScramKeys Keys;
    Keys.ClientKey = HmacSha256(Salted, "Client Key");
    Keys.StoredKey = Sha256(Keys.ClientKey);
    Keys.ServerKey = HmacSha256(Salted, "Server Key");
    Forget(Salted);
    return Keys;
}

std::string ScramClientProof(const TScramKeys& Keys, const std::string& AuthMessage)
{
    return XorBytes(Keys.ClientKey, HmacSha256(Keys.StoredKey, AuthMessage));
}

std::string ScramServerSignature(const TScramKeys& Keys, const std::string& AuthMessage)
{
    return HmacSha256(Keys.ServerKey, AuthMessage);
}

bool ScramProofMatches(const TScramKeys& Keys, const std::string& AuthMessage, const std::string& Proof)
{
    const std::string Signature = HmacSha256(Keys.StoredKey, AuthMessage);
    if (Proof.size() != Signature.size())
        return false;
    return SameBytes(Sha256(XorBytes(Proof, Signature)), Keys.StoredKey);
}
