// The flows against tests/support/oauth_server.py, with the test as the
// browser, and the tokens they bring against Dovecot's oauth2 passdb.
#include "oauth/LoopbackListener.h"
#include "oauth/OAuth.h"

#include "auth/SaslClient.h"
#include "net/SmartWinsock.h"
#include "tests/net/ReadUntil.h"
#include "tests/support/DovecotHarness.h"
#include "tests/support/OAuthServerHarness.h"

#include <arpa/inet.h>
#include <chrono>
#include <curl/curl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using testing::HasSubstr;
using testing::StartsWith;

namespace {

using TClock = std::chrono::steady_clock;

size_t Keep(char* Data, size_t Size, size_t Count, void* Page)
{
    static_cast<std::string*>(Page)->append(Data, Size * Count);
    return Size * Count;
}

// GET with redirects followed, as a browser does; the page at the end.
std::string Fetch(const std::string& Url)
{
    std::string Page;
    CURL* Easy = curl_easy_init();
    curl_easy_setopt(Easy, CURLOPT_URL, Url.c_str());
    curl_easy_setopt(Easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(Easy, CURLOPT_TIMEOUT, 10L);
    curl_easy_setopt(Easy, CURLOPT_WRITEFUNCTION, Keep);
    curl_easy_setopt(Easy, CURLOPT_WRITEDATA, &Page);
    curl_easy_perform(Easy);
    curl_easy_cleanup(Easy);
    return Page;
}

// The person at the browser: what they do once the engine opens the URL.
enum class TPerson { Approves, Denies, ClosesTheBrowser, Cancels };

struct TRun {
    TOAuthResult Result;
    std::vector<std::string> Reports;
    std::string Page; // what the browser showed at the end
    TClock::duration CancelReaction {};
};

TOAuthClient TestClient(const OAuthServerHarness& Server)
{
    return { { Server.url(""), Server.url("/authorize"), Server.url("/token"), Server.url("/device"), "pop3" },
        "brieflotse-test", "", "anna" };
}

TRun SignIn(const OAuthServerHarness& Server, bool Device, TPerson Person, TOAuthLimits Limits = {})
{
    TRun Run;
    std::atomic<bool> Cancel { false };
    TClock::time_point CancelledAt;
    std::thread Browser;
    TOAuthCallbacks Callbacks;
    Callbacks.Report = [&Run](const std::string& Text) { Run.Reports.push_back(Text); };
    const auto CancelSoon = [&] {
        return std::thread([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            CancelledAt = TClock::now();
            Cancel = true;
        });
    };
    Callbacks.OpenBrowser = [&](const std::string& Url) {
        if (Person == TPerson::Approves || Person == TPerson::Denies)
            Browser = std::thread(
                [&Run, Url, Person] { Run.Page = Fetch(Url + (Person == TPerson::Denies ? "&deny=1" : "")); });
        if (Person == TPerson::Cancels)
            Browser = CancelSoon();
        return true;
    };
    Callbacks.ShowDeviceCode = [&](const TDeviceCode& Code) {
        if (Person == TPerson::Cancels) {
            Browser = CancelSoon();
            return;
        }
        Browser = std::thread([&Server, Code, Person] {
            Fetch(Server.url(
                "/device/approve?user_code=" + Code.UserCode + (Person == TPerson::Denies ? "&deny=1" : "")));
        });
    };
    Limits.SecondMs = 100;
    Run.Result = Device ? SignInWithDevice(TestClient(Server), Callbacks, Cancel, Limits)
                        : SignInWithBrowser(TestClient(Server), Callbacks, Cancel, Limits);
    Run.CancelReaction = TClock::now() - CancelledAt;
    if (Browser.joinable())
        Browser.join();
    // No secret in any text for the assistant or the log.
    for (const std::string& Text : Run.Reports) {
        if (!Run.Result.Token.AccessToken.empty()) {
            EXPECT_THAT(Text, testing::Not(HasSubstr(Run.Result.Token.AccessToken)));
        }
        if (!Run.Result.Token.RefreshToken.empty()) {
            EXPECT_THAT(Text, testing::Not(HasSubstr(Run.Result.Token.RefreshToken)));
        }
        EXPECT_THAT(Text, testing::Not(HasSubstr("code=")));
    }
    return Run;
}

// AUTH with the token, as the conversation does it; the final reply line.
std::string LogIn(const DovecotHarness& Server, TSaslMechanism Mechanism, const std::string& Token, bool TwoSteps)
{
    TSaslClient Client(Mechanism, Server.user(), Token);
    Client.SetServer("127.0.0.1", Server.port());
    Client.SetTwoSteps(TwoSteps);
    TSmartWinsock Socket;
    Socket.SetTimeout(10);
    Socket.SetTargetHost("127.0.0.1:" + std::to_string(Server.port()));
    if (!Socket.Connect())
        return "no connection";
    ReadUntil(Socket, "\r\n");
    std::string Line = Client.Start().Line;
    for (int Round = 0; Round < 4; ++Round) {
        Socket.SendString(Line + "\r\n");
        const std::string Reply = ReadUntil(Socket, "\r\n");
        if (Reply.rfind("+ ", 0) != 0)
            return Reply;
        Line = Client.Answer(Reply.substr(2, Reply.size() - 4)).Line;
    }
    return "too many rounds";
}

} // namespace

TEST(OAuthWithDovecot, TokensFromBothFlowsLogInWithBothMechanisms)
{
    if (!DovecotHarness::available())
        GTEST_SKIP() << "dovecot is not installed";
    OAuthServerHarness Tokens;
    ASSERT_TRUE(Tokens.start());
    DovecotHarness::Options Options;
    Options.authMechanisms = "oauthbearer xoauth2";
    Options.oauth2IntrospectionUrl = Tokens.url("/introspect");
    Options.noFailureDelay = true;
    DovecotHarness Server(Options);
    std::string Why;
    ASSERT_TRUE(Server.start(&Why)) << Why;

    const TRun Browser = SignIn(Tokens, false, TPerson::Approves);
    ASSERT_EQ(Browser.Result.Outcome, TOAuthOutcome::Ok) << Browser.Result.Problem;
    EXPECT_THAT(Browser.Page, HasSubstr("Anmeldung erfolgreich"));
    EXPECT_FALSE(Browser.Result.Token.RefreshToken.empty());
    EXPECT_THAT(LogIn(Server, TSaslMechanism::OAuthBearer, Browser.Result.Token.AccessToken, false), StartsWith("+OK"))
        << Server.log();

    const TRun Device = SignIn(Tokens, true, TPerson::Approves);
    ASSERT_EQ(Device.Result.Outcome, TOAuthOutcome::Ok) << Device.Result.Problem;
    EXPECT_THAT(LogIn(Server, TSaslMechanism::XOAuth2, Device.Result.Token.AccessToken, true), StartsWith("+OK"))
        << Server.log();
    EXPECT_THAT(LogIn(Server, TSaslMechanism::XOAuth2, "ausgedacht", true), StartsWith("-ERR"));
}

TEST(OAuthFlows, RefusalsEndTheFlowWithAReason)
{
    struct TCase {
        std::vector<std::string> ServerOptions;
        bool Device;
        TPerson Person;
        TOAuthOutcome Outcome;
        const char* Problem;
    };
    using O = TOAuthOutcome;
    const TCase Cases[] = {
        { { "--wrong-state" }, false, TPerson::Approves, O::Failed, "(state)" },
        { {}, false, TPerson::Denies, O::Denied, "abgelehnt oder abgebrochen. (access_denied)" },
        { {}, false, TPerson::ClosesTheBrowser, O::TimedOut, "Wurde der Browser geschlossen" },
        { {}, false, TPerson::Cancels, O::Cancelled, "abgebrochen" },
        { { "--token-answer", "oversize" }, false, TPerson::Approves, O::Failed, "größer als 64 KB" },
        { { "--token-answer", "malformed" }, false, TPerson::Approves, O::Failed, "kein gültiges JSON" },
        { { "--token-answer", "redirect" }, false, TPerson::Approves, O::Failed, "nach elsewhere.example;" },
        { {}, true, TPerson::Denies, O::Denied, "(access_denied)" },
        { {}, true, TPerson::Cancels, O::Cancelled, "abgebrochen" },
        { { "--slow-down" }, true, TPerson::Approves, O::Ok, "" },
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(testing::PrintToString(Case.ServerOptions) + (Case.Device ? " device " : " browser ")
            + std::to_string(int(Case.Person)));
        OAuthServerHarness Tokens;
        ASSERT_TRUE(Tokens.start(Case.ServerOptions));
        TOAuthLimits Limits;
        Limits.ListenerTimeoutMs = 1000;
        TRun Run = SignIn(Tokens, Case.Device, Case.Person, Limits);
        EXPECT_EQ(Run.Result.Outcome, Case.Outcome) << Run.Result.Problem;
        EXPECT_THAT(Run.Result.Problem, HasSubstr(Case.Problem));
        if (Case.Outcome != O::Ok) {
            EXPECT_EQ(Run.Reports.back(), Run.Result.Problem);
        }
        if (Case.Person == TPerson::Cancels) {
            EXPECT_LT(Run.CancelReaction, std::chrono::milliseconds(150));
        }
        if (Case.ServerOptions == std::vector<std::string> { "--wrong-state" }) {
            EXPECT_THAT(Run.Page, HasSubstr("Anmeldung fehlgeschlagen"));
        }
    }
}

TEST(OAuthFlows, ExpiredTokenIsRefreshedOnceAndARefusedRefreshAsksForANewSignIn)
{
    std::atomic<bool> Cancel { false };
    std::vector<std::string> Reports;
    TOAuthCallbacks Callbacks;
    Callbacks.Report = [&Reports](const std::string& Text) { Reports.push_back(Text); };
    for (const bool Refuse : { false, true }) {
        SCOPED_TRACE(Refuse);
        OAuthServerHarness Tokens;
        ASSERT_TRUE(Tokens.start(
            Refuse ? std::vector<std::string> { "--refuse-refresh" } : std::vector<std::string> { "--expires", "5" }));
        const TOAuthClient Client = TestClient(Tokens);
        TOAuthTokenStore Store;
        EXPECT_EQ(Store.FreshAccessToken(Client, Callbacks, Cancel).Outcome, TOAuthOutcome::SignInAgain);
        const TRun First = SignIn(Tokens, false, TPerson::Approves);
        ASSERT_EQ(First.Result.Outcome, TOAuthOutcome::Ok) << First.Result.Problem;
        TOAuthToken Stored = First.Result.Token;
        // Refresh-only, as the keyring gives it back at the next start.
        Stored.AccessToken.clear();
        Store.Put(Client, Stored);
        Reports.clear();
        const TOAuthResult Fresh = Store.FreshAccessToken(Client, Callbacks, Cancel);
        if (Refuse) {
            EXPECT_EQ(Fresh.Outcome, TOAuthOutcome::SignInAgain);
            EXPECT_THAT(Fresh.Problem, HasSubstr("(invalid_grant)"));
            EXPECT_FALSE(Store.Find(Client));
            continue;
        }
        ASSERT_EQ(Fresh.Outcome, TOAuthOutcome::Ok) << Fresh.Problem;
        EXPECT_NE(Fresh.Token.RefreshToken, First.Result.Token.RefreshToken);
        EXPECT_EQ(Store.Find(Client)->AccessToken, Fresh.Token.AccessToken);
        EXPECT_EQ(std::count_if(Reports.begin(), Reports.end(),
                      [](const std::string& Text) { return Text.find("erneuert") != std::string::npos; }),
            1);
        for (const std::string& Text : Reports)
            EXPECT_THAT(Text, testing::Not(HasSubstr(Fresh.Token.AccessToken)));
        // Still valid: handed out without asking the provider.
        Stored = Fresh.Token;
        Stored.Expires = std::chrono::system_clock::now() + std::chrono::hours(1);
        Store.Put(Client, Stored);
        EXPECT_EQ(Store.FreshAccessToken(Client, Callbacks, Cancel).Token.AccessToken, Fresh.Token.AccessToken);
    }
}

TEST(OAuthFlows, MetadataIsFoundAndItsIssuerAndSizeChecked)
{
    std::atomic<bool> Cancel { false };
    const std::pair<std::vector<std::string>, const char*> Cases[] = {
        { {}, "" },
        { { "--metadata-answer", "other-issuer" }, "Aussteller „http://127.0.0.1:1“" },
        { { "--metadata-answer", "oversize" }, "größer als 64 KB" },
        { { "--metadata-answer", "redirect" }, "elsewhere.example" },
    };
    for (const auto& [Options, Problem] : Cases) {
        OAuthServerHarness Tokens;
        ASSERT_TRUE(Tokens.start(Options));
        const TDiscoveredEndpoints Found = DiscoverEndpoints(Tokens.url(""), Cancel);
        EXPECT_EQ(Found.Ok, *Problem == 0) << Found.Problem;
        EXPECT_THAT(Found.Problem, HasSubstr(Problem));
        if (Found.Ok) {
            EXPECT_EQ(Found.Endpoints.DeviceUrl, Tokens.url("/device"));
        }
    }
    EXPECT_THAT(DiscoverEndpoints("http://example.org", Cancel).Problem, HasSubstr("nicht HTTPS"));
}

// Hostile peers at the listener: a silent connection, an endless head, a
// wrong path; the right request still gets through.
TEST(OAuthFlows, ListenerServesTheRightRequestPastHostilePeers)
{
    TLoopbackListener Listener;
    std::string Problem;
    ASSERT_TRUE(Listener.Open(Problem)) << Problem;
    std::vector<std::string> Answers;
    std::thread Peers([&Answers, Port = Listener.Port()] {
        const auto Connect = [Port] {
            const int Socket = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in Address {};
            Address.sin_family = AF_INET;
            Address.sin_port = htons(Port);
            Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            ::connect(Socket, reinterpret_cast<sockaddr*>(&Address), sizeof Address);
            return Socket;
        };
        const auto Ask = [&](const std::string& Request) {
            const int Socket = Connect();
            (void)!::send(Socket, Request.data(), Request.size(), MSG_NOSIGNAL);
            char Buffer[4096];
            const ssize_t Got = ::recv(Socket, Buffer, sizeof Buffer, 0);
            Answers.push_back(std::string(Buffer, Got > 0 ? size_t(Got) : 0).substr(0, 12));
            ::close(Socket);
        };
        const int Silent = Connect();
        Ask("GET /brieflotse?" + std::string(9000, 'a'));
        Ask("GET /favicon.ico HTTP/1.1\r\nHost: x\r\n\r\n");
        Ask("GET /brieflotse HTTP/1.1\r\nHost: x\r\n\r\n");
        Ask("GET /brieflotse?code=c%2B1&state=s HTTP/1.1\r\nHost: x\r\n\r\n");
        ::close(Silent);
    });
    std::atomic<bool> Cancel { false };
    const TRedirectResult Result = Listener.Wait("/brieflotse", "s", Cancel, 5000);
    Peers.join();
    EXPECT_EQ(Result.Outcome, TRedirectOutcome::Code) << Result.Problem;
    EXPECT_EQ(Result.Code, "c+1");
    EXPECT_EQ(Answers, (std::vector<std::string> { "HTTP/1.1 431", "HTTP/1.1 404", "HTTP/1.1 400", "HTTP/1.1 200" }));
}
