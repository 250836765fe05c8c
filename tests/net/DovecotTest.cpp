// The transport alone against a real POP3 server.
#include "net/SmartWinsock.h"
#include "tests/net/ErrorRecorder.h"
#include "tests/net/ReadUntil.h"
#include "tests/support/DovecotHarness.h"

#include <chrono>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

TEST(WinsockWithDovecot, LogsInAndReadsTheMailboxState)
{
    if (!DovecotHarness::available())
        GTEST_SKIP() << "dovecot is not installed";
    DovecotHarness server;
    std::string why;
    ASSERT_TRUE(server.start(&why)) << why;

    TSmartWinsock socket;
    ErrorRecorder recorder(socket);
    socket.SetTimeout(10);
    socket.SetTargetPort("pop3");
    socket.SetTargetHost("127.0.0.1:" + std::to_string(server.port()));
    ASSERT_TRUE(socket.Connect());

    EXPECT_THAT(ReadUntil(socket, "\r\n"), ::testing::StartsWith("+OK"));
    socket.SendString("USER " + server.user() + "\r\n");
    EXPECT_THAT(ReadUntil(socket, "\r\n"), ::testing::StartsWith("+OK"));
    socket.SendString("PASS " + server.password() + "\r\n");
    EXPECT_THAT(ReadUntil(socket, "\r\n"), ::testing::StartsWith("+OK"));

    size_t total = 0;
    for (const auto& message : server.messages())
        total += message.size();
    socket.SendString("STAT\r\n");
    EXPECT_EQ(ReadUntil(socket, "\r\n"),
        "+OK " + std::to_string(server.messages().size()) + " " + std::to_string(total) + "\r\n");

    // The big message comes in many chunks, none larger than 64 KB.
    socket.SendString("RETR 4\r\n");
    const std::string reply = ReadUntil(socket, "\r\n.\r\n");
    EXPECT_GT(reply.size(), server.messages()[3].size());

    socket.SendString("QUIT\r\n");
    EXPECT_THAT(ReadUntil(socket, "\r\n"), ::testing::StartsWith("+OK"));
    EXPECT_EQ(ReadUntil(socket, "\r\n"), ""); // closed by the server
    EXPECT_TRUE(socket.Disconnect());
    EXPECT_THAT(recorder.codes(), ::testing::IsEmpty());
}
