#include "auth/SaslClient.h"

#include "auth/AuthCrypto.h"
#include "auth/Pop3Auth.h"
#include "auth/ScramText.h"
#include "text/AsciiText.h"

#include <algorithm>
#include <cstdio>

namespace {

const char kBase64Warning[]
    = " Base64 ist keine Verschlüsselung: ohne TLS kann jeder Mitleser das Paßwort zurückgewinnen.";

// Server text inside an explanation: printable ASCII only, and short.
std::string ShownText(const std::string& Text, size_t Limit = 80)
{
    std::string Shown;
    for (char Character : Text.substr(0, Limit))
        Shown += (Character >= 0x20 && Character < 0x7f) ? Character : '?';
    return Text.size() > Limit ? Shown + "..." : Shown;
}

std::string Find(const TScramAttributes& Attributes, char Letter, bool& Found)
{
    for (const auto& [Name, Value] : Attributes)
        if (Name == Letter) {
            Found = true;
            return Value;
        }
    Found = false;
    return {};
}

bool PrintableNonce(const std::string& Nonce)
{
    return std::all_of(Nonce.begin(), Nonce.end(), [](char C) { return C > 0x20 && C < 0x7f && C != ','; });
}

// "status" of the JSON of a refused XOAUTH2 token, digits only; "" if absent.
std::string JsonStatus(const std::string& Json)
{
    const size_t Key = Json.find("\"status\"");
    if (Key == std::string::npos)
        return {};
    std::string Digits;
    for (size_t I = Key + 8; I < Json.size() && Digits.size() < 3; ++I) {
        if (IsAsciiDigit(Json[I]))
            Digits += Json[I];
        else if (!Digits.empty() || (Json[I] != ':' && Json[I] != '"' && Json[I] != ' '))
            break;
    }
    return Digits;
}

// The text of a string (or number) member of a small JSON object; "" if
// absent. Enough for a server's error object, which nothing else reads.
std::string JsonText(const std::string& Json, const std::string& Key)
{
    const size_t At = Json.find("\"" + Key + "\"");
    if (At == std::string::npos)
        return {};
    size_t I = Json.find(':', At + Key.size() + 2);
    if (I == std::string::npos)
        return {};
    while (++I < Json.size() && Json[I] == ' ') { }
    if (I >= Json.size())
        return {};
    const bool Quoted = Json[I] == '"';
    const size_t Start = Quoted ? I + 1 : I;
    const size_t End = Quoted ? Json.find('"', Start) : Json.find_first_of(",} ", Start);
    return Json.substr(Start, End == std::string::npos ? std::string::npos : End - Start);
}

} // namespace

bool ParseSaslMechanism(const std::string& Name, TSaslMechanism& Mechanism)
{
    const std::string Upper = AsciiUpper(Name);
    for (TSaslMechanism Candidate : { TSaslMechanism::Plain, TSaslMechanism::Login, TSaslMechanism::CramMd5,
             TSaslMechanism::ScramSha256, TSaslMechanism::XOAuth2, TSaslMechanism::OAuthBearer })
        if (Upper == SaslMechanismName(Candidate)) {
            Mechanism = Candidate;
            return true;
        }
    return false;
}

std::string SaslMechanismName(TSaslMechanism Mechanism)
{
    switch (Mechanism) {
    case TSaslMechanism::Plain:
        return "PLAIN";
    case TSaslMechanism::Login:
        return "LOGIN";
    case TSaslMechanism::CramMd5:
        return "CRAM-MD5";
    case TSaslMechanism::ScramSha256:
        return "SCRAM-SHA-256";
    case TSaslMechanism::XOAuth2:
        return "XOAUTH2";
    case TSaslMechanism::OAuthBearer:
        return "OAUTHBEARER";
    }
    return {};
}

TSaslClient::TSaslClient(TSaslMechanism Mechanism, std::string User, std::string Secret)
    : FMechanism(Mechanism)
    , FUser(std::move(User))
    , FSecret(std::move(Secret))
    , FClientNonce(Base64Encode(RandomBytes(24)))
{
}

TSaslClient::~TSaslClient()
{
    Forget(FSecret);
}

void TSaslClient::SetClientNonce(std::string Nonce)
{
    FClientNonce = std::move(Nonce);
}

void TSaslClient::SetServer(std::string Host, uint16_t Port)
{
    FServerHost = std::move(Host);
    FServerPort = Port;
}

bool TSaslClient::HasInitialResponse() const
{
    return FMechanism == TSaslMechanism::Plain || FMechanism == TSaslMechanism::XOAuth2
        || FMechanism == TSaslMechanism::OAuthBearer;
}

bool TSaslClient::MayRetryInTwoSteps() const
{
    return FStartedWithResponse && FRound == 0 && !FFailed
        && (FMechanism == TSaslMechanism::XOAuth2 || FMechanism == TSaslMechanism::OAuthBearer);
}

std::string TSaslClient::InitialResponse() const
{
    switch (FMechanism) {
    case TSaslMechanism::Plain:
        return Base64Encode(std::string(1, '\0') + FUser + std::string(1, '\0') + FSecret);
    case TSaslMechanism::OAuthBearer: {
        // RFC 7628: a GS2 header naming the user, then key=value pairs
        // between ^A, the last one the token.
        std::string Message = "n,a=" + EscapeSaslName(FUser) + ",\x01";
        if (!FServerHost.empty())
            Message += "host=" + FServerHost + "\x01";
        if (FServerPort != 0)
            Message += "port=" + std::to_string(FServerPort) + "\x01";
        return Base64Encode(Message + "auth=Bearer " + FSecret + "\x01\x01");
    }
    default:
        return Base64Encode("user=" + FUser + "\x01" + "auth=Bearer " + FSecret + "\x01\x01");
    }
}

std::string TSaslClient::InitialExplanation() const
{
    if (FMechanism == TSaslMechanism::Plain)
        return std::string("PLAIN: Name und Paßwort wurden, durch Null-Bytes getrennt, Base64-kodiert gesendet.")
            + kBase64Warning;
    if (FMechanism == TSaslMechanism::OAuthBearer)
        return "OAUTHBEARER (RFC 7628): Name, Server und Zugangs-Token wurden Base64-kodiert gesendet; der Server "
               "prüft das Token, das Paßwort wird nicht gebraucht. Base64 ist keine Verschlüsselung: ohne TLS kann "
               "jeder Mitleser das Token lesen und benutzen, bis es abläuft.";
    return "XOAUTH2: Name und Zugangs-Token wurden Base64-kodiert gesendet; der Server prüft das Token, das "
           "Paßwort wird nicht gebraucht. Base64 ist keine Verschlüsselung: ohne TLS kann jeder Mitleser das "
           "Token lesen und benutzen, bis es abläuft.";
}

TSaslStep TSaslClient::Start()
{
    const std::string Command = "AUTH " + SaslMechanismName(FMechanism);
    FStartedWithResponse = false;
    FInitialResponseDeferred = false;
    FRound = 0;
    switch (FMechanism) {
    case TSaslMechanism::Plain:
    case TSaslMechanism::XOAuth2:
    case TSaslMechanism::OAuthBearer: {
        const std::string Line = Command + " " + InitialResponse();
        if (FTwoSteps) {
            FInitialResponseDeferred = true;
            return { true, Command,
                SaslMechanismName(FMechanism)
                    + " in zwei Schritten: erst die AUTH-Zeile ohne Anfangsantwort; sie folgt nach der leeren "
                      "Aufforderung des Servers (\"+ \")." };
        }
        if (Line.size() + 2 <= MaxCommandLine) {
            FStartedWithResponse = true;
            return { true, Line, InitialExplanation() };
        }
        FInitialResponseDeferred = true;
        return { true, Command,
            SaslMechanismName(FMechanism)
                + ": Die Anfangsantwort paßt nicht in die AUTH-Zeile (höchstens 255 Bytes); sie folgt nach der "
                  "leeren Aufforderung des Servers (\"+ \")." };
    }
    case TSaslMechanism::Login:
        return { true, Command,
            "LOGIN: Der Server fragt gleich nach dem Namen und dann nach dem Paßwort, jeweils Base64-kodiert." };
    case TSaslMechanism::CramMd5:
        return { true, Command,
            "CRAM-MD5: Der Server schickt gleich eine Herausforderung, eine Zeichenkette, die nur für diese "
            "Anmeldung gilt." };
    case TSaslMechanism::ScramSha256:
        return { true, Command,
            "SCRAM-SHA-256: Der Server antwortet gleich mit einer leeren Aufforderung; dann tauschen Programm "
            "und Server Zufallswerte aus und beweisen einander, daß sie das Paßwort kennen." };
    }
    return Refuse("Unbekanntes Verfahren.");
}

TSaslStep TSaslClient::Refuse(const std::string& Why)
{
    FFailed = true;
    return { false, "*", Why + " Die Anmeldung wird mit \"*\" abgebrochen." };
}

TSaslStep TSaslClient::TooManyRounds()
{
    return Refuse(SaslMechanismName(FMechanism)
        + ": Der Server verlangt mehr Runden, als das Verfahren hat; die Aufforderung gehört nicht zu ihm.");
}

TSaslStep TSaslClient::Answer(const std::string& Challenge)
{
    if (FFailed)
        return { false, "*", "Die Anmeldung ist bereits abgebrochen; der Server sollte mit -ERR antworten." };
    if (Challenge.size() > MaxChallengeChars)
        return Refuse("Die Aufforderung des Servers ist mit " + std::to_string(Challenge.size())
            + " Zeichen viel zu lang für " + SaslMechanismName(FMechanism) + ".");
    std::string Decoded;
    if (!Base64Decode(Challenge, Decoded))
        return Refuse("Die Aufforderung des Servers ist kein gültiges Base64.");

    if (FInitialResponseDeferred) {
        FInitialResponseDeferred = false;
        if (!Decoded.empty())
            return Refuse(SaslMechanismName(FMechanism) + ": Statt einer leeren Aufforderung kam Text vom Server.");
        return { true, InitialResponse(), InitialExplanation() };
    }
    switch (FMechanism) {
    case TSaslMechanism::Plain:
        return TooManyRounds();
    case TSaslMechanism::Login:
        return AnswerLogin(Decoded);
    case TSaslMechanism::CramMd5:
        return AnswerCramMd5(Decoded);
    case TSaslMechanism::ScramSha256:
        return AnswerScram(Decoded);
    case TSaslMechanism::XOAuth2:
        return AnswerXOAuth2(Decoded);
    case TSaslMechanism::OAuthBearer:
        return AnswerOAuthBearer(Decoded);
    }
    return TooManyRounds();
}

TSaslStep TSaslClient::AnswerLogin(const std::string&)
{
    switch (FRound++) {
    case 0:
        return { true, Base64Encode(FUser),
            "LOGIN: Der Server fragt nach dem Namen; er wurde Base64-kodiert gesendet." };
    case 1:
        return { true, Base64Encode(FSecret),
            std::string("LOGIN: Der Server fragt nach dem Paßwort; es wurde Base64-kodiert gesendet.")
                + kBase64Warning };
    default:
        return TooManyRounds();
    }
}

TSaslStep TSaslClient::AnswerCramMd5(const std::string& Decoded)
{
    if (FRound++ > 0)
        return TooManyRounds();
    if (Decoded.empty())
        return Refuse("CRAM-MD5: Die Herausforderung des Servers ist leer; ohne sie gibt es nichts zu berechnen.");
    return { true, Base64Encode(FUser + " " + LowerHex(HmacMd5(FSecret, Decoded))),
        "CRAM-MD5: Gesendet wurden der Name und HMAC-MD5 über die Herausforderung des Servers, mit dem Paßwort "
        "als Schlüssel. Das Paßwort selbst ging nicht über die Leitung; der Server rechnet mit seiner Kopie des "
        "Paßworts nach." };
}

TSaslStep TSaslClient::AnswerScram(const std::string& Decoded)
{
    switch (FRound++) {
    case 0:
        if (!Decoded.empty())
            return Refuse("SCRAM-SHA-256: Statt einer leeren Aufforderung kam Text vom Server.");
        FClientFirstBare = "n=" + EscapeSaslName(FUser) + ",r=" + FClientNonce;
        return { true, Base64Encode("n,," + FClientFirstBare),
            "SCRAM-SHA-256: Gesendet wurden der Name und ein Zufallswert des Programms (Nonce). Der Server "
            "antwortet mit Salz, Iterationszahl und seinem Teil des Nonce." };
    case 1:
        return ScramClientFinal(Decoded);
    case 2:
        return ScramCheckServerFinal(Decoded);
    default:
        return TooManyRounds();
    }
}

TSaslStep TSaslClient::ScramClientFinal(const std::string& ServerFirst)
{
    TScramAttributes Attributes;
    if (!ParseScramAttributes(ServerFirst, Attributes))
        return Refuse("SCRAM-SHA-256: Die Antwort des Servers hat nicht die Form \"r=...,s=...,i=...\".");
    if (Attributes.front().first == 'm')
        return Refuse("SCRAM-SHA-256: Der Server verlangt eine Erweiterung (\"m=\"), die das Programm nicht kennt.");
    bool HasNonce = false, HasSalt = false, HasCount = false;
    const std::string Nonce = Find(Attributes, 'r', HasNonce);
    const std::string SaltText = Find(Attributes, 's', HasSalt);
    const std::string CountText = Find(Attributes, 'i', HasCount);
    if (!HasNonce || !HasSalt || !HasCount)
        return Refuse(std::string("SCRAM-SHA-256: In der Antwort des Servers fehlt ")
            + (!HasNonce       ? "der Nonce (\"r=\")"
                    : !HasSalt ? "das Salz (\"s=\")"
                               : "die Iterationszahl (\"i=\")")
            + ".");
    if (Nonce.size() <= FClientNonce.size() || Nonce.compare(0, FClientNonce.size(), FClientNonce) != 0
        || !PrintableNonce(Nonce))
        return Refuse("SCRAM-SHA-256: Der Nonce des Servers beginnt nicht mit dem Zufallswert des Programms "
                      "(oder hat keinen eigenen Teil); die Antwort gehört nicht zu dieser Anmeldung.");
    std::string Salt;
    if (!Base64Decode(SaltText, Salt) || Salt.empty())
        return Refuse("SCRAM-SHA-256: Das Salz des Servers ist leer oder kein gültiges Base64.");
    int Iterations = 0;
    if (!ParseIterationCount(CountText, ScramMaxIterations, Iterations))
        return Refuse("SCRAM-SHA-256: Die Iterationszahl \"" + ShownText(CountText, 24)
            + "\" ist unbrauchbar; das Programm rechnet mit 1 bis " + std::to_string(ScramMaxIterations)
            + " Iterationen, damit ein Server es nicht beliebig lange beschäftigen kann.");

    const std::string WithoutProof = "c=" + Base64Encode("n,,") + ",r=" + Nonce;
    const std::string AuthMessage = FClientFirstBare + "," + ServerFirst + "," + WithoutProof;
    TScramKeys Keys = ScramKeys(FSecret, Salt, Iterations);
    const std::string Proof = ScramClientProof(Keys, AuthMessage);
    FExpectedServerSignature = ScramServerSignature(Keys, AuthMessage);
    Forget(Keys.ClientKey);
    Forget(Keys.ServerKey);
    return { true, Base64Encode(WithoutProof + ",p=" + Base64Encode(Proof)),
        "SCRAM-SHA-256: Aus Paßwort, Salz (" + std::to_string(Salt.size()) + " Bytes) und " + std::to_string(Iterations)
            + " Iterationen wurde mit PBKDF2-HMAC-SHA-256 ein Schlüssel abgeleitet; gesendet wurde nur der Beweis "
              "(\"p=\") daraus. Der Server prüft ihn mit seinem gespeicherten Schlüssel und muß dann seinerseits "
              "beweisen, daß er das Paßwort kennt." };
}

TSaslStep TSaslClient::ScramCheckServerFinal(const std::string& ServerFinal)
{
    TScramAttributes Attributes;
    if (!ParseScramAttributes(ServerFinal, Attributes))
        return Refuse("SCRAM-SHA-256: Die letzte Antwort des Servers hat nicht die Form \"v=...\".");
    if (Attributes.front().first == 'e')
        return Refuse("SCRAM-SHA-256: Der Server meldet den Fehler \"" + ShownText(Attributes.front().second)
            + "\"; meist ist das Paßwort falsch.");
    std::string Signature;
    if (Attributes.front().first != 'v' || !Base64Decode(Attributes.front().second, Signature))
        return Refuse("SCRAM-SHA-256: In der letzten Antwort des Servers fehlt die Server-Signatur (\"v=\").");
    if (!SameBytes(Signature, FExpectedServerSignature)) {
        FSignatureWrong = true;
        return Refuse("SCRAM-SHA-256: Die Server-Signatur stimmt nicht. Der Server kennt das Paßwort nicht, "
                      "oder ein anderer hat sich dazwischengeschaltet.");
    }
    FServerVerified = true;
    return { true, "",
        "SCRAM-SHA-256: Der Server hat bewiesen, daß er das Paßwort kennt (Server-Signatur stimmt). Die leere "
        "Zeile schließt den Austausch ab." };
}

TServerProof TSaslClient::ServerProof() const
{
    if (FMechanism != TSaslMechanism::ScramSha256)
        return TServerProof::NotAsked;
    if (FServerVerified)
        return TServerProof::Proven;
    return FSignatureWrong ? TServerProof::Forged : TServerProof::Missing;
}

TSaslStep TSaslClient::AnswerXOAuth2(const std::string& Decoded)
{
    if (FRound++ > 0)
        return TooManyRounds();
    const std::string Status = JsonStatus(Decoded);
    return { true, "",
        "XOAUTH2: Der Server hat das Token abgelehnt" + (Status.empty() ? std::string() : " (Status " + Status + ")")
            + "; seine Begründung steht Base64-kodiert in der Aufforderung. Die leere Zeile beendet den Versuch, "
              "danach meldet der Server -ERR." };
}

TSaslStep TSaslClient::AnswerOAuthBearer(const std::string& Decoded)
{
    if (FRound++ > 0)
        return TooManyRounds();
    const std::string Status = JsonText(Decoded, "status");
    const std::string Scope = JsonText(Decoded, "scope");
    // RFC 7628, 3.2.3: the failed exchange ends with a lone ^A from the client.
    return { true, Base64Encode("\x01"),
        "OAUTHBEARER: Der Server hat das Token abgelehnt"
            + (Status.empty() ? std::string() : " (Status \"" + ShownText(Status, 40) + "\")")
            + (Scope.empty() ? std::string() : "; er verlangt den Bereich (scope) \"" + ShownText(Scope, 120) + "\"")
            + ". Das Programm antwortet, wie RFC 7628 es verlangt, mit einem einzelnen Byte 0x01; danach meldet "
              "der Server -ERR. Meist ist das Token abgelaufen oder für einen anderen Bereich ausgestellt." };
}

std::string TSaslClient::DecodedChallenge(const std::string& Challenge) const
{
    std::string Bytes;
    if (Challenge.size() > MaxChallengeChars || !Base64Decode(Challenge, Bytes))
        Bytes = Challenge.substr(0, MaxChallengeChars);
    std::string Shown;
    for (unsigned char Byte : Bytes) {
        if (Byte < 0x20 || Byte == 0x7f || Byte == '\\') {
            char Escape[8];
            std::snprintf(Escape, sizeof Escape, "\\x%02x", Byte);
            Shown += Escape;
        } else {
            Shown += static_cast<char>(Byte);
        }
    }
    return Challenge.size() > MaxChallengeChars ? Shown + "..." : Shown;
}
