// Both ends of the library talking to each other, as the program will talk to
// its practice server: every mechanism with the right and a wrong password,
// a forged server signature, and a client or server that leaves the script.
#include "auth/SaslServer.h"

#include <functional>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using ::testing::HasSubstr;

namespace {

const TSaslMechanism AllMechanisms[] = { TSaslMechanism::Plain, TSaslMechanism::Login, TSaslMechanism::CramMd5,
    TSaslMechanism::ScramSha256, TSaslMechanism::XOAuth2, TSaslMechanism::OAuthBearer };

struct TOutcome {
    TSaslVerdict Verdict;
    bool ClientOk = true; // every client step was Ok
    int Continuations = 0;
    std::string LastExplanation;
};

// Runs one exchange; Tamper may change each continuation on its way.
TOutcome Exchange(
    TSaslClient& Client, TSaslServer& Server, const std::function<std::string(const std::string&)>& Tamper = {})
{
    TOutcome Outcome {};
    const TSaslStep First = Client.Start();
    const size_t Blank = First.Line.find(' ', 5);
    TSaslServerStep Reply = Server.Start(Blank == std::string::npos ? "" : First.Line.substr(Blank + 1));
    while (Reply.Verdict == TSaslVerdict::Continue && Outcome.Continuations < 10) {
        ++Outcome.Continuations;
        EXPECT_EQ(Reply.Line.substr(0, 2), "+ ");
        const std::string Challenge = Reply.Line.substr(2);
        const TSaslStep Step = Client.Answer(Tamper ? Tamper(Challenge) : Challenge);
        Outcome.ClientOk = Outcome.ClientOk && Step.Ok;
        Outcome.LastExplanation = Step.Explanation;
        Reply = Server.Answer(Step.Line);
    }
    Outcome.Verdict = Reply.Verdict;
    return Outcome;
}

std::string SecretFor(TSaslMechanism Mechanism)
{
    const bool Token = Mechanism == TSaslMechanism::XOAuth2 || Mechanism == TSaslMechanism::OAuthBearer;
    return Token ? TSaslServer::PracticeToken : "geheim";
}

} // namespace

TEST(SaslExchange, EveryMechanismLogsInWithTheRightSecretOnly)
{
    for (TSaslMechanism Mechanism : AllMechanisms) {
        SCOPED_TRACE(SaslMechanismName(Mechanism));
        for (const std::string User : { "anna", "a,b=c" }) {
            TSaslClient Client(Mechanism, User, SecretFor(Mechanism));
            TSaslServer Server(Mechanism, User, "geheim");
            const TOutcome Right = Exchange(Client, Server);
            EXPECT_EQ(Right.Verdict, TSaslVerdict::Success);
            EXPECT_TRUE(Right.ClientOk);
            EXPECT_EQ(Server.AuthenticatedUser(), User);
            EXPECT_EQ(Client.ServerVerified(), Mechanism == TSaslMechanism::ScramSha256);
        }
        TSaslClient Wrong(Mechanism, "anna", "falsch");
        TSaslServer Server(Mechanism, "anna", "geheim");
        EXPECT_EQ(Exchange(Wrong, Server).Verdict, TSaslVerdict::Failure);
        EXPECT_EQ(Server.AuthenticatedUser(), "");
        TSaslClient Stranger(Mechanism, "bernd", SecretFor(Mechanism));
        TSaslServer Again(Mechanism, "anna", "geheim");
        EXPECT_EQ(Exchange(Stranger, Again).Verdict, TSaslVerdict::Failure);
    }
}

TEST(SaslExchange, LongInitialResponsesAndWrongTokensTakeTheLongWay)
{
    TSaslClient Plain(TSaslMechanism::Plain, std::string(200, 'n'), std::string(100, 'p'));
    TSaslServer PlainServer(TSaslMechanism::Plain, std::string(200, 'n'), std::string(100, 'p'));
    const TOutcome Long = Exchange(Plain, PlainServer);
    EXPECT_EQ(Long.Verdict, TSaslVerdict::Success);
    EXPECT_EQ(Long.Continuations, 1);

    // Gmail's way: the error as JSON, then -ERR after the client's empty line.
    TSaslClient Token(TSaslMechanism::XOAuth2, "anna", "abgelaufen");
    TSaslServer TokenServer(TSaslMechanism::XOAuth2, "anna", "geheim");
    const TOutcome Refused = Exchange(Token, TokenServer);
    EXPECT_EQ(Refused.Verdict, TSaslVerdict::Failure);
    EXPECT_EQ(Refused.Continuations, 1);
    EXPECT_THAT(Refused.LastExplanation, HasSubstr("Status 401"));

    // RFC 7628: the error JSON, answered by a lone ^A, then -ERR; the same in two steps.
    for (const bool TwoSteps : { false, true }) {
        TSaslClient Bearer(TSaslMechanism::OAuthBearer, "anna", "abgelaufen");
        Bearer.SetServer("mail.example.org", 995);
        Bearer.SetTwoSteps(TwoSteps);
        TSaslServer BearerServer(TSaslMechanism::OAuthBearer, "anna", "geheim");
        const TOutcome Expired = Exchange(Bearer, BearerServer);
        EXPECT_EQ(Expired.Verdict, TSaslVerdict::Failure);
        EXPECT_EQ(Expired.Continuations, TwoSteps ? 2 : 1);
        EXPECT_THAT(Expired.LastExplanation, HasSubstr("invalid_token"));
    }
    // The GS2 header names user, host and port (RFC 7628, 3.1).
    TSaslClient Named(TSaslMechanism::OAuthBearer, "a,b", "t");
    Named.SetServer("mail.example.org", 995);
    std::string Decoded;
    ASSERT_TRUE(Base64Decode(Named.Start().Line.substr(17), Decoded));
    EXPECT_EQ(Decoded,
        "n,a=a=2Cb,\x01host=mail.example.org\x01port=995\x01"
        "auth=Bearer t\x01\x01");
}

TEST(SaslExchange, TheClientCancelsAForgedOrTooSlowScramServer)
{
    // A server-final whose signature is off by one bit.
    TSaslClient Client(TSaslMechanism::ScramSha256, "anna", "geheim");
    TSaslServer Server(TSaslMechanism::ScramSha256, "anna", "geheim");
    const TOutcome Forged = Exchange(Client, Server, [](const std::string& Challenge) {
        std::string Text;
        Base64Decode(Challenge, Text);
        if (Text.rfind("v=", 0) == 0) {
            std::string Signature;
            Base64Decode(Text.substr(2), Signature);
            Signature[0] = static_cast<char>(Signature[0] ^ 1);
            return Base64Encode("v=" + Base64Encode(Signature));
        }
        return Challenge;
    });
    EXPECT_EQ(Forged.Verdict, TSaslVerdict::Cancelled);
    EXPECT_FALSE(Forged.ClientOk);
    EXPECT_FALSE(Client.ServerVerified());
    EXPECT_THAT(Forged.LastExplanation, HasSubstr("Server-Signatur stimmt nicht"));

    for (int Iterations : { 0, 100001, 2000000000 }) {
        TSaslClient Patient(TSaslMechanism::ScramSha256, "anna", "geheim");
        TSaslServer Slow(TSaslMechanism::ScramSha256, "anna", "geheim");
        Slow.SetScramParameters("salz", Iterations);
        const TOutcome Refused = Exchange(Patient, Slow);
        EXPECT_EQ(Refused.Verdict, TSaslVerdict::Cancelled) << Iterations;
        EXPECT_THAT(Refused.LastExplanation, HasSubstr("Iterationszahl")) << Iterations;
    }
}

TEST(SaslExchange, TheServerComputesTheExamplesOfTheRfcs)
{
    TSaslServer Cram(TSaslMechanism::CramMd5, "tim", "tanstaaftanstaaf");
    Cram.SetChallenge("<1896.697170952@postoffice.reston.mci.net>");
    EXPECT_EQ(Cram.Start("").Line, "+ PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+");
    EXPECT_EQ(Cram.Answer("dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw").Verdict, TSaslVerdict::Success);

    TSaslServer Scram(TSaslMechanism::ScramSha256, "user", "pencil");
    std::string Salt;
    Base64Decode("W22ZaJ0SNY7soEsUEjb6gQ==", Salt);
    Scram.SetScramParameters(Salt, 4096);
    Scram.SetServerNonce("%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0");
    EXPECT_EQ(Scram.Start(Base64Encode("n,,n=user,r=rOprNGfwEbeRWgbNEkqO")).Line,
        "+ " + Base64Encode("r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096"));
    EXPECT_EQ(Scram
                  .Answer(Base64Encode("c=biws,r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,"
                                       "p=dHzbZapWIk4jUhN+Ute9ytag9zjfMHgsqmmiz7AndVQ="))
                  .Line,
        "+ " + Base64Encode("v=6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4="));
    EXPECT_EQ(Scram.Answer("").Verdict, TSaslVerdict::Success);
}

TEST(SaslExchange, TheServerRejectsClientsThatLeaveTheScript)
{
    const auto Verdict
        = [](TSaslMechanism Mechanism, const std::string& InitialResponse, std::vector<std::string> Lines) {
              TSaslServer Server(Mechanism, "anna", "geheim");
              TSaslServerStep Step = Server.Start(InitialResponse);
              for (const auto& Line : Lines)
                  Step = Server.Answer(Line);
              return Step.Verdict;
          };
    using V = TSaslVerdict;
    EXPECT_EQ(Verdict(TSaslMechanism::Plain, "=", {}), V::Malformed);
    EXPECT_EQ(Verdict(TSaslMechanism::Plain, "", { "not base64!" }), V::Malformed);
    EXPECT_EQ(Verdict(TSaslMechanism::Plain, "", { std::string(1 << 20, 'A') }), V::Malformed);
    EXPECT_EQ(Verdict(TSaslMechanism::Plain, Base64Encode(std::string("bernd\0anna\0geheim", 17)), {}), V::Failure);
    EXPECT_EQ(Verdict(TSaslMechanism::Login, "", { "*" }), V::Cancelled);
    EXPECT_EQ(Verdict(TSaslMechanism::CramMd5, "YW5uYQ==", {}), V::Malformed);
    EXPECT_EQ(Verdict(TSaslMechanism::CramMd5, "", { Base64Encode("anna") }), V::Malformed);
    EXPECT_EQ(Verdict(TSaslMechanism::ScramSha256, Base64Encode("p=tls-unique,,n=anna,r=abc"), {}), V::Failure);
    EXPECT_EQ(Verdict(TSaslMechanism::ScramSha256, Base64Encode("n,,m=x,n=anna,r=abc"), {}), V::Malformed);
    EXPECT_EQ(Verdict(TSaslMechanism::ScramSha256, Base64Encode("n,,n=anna,r=abc"),
                  { Base64Encode("c=biws,r=abcWRONG,p=AAAA") }),
        V::Malformed);
    EXPECT_EQ(Verdict(TSaslMechanism::XOAuth2, Base64Encode("user=anna auth=Bearer x"), {}), V::Malformed);
    EXPECT_EQ(Verdict(TSaslMechanism::Plain, Base64Encode(std::string("\0anna\0geheim", 12)), { "" }), V::Malformed);
}
