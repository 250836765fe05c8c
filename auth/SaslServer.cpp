#include "auth/SaslServer.h"

#include "auth/AuthCrypto.h"
#include "auth/ScramText.h"

#include <chrono>

namespace {

const char kNotBase64[] = "Die Antwort des Programms ist kein gültiges Base64.";
const char kWrongCredentials[] = "Name oder Paßwort falsch.";

bool Split(const std::string& Text, char Separator, std::string& Before, std::string& After)
{
    const size_t At = Text.find(Separator);
    if (At == std::string::npos)
        return false;
    Before = Text.substr(0, At);
    After = Text.substr(At + 1);
    return true;
}

} // namespace

TSaslServer::TSaslServer(TSaslMechanism Mechanism, std::string User, std::string Password)
    : FMechanism(Mechanism)
    , FUser(std::move(User))
    , FPassword(std::move(Password))
    , FSalt(RandomBytes(16))
    , FServerNonce(Base64Encode(RandomBytes(18)))
{
    const auto Seconds
        = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch());
    FChallenge = "<" + LowerHex(RandomBytes(6)) + "." + std::to_string(Seconds.count()) + "@brieflotse>";
}

TSaslServer::~TSaslServer()
{
    Forget(FPassword);
}

void TSaslServer::SetChallenge(std::string Challenge)
{
    FChallenge = std::move(Challenge);
}

void TSaslServer::SetScramParameters(std::string Salt, int Iterations)
{
    FSalt = std::move(Salt);
    FIterations = Iterations;
}

void TSaslServer::SetServerNonce(std::string Nonce)
{
    FServerNonce = std::move(Nonce);
}

TSaslServerStep TSaslServer::Continue(const std::string& Challenge)
{
    return { TSaslVerdict::Continue, Challenge.empty() ? "+ " : "+ " + Base64Encode(Challenge), {} };
}

TSaslServerStep TSaslServer::End(TSaslVerdict Verdict, const std::string& Reason)
{
    FDone = true;
    if (Verdict == TSaslVerdict::Success)
        FAuthenticatedUser = FUser;
    return { Verdict, {}, Reason };
}

TSaslServerStep TSaslServer::Start(const std::string& InitialResponse)
{
    if (InitialResponse.empty()) {
        if (FMechanism == TSaslMechanism::CramMd5)
            return Continue(FChallenge);
        if (FMechanism == TSaslMechanism::Login)
            return Continue("Username:");
        return Continue({});
    }
    // CRAM-MD5 begins with the server's challenge: the client may not speak first.
    if (FMechanism == TSaslMechanism::CramMd5)
        return End(TSaslVerdict::Malformed, "CRAM-MD5 kennt keine Anfangsantwort in der AUTH-Zeile.");
    if (InitialResponse == "=")
        return Next({});
    std::string Response;
    if (!Base64Decode(InitialResponse, Response))
        return End(TSaslVerdict::Malformed, kNotBase64);
    return Next(Response);
}

TSaslServerStep TSaslServer::Answer(const std::string& Line)
{
    if (FDone)
        return { TSaslVerdict::Malformed, {}, "Die Anmeldung ist bereits zu Ende." };
    if (Line == "*")
        return End(TSaslVerdict::Cancelled, "Das Programm hat die Anmeldung mit \"*\" abgebrochen.");
    if (Line.size() > MaxAnswerChars)
        return End(TSaslVerdict::Malformed, "Die Antwort des Programms ist viel zu lang.");
    std::string Response;
    if (!Base64Decode(Line, Response))
        return End(TSaslVerdict::Malformed, kNotBase64);
    if (FAwaitingEmpty) {
        // OAUTHBEARER ends a refused token with a lone ^A (RFC 7628, 3.2.3).
        if (!Response.empty() && !(FMechanism == TSaslMechanism::OAuthBearer && Response == "\x01"))
            return End(TSaslVerdict::Malformed, "Erwartet war eine leere Zeile.");
        return FPendingSuccess ? End(TSaslVerdict::Success, {})
                               : End(TSaslVerdict::Failure, "Das Token ist ungültig oder abgelaufen.");
    }
    return Next(Response);
}

TSaslServerStep TSaslServer::Next(const std::string& Response)
{
    const int Round = FRound++;
    switch (FMechanism) {
    case TSaslMechanism::Plain:
        return CheckPlain(Response);
    case TSaslMechanism::Login:
        if (Round == 0) {
            FLoginName = Response;
            return Continue("Password:");
        }
        return FLoginName == FUser && SameBytes(Response, FPassword) ? End(TSaslVerdict::Success, {})
                                                                     : End(TSaslVerdict::Failure, kWrongCredentials);
    case TSaslMechanism::CramMd5:
        return CheckCramMd5(Response);
    case TSaslMechanism::ScramSha256:
        return Round == 0 ? ScramServerFirst(Response) : ScramServerFinal(Response);
    case TSaslMechanism::XOAuth2:
        return CheckXOAuth2(Response);
    case TSaslMechanism::OAuthBearer:
        return CheckOAuthBearer(Response);
    }
    return End(TSaslVerdict::Malformed, {});
}

TSaslServerStep TSaslServer::CheckPlain(const std::string& Response)
{
    std::string AuthorizationId, Rest, Name, Password;
    if (!Split(Response, '\0', AuthorizationId, Rest) || !Split(Rest, '\0', Name, Password))
        return End(TSaslVerdict::Malformed, "PLAIN erwartet Name und Paßwort, durch Null-Bytes getrennt.");
    if (!AuthorizationId.empty() && AuthorizationId != Name)
        return End(TSaslVerdict::Failure, "Eine Anmeldung im Namen eines anderen ist hier nicht erlaubt.");
    return Name == FUser && SameBytes(Password, FPassword) ? End(TSaslVerdict::Success, {})
                                                           : End(TSaslVerdict::Failure, kWrongCredentials);
}

TSaslServerStep TSaslServer::CheckCramMd5(const std::string& Response)
{
    const size_t Blank = Response.rfind(' ');
    if (Blank == std::string::npos || Response.size() - Blank - 1 != 32)
        return End(TSaslVerdict::Malformed, "CRAM-MD5 erwartet den Namen, ein Leerzeichen und 32 Hex-Ziffern.");
    const bool Right = Response.substr(0, Blank) == FUser
        && SameBytes(Response.substr(Blank + 1), LowerHex(HmacMd5(FPassword, FChallenge)));
    return Right ? End(TSaslVerdict::Success, {}) : End(TSaslVerdict::Failure, kWrongCredentials);
}

TSaslServerStep TSaslServer::ScramServerFirst(const std::string& ClientFirst)
{
    // gs2-header: "n" or "y" (no channel binding), optionally "a=" the user.
    std::string Flag, Rest, AuthorizationId;
    if (!Split(ClientFirst, ',', Flag, Rest) || !Split(Rest, ',', AuthorizationId, FClientFirstBare))
        return End(TSaslVerdict::Malformed, "SCRAM: Die erste Nachricht beginnt nicht mit \"n,,\".");
    if (Flag.rfind("p=", 0) == 0)
        return End(TSaslVerdict::Failure, "SCRAM: Kanalbindung wird hier nicht angeboten.");
    if (Flag != "n" && Flag != "y")
        return End(TSaslVerdict::Malformed, "SCRAM: Die erste Nachricht beginnt nicht mit \"n,,\".");
    FGs2Header = Flag + "," + AuthorizationId + ",";
    TScramAttributes Attributes;
    std::string Name;
    if (!ParseScramAttributes(FClientFirstBare, Attributes) || Attributes.size() < 2 || Attributes[0].first != 'n'
        || Attributes[1].first != 'r' || Attributes[1].second.empty() || !UnescapeSaslName(Attributes[0].second, Name))
        return End(TSaslVerdict::Malformed, "SCRAM: Erwartet war \"n=Name,r=Nonce\".");
    if (!AuthorizationId.empty() && AuthorizationId != "a=" + EscapeSaslName(Name))
        return End(TSaslVerdict::Failure, "Eine Anmeldung im Namen eines anderen ist hier nicht erlaubt.");
    FLoginName = Name;
    FNonce = Attributes[1].second + FServerNonce;
    FServerFirst = "r=" + FNonce + ",s=" + Base64Encode(FSalt) + ",i=" + std::to_string(FIterations);
    return Continue(FServerFirst);
}

TSaslServerStep TSaslServer::ScramServerFinal(const std::string& ClientFinal)
{
    const size_t ProofAt = ClientFinal.rfind(",p=");
    TScramAttributes Attributes;
    std::string Proof;
    if (ProofAt == std::string::npos || !ParseScramAttributes(ClientFinal, Attributes) || Attributes.size() < 3
        || Attributes[0].first != 'c' || Attributes[1].first != 'r' || Attributes.back().first != 'p'
        || !Base64Decode(Attributes.back().second, Proof))
        return End(TSaslVerdict::Malformed, "SCRAM: Erwartet war \"c=...,r=...,p=...\".");
    if (Attributes[0].second != Base64Encode(FGs2Header) || Attributes[1].second != FNonce)
        return End(TSaslVerdict::Malformed, "SCRAM: Kanalbindung oder Nonce passen nicht zur ersten Nachricht.");
    const std::string AuthMessage = FClientFirstBare + "," + FServerFirst + "," + ClientFinal.substr(0, ProofAt);
    TScramKeys Keys = ScramKeys(FPassword, FSalt, FIterations);
    const bool Right = FLoginName == FUser && ScramProofMatches(Keys, AuthMessage, Proof);
    const std::string Signature = ScramServerSignature(Keys, AuthMessage);
    Forget(Keys.ClientKey);
    Forget(Keys.ServerKey);
    if (!Right)
        return End(TSaslVerdict::Failure, kWrongCredentials);
    FAwaitingEmpty = true;
    FPendingSuccess = true;
    return Continue("v=" + Base64Encode(Signature));
}

TSaslServerStep TSaslServer::CheckXOAuth2(const std::string& Response)
{
    // "user=" name ^A "auth=Bearer " token ^A ^A
    const std::string Prefix = "user=";
    const size_t NameEnd = Response.find('\x01');
    const std::string Auth = "\x01"
                             "auth=Bearer ";
    if (Response.rfind(Prefix, 0) != 0 || NameEnd == std::string::npos
        || Response.compare(NameEnd, Auth.size(), Auth) != 0 || Response.size() < NameEnd + Auth.size() + 2
        || Response.compare(Response.size() - 2, 2, "\x01\x01") != 0)
        return End(TSaslVerdict::Malformed, "XOAUTH2 erwartet \"user=...^Aauth=Bearer ...^A^A\".");
    const std::string Name = Response.substr(Prefix.size(), NameEnd - Prefix.size());
    const std::string Token = Response.substr(NameEnd + Auth.size(), Response.size() - 2 - NameEnd - Auth.size());
    return CheckToken(Name, Token, XOAuth2Error);
}

TSaslServerStep TSaslServer::CheckOAuthBearer(const std::string& Response)
{
    // "n," ["a=" name] "," ^A key=value ^A ... "auth=Bearer " token ^A ^A
    const char* const Syntax = "OAUTHBEARER erwartet \"n,a=Name,^Aauth=Bearer Token^A^A\".";
    std::string Flag, Rest, AuthorizationId, Pairs;
    if (!Split(Response, ',', Flag, Rest) || !Split(Rest, ',', AuthorizationId, Pairs) || (Flag != "n" && Flag != "y")
        || Pairs.size() < 3 || Pairs.front() != '\x01' || Pairs.compare(Pairs.size() - 2, 2, "\x01\x01") != 0)
        return End(TSaslVerdict::Malformed, Syntax);
    std::string Name;
    if (!AuthorizationId.empty()
        && (AuthorizationId.rfind("a=", 0) != 0 || !UnescapeSaslName(AuthorizationId.substr(2), Name)))
        return End(TSaslVerdict::Malformed, Syntax);
    const std::string Auth = "\x01"
                             "auth=Bearer ";
    const size_t At = Pairs.find(Auth);
    if (At == std::string::npos)
        return End(TSaslVerdict::Malformed, Syntax);
    const size_t TokenStart = At + Auth.size();
    const std::string Token = Pairs.substr(TokenStart, Pairs.find('\x01', TokenStart) - TokenStart);
    // Without a name the token alone says whose it is.
    return CheckToken(Name.empty() ? FUser : Name, Token, OAuthBearerError);
}

TSaslServerStep TSaslServer::CheckToken(const std::string& Name, const std::string& Token, const char* Error)
{
    if (Name == FUser && SameBytes(Token, PracticeToken))
        return End(TSaslVerdict::Success, {});
    FAwaitingEmpty = true;
    FPendingSuccess = false;
    return Continue(Error);
}
