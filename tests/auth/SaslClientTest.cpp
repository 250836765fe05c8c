// The client's side of each SASL mechanism: the RFC examples exactly, and a
// server that sends nonsense, too much or too many rounds.
#include "auth/SaslClient.h"
#include "auth/Pop3Auth.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

std::string Decoded(const std::string& Text)
{
    std::string Bytes;
    EXPECT_TRUE(Base64Decode(Text, Bytes)) << Text;
    return Bytes;
}

void ExpectRefused(const TSaslStep& Step, const std::string& Why)
{
    EXPECT_FALSE(Step.Ok);
    EXPECT_EQ(Step.Line, "*");
    EXPECT_THAT(Step.Explanation, HasSubstr(Why));
}

const char ScramNonce[] = "rOprNGfwEbeRWgbNEkqO";
const char ScramServerFirst[]
    = "r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096";

// A SCRAM client of RFC 7677's example, up to the server-first.
TSaslClient& ScramAfterClientFirst(TSaslClient& Client)
{
    Client.SetClientNonce(ScramNonce);
    Client.Start();
    Client.Answer("");
    return Client;
}

} // namespace

TEST(SaslClient, PlainAndXOAuth2SendEverythingAtOnceAndNeverExplainTheSecret)
{
    TSaslClient Plain(TSaslMechanism::Plain, "anna", "geheim");
    const TSaslStep Step = Plain.Start();
    EXPECT_EQ(Step.Line, "AUTH PLAIN " + Base64Encode(std::string("\0anna\0geheim", 12)));
    EXPECT_THAT(Step.Explanation, HasSubstr("Base64 ist keine Verschlüsselung"));
    EXPECT_THAT(Step.Explanation, Not(HasSubstr("geheim")));
    ExpectRefused(Plain.Answer(""), "mehr Runden");

    TSaslClient Token(TSaslMechanism::XOAuth2, "anna@example.org", "ya29.token");
    const TSaslStep First = Token.Start();
    EXPECT_EQ(First.Line,
        "AUTH XOAUTH2 "
            + Base64Encode("user=anna@example.org\x01"
                           "auth=Bearer ya29.token\x01\x01"));
    EXPECT_THAT(First.Explanation, Not(HasSubstr("ya29")));
    // Gmail's refusal: a JSON error as continuation, answered by an empty line.
    const TSaslStep Error = Token.Answer(Base64Encode(R"({"status":"401","schemes":"Bearer","scope":"x"})"));
    EXPECT_TRUE(Error.Ok);
    EXPECT_EQ(Error.Line, "");
    EXPECT_THAT(Error.Explanation, HasSubstr("Status 401"));
    ExpectRefused(Token.Answer(""), "mehr Runden");
}

TEST(SaslClient, ALongTokenFollowsTheEmptyContinuation)
{
    const std::string LongToken(400, 'T');
    TSaslClient Token(TSaslMechanism::XOAuth2, "anna", LongToken);
    EXPECT_EQ(Token.Start().Line, "AUTH XOAUTH2");
    const TSaslStep Response = Token.Answer("");
    EXPECT_TRUE(Response.Ok);
    EXPECT_EQ(Decoded(Response.Line),
        "user=anna\x01"
        "auth=Bearer "
            + LongToken + "\x01\x01");
    EXPECT_THAT(Response.Explanation, Not(HasSubstr("TTTT")));
}

TEST(SaslClient, LoginAnswersNameThenPasswordAndNoMore)
{
    TSaslClient Login(TSaslMechanism::Login, "anna", "geheim");
    EXPECT_EQ(Login.Start().Line, "AUTH LOGIN");
    EXPECT_EQ(Login.DecodedChallenge("VXNlcm5hbWU6"), "Username:");
    EXPECT_EQ(Decoded(Login.Answer("VXNlcm5hbWU6").Line), "anna");
    const TSaslStep Password = Login.Answer("UGFzc3dvcmQ6");
    EXPECT_EQ(Decoded(Password.Line), "geheim");
    EXPECT_THAT(Password.Explanation, Not(HasSubstr("geheim")));
    ExpectRefused(Login.Answer("UGFzc3dvcmQ6"), "mehr Runden");
    ExpectRefused(Login.Answer(""), "bereits abgebrochen");
}

TEST(SaslClient, CramMd5ComputesTheExampleOfRfc2195)
{
    TSaslClient Cram(TSaslMechanism::CramMd5, "tim", "tanstaaftanstaaf");
    EXPECT_EQ(Cram.Start().Line, "AUTH CRAM-MD5");
    const std::string Challenge = "PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+";
    EXPECT_EQ(Cram.DecodedChallenge(Challenge), "<1896.697170952@postoffice.reston.mci.net>");
    const TSaslStep Step = Cram.Answer(Challenge);
    EXPECT_EQ(Step.Line, "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw");
    EXPECT_THAT(Step.Explanation, HasSubstr("HMAC-MD5"));
    EXPECT_THAT(Step.Explanation, Not(HasSubstr("tanstaaf")));
    ExpectRefused(Cram.Answer(Challenge), "mehr Runden");

    TSaslClient Empty(TSaslMechanism::CramMd5, "tim", "x");
    Empty.Start();
    ExpectRefused(Empty.Answer(""), "leer");
}

TEST(SaslClient, ScramSha256ComputesTheExampleOfRfc7677)
{
    TSaslClient Scram(TSaslMechanism::ScramSha256, "user", "pencil");
    Scram.SetClientNonce(ScramNonce);
    EXPECT_EQ(Scram.Start().Line, "AUTH SCRAM-SHA-256");
    EXPECT_EQ(Decoded(Scram.Answer("").Line), "n,,n=user,r=rOprNGfwEbeRWgbNEkqO");
    const TSaslStep Final = Scram.Answer(Base64Encode(ScramServerFirst));
    ASSERT_TRUE(Final.Ok) << Final.Explanation;
    EXPECT_EQ(Decoded(Final.Line),
        "c=biws,r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,p=dHzbZapWIk4jUhN+Ute9ytag9zjfMHgsqmmiz7AndVQ=");
    EXPECT_THAT(Final.Explanation, HasSubstr("4096 Iterationen"));
    EXPECT_FALSE(Scram.ServerVerified());
    const TSaslStep Done = Scram.Answer(Base64Encode("v=6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4="));
    EXPECT_TRUE(Done.Ok);
    EXPECT_EQ(Done.Line, "");
    EXPECT_THAT(
        Done.Explanation, HasSubstr("Der Server hat bewiesen, daß er das Paßwort kennt (Server-Signatur stimmt)."));
    EXPECT_TRUE(Scram.ServerVerified());
    ExpectRefused(Scram.Answer(""), "mehr Runden");
}

TEST(SaslClient, ScramRefusesAForgedOrMissingServerSignature)
{
    for (const char* ServerFinal : { "v=6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G5=",
             "v=AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=", "v=", "x=1", "e=invalid-proof", "garbage" }) {
        TSaslClient Scram(TSaslMechanism::ScramSha256, "user", "pencil");
        ScramAfterClientFirst(Scram).Answer(Base64Encode(ScramServerFirst));
        const TSaslStep Step = Scram.Answer(Base64Encode(ServerFinal));
        ExpectRefused(Step, "SCRAM-SHA-256");
        EXPECT_FALSE(Scram.ServerVerified()) << ServerFinal;
    }
}

TEST(SaslClient, ScramRefusesAHostileServerFirst)
{
    const std::string Good = "s=W22ZaJ0SNY7soEsUEjb6gQ==";
    const std::pair<std::string, std::string> Cases[] = {
        { "r=someoneElsesNonce123," + Good + ",i=4096", "Nonce" },
        { "r=rOprNGfwEbeRWgbNEkqO," + Good + ",i=4096", "Nonce" }, // no part of the server
        { "r=XrOprNGfwEbeRWgbNEkqO1," + Good + ",i=4096", "Nonce" },
        { "r=rOprNGfwEbeRWgbNEkqO1," + Good + ",i=0", "Iterationszahl" },
        { "r=rOprNGfwEbeRWgbNEkqO1," + Good + ",i=100001", "Iterationszahl" },
        { "r=rOprNGfwEbeRWgbNEkqO1," + Good + ",i=99999999999999999999999", "Iterationszahl" },
        { "r=rOprNGfwEbeRWgbNEkqO1," + Good + ",i=-5", "Iterationszahl" },
        { "r=rOprNGfwEbeRWgbNEkqO1," + Good, "Iterationszahl" },
        { "r=rOprNGfwEbeRWgbNEkqO1,i=4096", "Salz" },
        { "r=rOprNGfwEbeRWgbNEkqO1,s=,i=4096", "Salz" },
        { "r=rOprNGfwEbeRWgbNEkqO1,s=not base64,i=4096", "Salz" },
        { Good + ",i=4096", "Nonce" },
        { "m=ext,r=rOprNGfwEbeRWgbNEkqO1," + Good + ",i=4096", "Erweiterung" },
        { "", "Form" },
        { "r=rOprNGfwEbeRWgbNEkqO1,,i=1", "Form" },
    };
    for (const auto& [ServerFirst, Why] : Cases) {
        TSaslClient Scram(TSaslMechanism::ScramSha256, "user", "pencil");
        ExpectRefused(ScramAfterClientFirst(Scram).Answer(Base64Encode(ServerFirst)), Why);
    }
}

TEST(SaslClient, RefusesChallengesThatAreNotBase64OrHuge)
{
    for (TSaslMechanism Mechanism : { TSaslMechanism::Login, TSaslMechanism::CramMd5, TSaslMechanism::ScramSha256 }) {
        TSaslClient Bad(Mechanism, "anna", "geheim");
        Bad.Start();
        ExpectRefused(Bad.Answer("Username:"), "kein gültiges Base64");
        TSaslClient Huge(Mechanism, "anna", "geheim");
        Huge.Start();
        ExpectRefused(Huge.Answer(Base64Encode(std::string(1 << 20, 'x'))), "viel zu lang");
    }
    TSaslClient Client(TSaslMechanism::Login, "anna", "geheim");
    EXPECT_EQ(Client.DecodedChallenge(""), "");
    EXPECT_EQ(Client.DecodedChallenge(Base64Encode(std::string("a\0b\r\n\\", 6))), "a\\x00b\\x0d\\x0a\\x5c");
    EXPECT_EQ(Client.DecodedChallenge("not base64\x07"), "not base64\\x07");
    EXPECT_LT(Client.DecodedChallenge(std::string(1 << 20, 'A')).size(), 70 * 1024u);
}

TEST(SaslClient, EscapesScramNamesAndMakesFreshNonces)
{
    TSaslClient Scram(TSaslMechanism::ScramSha256, "a,b=c", "x");
    Scram.Start();
    const std::string First = Decoded(Scram.Answer("").Line);
    EXPECT_EQ(First.substr(0, 16), "n,,n=a=2Cb=3Dc,r");
    TSaslClient Other(TSaslMechanism::ScramSha256, "a,b=c", "x");
    Other.Start();
    const std::string Second = Decoded(Other.Answer("").Line);
    EXPECT_EQ(First.size(), 16 + 1 + 32u);
    EXPECT_NE(First, Second);
}
