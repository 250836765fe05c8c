// The client against a real server: Dovecot's own SASL code checks what the
// library computes, over a plain socket on loopback.
#include "auth/SaslClient.h"
#include "net/SmartWinsock.h"
#include "tests/net/ReadUntil.h"
#include "tests/support/DovecotHarness.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

struct TLogIn {
    std::string Reply; // the final +OK or -ERR line
    bool ClientOk = true;
};

// AUTH as the conversation will do it: each "+ " line goes to the client,
// each of its lines to the server, until +OK or -ERR.
TLogIn LogIn(TSmartWinsock& Socket, TSaslClient& Client)
{
    TLogIn Result;
    std::string Line = Client.Start().Line;
    for (int Round = 0; Round < 6; ++Round) {
        Socket.SendString(Line + "\r\n");
        std::string Reply = ReadUntil(Socket, "\r\n");
        if (Reply.size() >= 2)
            Reply.resize(Reply.size() - 2);
        if (Reply.rfind("+OK", 0) == 0 || Reply.rfind("-ERR", 0) == 0 || Reply.empty()) {
            Result.Reply = Reply;
            return Result;
        }
        const TSaslStep Step = Client.Answer(Reply.size() > 2 ? Reply.substr(2) : "");
        Result.ClientOk = Result.ClientOk && Step.Ok;
        Line = Step.Line;
    }
    return Result;
}

} // namespace

TEST(SaslWithDovecot, EveryMechanismLogsInAndAWrongPasswordIsRefused)
{
    if (!DovecotHarness::available())
        GTEST_SKIP() << "dovecot is not installed";
    DovecotHarness::Options Options;
    Options.authMechanisms = "plain login cram-md5 scram-sha-256";
    DovecotHarness Server(Options);
    std::string Why;
    ASSERT_TRUE(Server.start(&Why)) << Why;

    for (const char* Name : { "PLAIN", "login", "Cram-Md5", "SCRAM-SHA-256" }) {
        TSaslMechanism Mechanism {};
        ASSERT_TRUE(ParseSaslMechanism(Name, Mechanism));
        // Wrong passwords only where the library computes a proof: Dovecot
        // holds each refusal back for two seconds.
        const bool Computed = Mechanism == TSaslMechanism::CramMd5 || Mechanism == TSaslMechanism::ScramSha256;
        for (const std::string& Password : { Server.password(), std::string(Computed ? "falsch" : "") }) {
            if (Password.empty())
                continue;
            SCOPED_TRACE(std::string(Name) + " with " + Password);
            TSaslClient Client(Mechanism, Server.user(), Password);
            TSmartWinsock Socket;
            Socket.SetTimeout(10);
            Socket.SetTargetHost("127.0.0.1:" + std::to_string(Server.port()));
            ASSERT_TRUE(Socket.Connect());
            ASSERT_THAT(ReadUntil(Socket, "\r\n"), ::testing::StartsWith("+OK"));

            const TLogIn Result = LogIn(Socket, Client);
            const bool Right = Password == Server.password();
            EXPECT_THAT(Result.Reply, ::testing::StartsWith(Right ? "+OK" : "-ERR")) << Server.log();
            EXPECT_TRUE(Result.ClientOk);
            EXPECT_EQ(Client.ServerVerified(), Right && Mechanism == TSaslMechanism::ScramSha256);
            if (Right) {
                Socket.SendString("STAT\r\n");
                EXPECT_THAT(ReadUntil(Socket, "\r\n"), ::testing::StartsWith("+OK 4 "));
            }
            Socket.SendString("QUIT\r\n");
            ReadUntil(Socket, "\r\n");
            Socket.Disconnect();
        }
    }
}
