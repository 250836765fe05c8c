// The pure rules of the OAuth2 flows: PKCE, the browser's URL, queries, which
// URLs may carry tokens, and how the provider's answers are read.
#include "oauth/OAuthRules.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using testing::HasSubstr;

TEST(OAuthRules, PkceChallengeOfTheKnownVectorAndFreshVerifiers)
{
    // RFC 7636 appendix B.
    EXPECT_EQ(
        PkceChallenge("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"), "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
    const std::string Verifier = NewPkceVerifier();
    EXPECT_GE(Verifier.size(), 43u);
    EXPECT_LE(Verifier.size(), 128u);
    EXPECT_EQ(Verifier.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~"),
        std::string::npos);
    EXPECT_NE(Verifier, NewPkceVerifier());
    EXPECT_NE(NewRandomToken(), NewRandomToken());
}

TEST(OAuthRules, AuthorizationUrlCarriesEverythingEncodedAndQueriesReadBack)
{
    TOAuthClient Client { MicrosoftEndpoints("contoso"), "id 1", "", "anna@example.org" };
    const std::string Url = AuthorizationUrl(Client, "http://127.0.0.1:4711/brieflotse", "st", "ch");
    EXPECT_EQ(Url,
        "https://login.microsoftonline.com/contoso/oauth2/v2.0/authorize?client_id=id%201&code_challenge=ch"
        "&code_challenge_method=S256&login_hint=anna%40example.org"
        "&redirect_uri=http%3A%2F%2F127.0.0.1%3A4711%2Fbrieflotse&response_type=code"
        "&scope=https%3A%2F%2Foutlook.office.com%2FPOP.AccessAsUser.All%20offline_access&state=st");
    Client.User.clear();
    Client.Endpoints.AuthorizationUrl = "https://example.org/auth?tenant=x";
    EXPECT_THAT(AuthorizationUrl(Client, "r", "s", "c"), testing::StartsWith("https://example.org/auth?tenant=x&"));
    EXPECT_THAT(AuthorizationUrl(Client, "r", "s", "c"), testing::Not(HasSubstr("login_hint")));

    const auto Fields = ParseQuery("code=a%2Fb+c&state=s&state=t&empty&&bad=%zz%4");
    EXPECT_EQ(Fields.at("code"), "a/b c");
    EXPECT_EQ(Fields.at("state"), "s");
    EXPECT_EQ(Fields.at("empty"), "");
    EXPECT_EQ(Fields.at("bad"), "%zz%4");
}

TEST(OAuthRules, OnlyHttpsOrLoopbackCarriesTokens)
{
    const std::pair<const char*, bool> Cases[] = {
        { "https://login.example.org/token", true },
        { "http://127.0.0.1:8080/token", true },
        { "http://[::1]:8080/token", true },
        { "http://localhost/token", true },
        { "http://LOCALHOST:1/", true },
        { "http://example.org/token", false },
        { "http://127.0.0.1.example.org/token", false },
        { "http://localhost@example.org/", false },
        { "ftp://127.0.0.1/", false },
        { "example.org", false },
    };
    for (const auto& [Url, Allowed] : Cases) {
        std::string Problem;
        EXPECT_EQ(UrlAllowed(Url, Problem), Allowed) << Url;
        EXPECT_EQ(Problem.empty(), Allowed) << Url;
    }
}

TEST(OAuthRules, TokenAnswersAreReadOrRefusedWithReasons)
{
    const auto Now = std::chrono::system_clock::time_point {} + std::chrono::hours(1000);
    struct TCase {
        const char* Body;
        bool Ok;
        const char* Problem;
    };
    const TCase Cases[] = {
        { R"({"access_token":"a","token_type":"bearer","expires_in":"60","refresh_token":"r"})", true, "" },
        { R"({"error":"invalid_grant","error_description":"AADSTS70000: revoked\u0001"})", false,
            "neu an. (invalid_grant) Der Anbieter sagt: „AADSTS70000: revoked “" },
        { R"({"error":"invalid_scope"})", false, "Bereich (Scope)" },
        { R"({"error":"made_up"})", false, "meldet einen Fehler. (made_up)" },
        { R"({"access_token":"a","token_type":"mac"})", false, "„mac“ statt „Bearer“" },
        { R"({"token_type":"Bearer"})", false, "kein Zugriffs-Token" },
        { R"({"access_token":"a",)", false, "kein gültiges JSON" },
        { R"(["access_token"])", false, "kein JSON-Objekt" },
    };
    for (const TCase& Case : Cases) {
        const TTokenAnswer Answer = ReadTokenAnswer(Case.Body, Now);
        EXPECT_EQ(Answer.Ok, Case.Ok) << Case.Body;
        EXPECT_THAT(Answer.Problem, HasSubstr(Case.Problem)) << Case.Body;
    }
    // A long description is cut between characters, never inside one.
    std::string Long;
    for (int I = 0; I < 301; ++I)
        Long += "ä";
    EXPECT_THAT(ReadTokenAnswer(R"({"error":"x","error_description":")" + Long + "\"}", Now).Problem,
        testing::EndsWith("ää ...“"));
    const TTokenAnswer Good = ReadTokenAnswer(Cases[0].Body, Now);
    EXPECT_EQ(Good.Token.Expires, Now + std::chrono::seconds(60));
    EXPECT_EQ(Good.Token.RefreshToken, "r");
}

TEST(OAuthRules, MetadataMustNameItsOwnIssuerAndSafeEndpoints)
{
    const std::string Issuer = "https://id.example.org";
    const auto Read = [&](const std::string& Body) { return ReadMetadata(Body, Issuer); };
    const TDiscoveredEndpoints Good = Read(R"({"issuer":"https://id.example.org","token_endpoint":
        "https://id.example.org/t","authorization_endpoint":"https://id.example.org/a"})");
    EXPECT_TRUE(Good.Ok) << Good.Problem;
    EXPECT_EQ(Good.Endpoints.TokenUrl, "https://id.example.org/t");
    EXPECT_THAT(
        Read(R"({"issuer":"https://evil.example","token_endpoint":"https://x/t"})").Problem, HasSubstr("Aussteller"));
    EXPECT_THAT(Read(R"({"issuer":"https://id.example.org"})").Problem, HasSubstr("keinen Token-Endpunkt"));
    EXPECT_THAT(Read(R"({"issuer":"https://id.example.org","token_endpoint":"http://id.example.org/t"})").Problem,
        HasSubstr("nicht HTTPS"));
}
