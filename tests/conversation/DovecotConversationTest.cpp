// A whole session against a real Dovecot POP3 server: what the log shows is
// what the server said, line for line.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "conversation/POP3Conversation.h"
#include "conversation/ReplyRules.h"
#include "oauth/OAuth.h"
#include "oauth/OAuthHttp.h"
#include "tests/conversation/RecordingView.h"
#include "tests/support/DovecotHarness.h"
#include "tests/support/OAuthServerHarness.h"

using testing::StartsWith;

namespace {

// The message as the server sends it in a RETR body: dot-stuffed, then ".".
std::vector<std::string> BodyLines(const std::string& Message)
{
    std::vector<std::string> Lines;
    for (const std::string& Line : SplitLogLines(Message))
        Lines.push_back(!Line.empty() && Line[0] == '.' ? "." + Line : Line);
    Lines.push_back(".");
    return Lines;
}

} // namespace

TEST(ConversationWithDovecot, SessionLogEqualsWhatTheServerSent)
{
    if (!DovecotHarness::available())
        GTEST_SKIP() << "dovecot is not installed";
    DovecotHarness Server;
    std::string Why;
    ASSERT_TRUE(Server.start(&Why)) << Why;

    TRecordingView View;
    TPOP3Conversation Conversation(View, View.Recorder);
    Conversation.SetWaitTimeout(10);
    Conversation.ButtonVerbindenClick("127.0.0.1:" + std::to_string(Server.port()));
    ASSERT_FALSE(Conversation.ErrorFlag()) << Conversation.ErrorMessage() << Server.log();

    Conversation.SendAction("user " + Server.user());
    Conversation.SendAction("PASS " + Server.password());
    EXPECT_THAT(View.Guidance, StartsWith("Der Server hat das übermittelte Paßwort akzeptiert"));
    Conversation.SendAction("STAT");
    Conversation.SendAction("LIST");
    const size_t RetrAt = View.LogLines().size();
    Conversation.SendAction("RETR 2");
    const size_t DotsAt = View.LogLines().size();
    Conversation.SendAction("RETR 3");
    const size_t LargeAt = View.LogLines().size();
    Conversation.SendAction("RETR 4");
    Conversation.SendAction("QUIT");
    EXPECT_FALSE(Conversation.ErrorFlag()) << Conversation.ErrorMessage();
    EXPECT_FALSE(View.Connected);

    const std::vector<std::string> Log = View.LogLines();
    const auto& Messages = Server.messages();
    size_t Total = 0;
    for (const std::string& Message : Messages)
        Total += Message.size();

    size_t At = 0;
    EXPECT_THAT(Log[At++], StartsWith("+OK"));
    EXPECT_EQ(Log[At++], "");
    EXPECT_EQ(Log[At++], "USER " + Server.user());
    EXPECT_THAT(Log[At++], StartsWith("+OK"));
    EXPECT_EQ(Log[At++], "");
    EXPECT_EQ(Log[At++], "PASS Schhh... nicht verraten!");
    EXPECT_THAT(Log[At++], StartsWith("+OK"));
    EXPECT_EQ(Log[At++], "");
    EXPECT_EQ(Log[At++], "STAT");
    EXPECT_EQ(Log[At++], "+OK " + std::to_string(Messages.size()) + " " + std::to_string(Total));
    EXPECT_EQ(Log[At++], "");
    EXPECT_EQ(Log[At++], "LIST");
    EXPECT_THAT(Log[At++], StartsWith("+OK"));
    for (size_t Number = 1; Number <= Messages.size(); ++Number)
        EXPECT_EQ(Log[At++], std::to_string(Number) + " " + std::to_string(Messages[Number - 1].size()));
    EXPECT_EQ(Log[At++], ".");
    ASSERT_EQ(At, RetrAt);

    auto ExpectRetr = [&](size_t From, size_t Number) {
        SCOPED_TRACE("RETR " + std::to_string(Number));
        ASSERT_LT(From + 3, Log.size());
        EXPECT_EQ(Log[From], "");
        EXPECT_EQ(Log[From + 1], "RETR " + std::to_string(Number));
        EXPECT_THAT(Log[From + 2], StartsWith("+OK"));
        const std::vector<std::string> Body = BodyLines(Messages[Number - 1]);
        ASSERT_LE(From + 3 + Body.size(), Log.size());
        EXPECT_EQ(std::vector<std::string>(Log.begin() + static_cast<long>(From + 3),
                      Log.begin() + static_cast<long>(From + 3 + Body.size())),
            Body);
    };
    ExpectRetr(RetrAt, 2);
    ExpectRetr(DotsAt, 3);
    ExpectRetr(LargeAt, 4);

    EXPECT_EQ(Log[Log.size() - 2], "QUIT");
    EXPECT_THAT(Log.back(), StartsWith("+OK"));
    EXPECT_EQ(View.Received, Conversation.BytesReceived());
}

// A token from the OAuth engine's device flow, sent by the conversation as
// XOAUTH2 in two steps (AUTH line, then the response after "+ ").
TEST(ConversationWithDovecot, TokenFromTheDeviceFlowLogsInWithXOAuth2InTwoSteps)
{
    if (!DovecotHarness::available())
        GTEST_SKIP() << "dovecot is not installed";
    OAuthServerHarness Tokens;
    ASSERT_TRUE(Tokens.start());
    DovecotHarness::Options Options;
    Options.authMechanisms = "xoauth2";
    Options.oauth2IntrospectionUrl = Tokens.url("/introspect");
    DovecotHarness Server(Options);
    std::string Why;
    ASSERT_TRUE(Server.start(&Why)) << Why;

    const TOAuthClient Client { { Tokens.url(""), Tokens.url("/authorize"), Tokens.url("/token"), Tokens.url("/device"),
                                    "pop3" },
        "brieflotse-test", "", Server.user() };
    std::atomic<bool> Cancel { false };
    TOAuthCallbacks Callbacks;
    std::thread Person;
    Callbacks.ShowDeviceCode = [&](const TDeviceCode& Code) {
        Person = std::thread([&Tokens, &Cancel, Code] {
            HttpExchange(Tokens.url("/device/approve?user_code=" + Code.UserCode), {}, Cancel, TOAuthLimits {});
        });
    };
    TOAuthLimits Limits;
    Limits.SecondMs = 100;
    const TOAuthResult Token = SignInWithDevice(Client, Callbacks, Cancel, Limits);
    if (Person.joinable())
        Person.join();
    ASSERT_EQ(Token.Outcome, TOAuthOutcome::Ok) << Token.Problem;

    TRecordingView View;
    TPOP3Conversation Conversation(View, View.Recorder);
    Conversation.SetWaitTimeout(10);
    Conversation.ButtonVerbindenClick("127.0.0.1:" + std::to_string(Server.port()));
    auto Sasl = std::make_unique<TSaslClient>(TSaslMechanism::XOAuth2, Server.user(), Token.Token.AccessToken);
    Sasl->SetTwoSteps(true);
    const TSaslStep First = Sasl->Start();
    EXPECT_EQ(First.Line, "AUTH XOAUTH2");
    Conversation.SetSaslClient(std::move(Sasl), First.Explanation);
    Conversation.SendAction(First.Line);
    EXPECT_NE(View.Guidance.find("angenommen"), std::string::npos) << View.Guidance << Server.log();
    Conversation.SendAction("STAT");
    Conversation.SendAction("QUIT");
    const std::vector<std::string> Log = View.LogLines();
    EXPECT_THAT(Log, testing::Contains(StartsWith("+OK 4 ")));
    for (const std::string& Line : Log)
        EXPECT_EQ(Line.find(Token.Token.AccessToken), std::string::npos) << Line;
}
