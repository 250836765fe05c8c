// Connecting, moving bytes and failing, against scripted loopback servers.
#include "net/SmartWinsock.h"
#include "net/WinsockErrors.h"
#include "tests/net/ErrorRecorder.h"
#include "tests/support/ScriptedServer.h"

#include <chrono>
#include <memory>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A loopback port that nothing listens on: a server's, after it is gone.
uint16_t ClosedPort()
{
    ScriptedServer probe;
    return probe.port();
}

class Connection : public ::testing::Test {
protected:
    Connection()
        : recorder(socket)
    {
        socket.SetTimeout(1);
    }

    bool ConnectTo(ScriptedServer& server)
    {
        server.start();
        socket.SetTargetHost(server.address());
        return socket.Connect();
    }

    TSmartWinsock socket;
    ErrorRecorder recorder;
};

} // namespace

TEST_F(Connection, EmptyHostOrPortCannotBeAssigned)
{
    socket.SetTargetHost("");
    socket.SetTargetPort("110");
    EXPECT_FALSE(socket.Connect());
    socket.SetTargetHost("127.0.0.1");
    socket.SetTargetPort("");
    EXPECT_FALSE(socket.Connect());
    EXPECT_THAT(recorder.codes(), ElementsAre(kWinsockAddressNotAvailable, kWinsockAddressNotAvailable));
    EXPECT_EQ(recorder.errors[0].Origin, "Winsock");
    EXPECT_EQ(recorder.errors[0].Description, "Can't assign requested address");
    EXPECT_EQ(socket.SocketHandle(), -1);
}

TEST_F(Connection, UnknownHostIsReportedOnceAndLeavesNoSocket)
{
    socket.SetTargetHost("nosuchhost.invalid");
    socket.SetTargetPort("110");
    EXPECT_FALSE(socket.Connect());
    // Whatever the resolver says, one look-up error and no time-out after it.
    ASSERT_EQ(recorder.errors.size(), 1u);
    EXPECT_GE(recorder.errors[0].Code, kWinsockHostNotFound);
    EXPECT_LE(recorder.errors[0].Code, kWinsockNoData);
    EXPECT_EQ(socket.SocketHandle(), -1);
    EXPECT_FALSE(socket.Connected());
}

TEST_F(Connection, ServiceNamesAreLookedUpNumbersAreNot)
{
    socket.SetTargetHost("127.0.0.1");
    socket.SetTargetPort("-1");
    EXPECT_FALSE(socket.Connect());
    EXPECT_THAT(recorder.codes(), ElementsAre(kWinsockNoData));

    // "pop3" is port 110: either something answers there or it is refused,
    // but the name itself is found.
    recorder.errors.clear();
    socket.SetTargetPort("pop3");
    if (!socket.Connect())
        EXPECT_THAT(recorder.codes(), ElementsAre(kWinsockConnectionRefused));
    else
        socket.Disconnect();

    recorder.errors.clear();
    socket.SetTargetPort(std::to_string(ClosedPort()));
    EXPECT_FALSE(socket.Connect());
    EXPECT_THAT(recorder.codes(), ElementsAre(kWinsockConnectionRefused));
    EXPECT_EQ(recorder.errors[0].Description, "Connection refused");
    EXPECT_EQ(socket.SocketHandle(), -1);
}

TEST_F(Connection, ConnectWhileConnectedClosesTheOpenConnection)
{
    ScriptedServer server;
    server.expectLine();
    ASSERT_TRUE(ConnectTo(server));
    EXPECT_TRUE(socket.Connected());

    EXPECT_FALSE(socket.Connect());
    EXPECT_THAT(recorder.codes(), ElementsAre(kWinsockAlreadyConnected));
    EXPECT_FALSE(socket.Connected());
    EXPECT_EQ(socket.SocketHandle(), -1);
    // The server's read ends because the connection went away, not by its deadline.
    EXPECT_FALSE(server.waitFinished(5000));
    EXPECT_FALSE(server.error().empty());
}

TEST_F(Connection, WithoutSocketEveryOperationFailsAtOnce)
{
    char buffer[16];
    std::string text;
    const auto start = Clock::now();
    EXPECT_FALSE(socket.Disconnect());
    EXPECT_EQ(socket.Send("x", 1), -1);
    EXPECT_EQ(socket.Receive(buffer, sizeof buffer), -1);
    EXPECT_EQ(socket.SendString("NOOP\r\n"), -1);
    EXPECT_EQ(socket.ReceiveString(text), -1);
    EXPECT_LT(SecondsSince(start), 0.5);
    EXPECT_THAT(recorder.codes(),
        ElementsAre(kWinsockNotConnected, kWinsockNotConnected, kWinsockNotConnected, kWinsockNotConnected,
            kWinsockNotConnected));
    EXPECT_EQ(socket.BytesAvailable(), 0);
}

TEST_F(Connection, TalksLineByLineAndCountsBytes)
{
    ScriptedServer server;
    server.send("+OK ready\r\n").expectLine().send("+OK ").pause(150).send("2 320\r\n").expectLine().close();
    ASSERT_TRUE(ConnectTo(server));

    std::string text;
    EXPECT_EQ(socket.ReceiveString(text), 11);
    EXPECT_EQ(text, "+OK ready\r\n");
    EXPECT_EQ(socket.SendString("STAT\r\n"), 6);
    // Chunks reach the caller as they come; joining them is the caller's work.
    EXPECT_EQ(socket.ReceiveString(text), 4);
    EXPECT_EQ(text, "+OK ");
    EXPECT_EQ(socket.ReceiveString(text), 7);
    EXPECT_EQ(socket.SendString(std::string("A\0B\r\n", 5)), 5);
    ASSERT_TRUE(server.waitFinished(5000)) << server.error();
    EXPECT_EQ(server.received(), std::string("STAT\r\nA\0B\r\n", 11));
    EXPECT_EQ(socket.BytesSent(), 11);
    EXPECT_EQ(socket.BytesReceived(), 22);

    // The peer's orderly close is no error: the read gives 0, the state stays.
    EXPECT_EQ(socket.ReceiveString(text), 0);
    EXPECT_EQ(text, "");
    EXPECT_TRUE(socket.Connected());
    EXPECT_TRUE(socket.Disconnect());
    EXPECT_FALSE(socket.Connected());
    EXPECT_THAT(recorder.codes(), IsEmpty());
}

TEST_F(Connection, NulBytesAndBytesAvailable)
{
    ScriptedServer server;
    server.send(std::string("a\0b", 3)).holdOpen(3000);
    ASSERT_TRUE(ConnectTo(server));
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    while (socket.BytesAvailable() < 3 && Clock::now() < deadline)
        socket.ProcessEvents();
    EXPECT_EQ(socket.BytesAvailable(), 3);
    std::string text;
    EXPECT_EQ(socket.ReceiveString(text), 3);
    EXPECT_EQ(text, std::string("a\0b", 3));
}

TEST_F(Connection, SilentServerTimesOutAfterTimeout)
{
    ScriptedServer server;
    server.holdOpen(5000);
    ASSERT_TRUE(ConnectTo(server));
    int waitingCalls = 0;
    socket.OnWaiting = [&] { ++waitingCalls; };

    std::string text;
    const auto start = Clock::now();
    EXPECT_EQ(socket.ReceiveString(text), -1);
    const double waited = SecondsSince(start);
    EXPECT_GE(waited, 0.95);
    EXPECT_LT(waited, 3.0);
    EXPECT_THAT(recorder.codes(), ElementsAre(kWinsockTimedOut));
    EXPECT_EQ(recorder.errors[0].Description, "Request timed out");
    // The window got its chances to repaint meanwhile.
    EXPECT_GE(waitingCalls, 5);
    EXPECT_TRUE(socket.Connected());
}

TEST_F(Connection, ResetIsReportedAndLeavesAStaleFailure)
{
    ScriptedServer server;
    server.send("+OK\r\n").expectLine().reset();
    ASSERT_TRUE(ConnectTo(server));
    std::string text;
    EXPECT_EQ(socket.ReceiveString(text), 5);
    EXPECT_EQ(socket.SendString("QUIT\r\n"), 6);
    ASSERT_TRUE(server.waitFinished(5000)) << server.error();

    EXPECT_EQ(socket.ReceiveString(text), -1);
    EXPECT_THAT(recorder.codes(), ElementsAre(kWinsockConnectionReset));
    EXPECT_EQ(recorder.errors[0].Description, "Connection reset by peer");
    EXPECT_TRUE(socket.Connected());
    EXPECT_TRUE(socket.Disconnect());
}

TEST_F(Connection, ResetNoticedBetweenOperationsEndsTheNextWaitSilently)
{
    ScriptedServer server;
    // A moment before the reset: our connect must have finished first, also
    // on a loaded machine.
    server.pause(200).reset();
    ASSERT_TRUE(ConnectTo(server));
    ASSERT_TRUE(server.waitFinished(5000));
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    while (recorder.errors.empty() && Clock::now() < deadline)
        socket.ProcessEvents();
    EXPECT_THAT(recorder.codes(), ElementsAre(kWinsockConnectionReset));

    std::string text;
    const auto start = Clock::now();
    EXPECT_EQ(socket.ReceiveString(text), -1);
    EXPECT_LT(SecondsSince(start), 0.5);
    EXPECT_THAT(recorder.codes(), ElementsAre(kWinsockConnectionReset));
}

TEST_F(Connection, WritingAfterResetFailsWithoutKillingTheProcess)
{
    ScriptedServer server;
    // A moment before the reset: our connect must have finished first, also
    // on a loaded machine.
    server.pause(200).reset();
    ASSERT_TRUE(ConnectTo(server));
    ASSERT_TRUE(server.waitFinished(5000));
    // Keep writing until the dead connection shows; SIGPIPE must not end us.
    int32_t result = 0;
    for (int i = 0; i < 10 && result >= 0; ++i)
        result = socket.SendString("NOOP\r\n");
    EXPECT_EQ(result, -1);
    ASSERT_FALSE(recorder.errors.empty());
    EXPECT_TRUE(recorder.errors[0].Code == kWinsockConnectionReset || recorder.errors[0].Code == kWinsockShutDown)
        << recorder.errors[0].Code;
}

TEST_F(Connection, LargeTextArrivesWholeAtASlowReader)
{
    const size_t size = 6u << 20;
    std::string text(size, '\0');
    for (size_t i = 0; i < size; ++i)
        text[i] = static_cast<char>('a' + i % 26);

    ScriptedServer server;
    server.setReceiveBuffer(16384);
    server.readSlowly(size, 256 * 1024, 20);
    ASSERT_TRUE(ConnectTo(server));
    EXPECT_EQ(socket.SendString(text), static_cast<int32_t>(size));
    ASSERT_TRUE(server.waitFinished(10000)) << server.error();
    EXPECT_TRUE(server.received() == text);
    EXPECT_EQ(socket.BytesSent(), static_cast<int64_t>(size));
    EXPECT_THAT(recorder.codes(), IsEmpty());
}

TEST_F(Connection, BracketedIpv6LiteralConnects)
{
    std::unique_ptr<ScriptedServer> server;
    try {
        server = std::make_unique<ScriptedServer>(ScriptedServer::Family::IPv6);
    } catch (const std::exception&) {
        GTEST_SKIP() << "no IPv6 loopback on this machine";
    }
    server->send("+OK v6\r\n");
    ASSERT_TRUE(ConnectTo(*server)) << (recorder.errors.empty() ? 0 : recorder.errors[0].Code);
    EXPECT_EQ(socket.TargetHost(), "[::1]");
    std::string text;
    EXPECT_EQ(socket.ReceiveString(text), 8);
    EXPECT_EQ(text, "+OK v6\r\n");
}

TEST_F(Connection, WithoutHandlerTheErrorWaitsInLastError)
{
    socket.OnError = nullptr;
    socket.SetTargetHost("");
    EXPECT_FALSE(socket.Connect());
    EXPECT_EQ(socket.LastError(), kWinsockAddressNotAvailable);
    std::string origin;
    std::string description;
    int32_t code = 0;
    socket.GetErrorInfo(origin, code, description);
    EXPECT_EQ(origin, "Winsock");
    EXPECT_EQ(code, kWinsockAddressNotAvailable);
    EXPECT_EQ(description, "Can't assign requested address");
    EXPECT_EQ(socket.LastError(), 0);
}

TEST_F(Connection, HandlerThatDisconnectsEndsTheWaitWithoutATimeOut)
{
    ScriptedServer server;
    server.pause(100).reset();
    ASSERT_TRUE(ConnectTo(server));
    std::vector<int32_t> codes;
    socket.OnError = [&](TSmartWinsock* sender, const std::string&, int32_t code, const std::string&) {
        codes.push_back(code);
        sender->Disconnect();
    };
    std::string text;
    EXPECT_EQ(socket.ReceiveString(text), -1);
    EXPECT_THAT(codes, ElementsAre(kWinsockConnectionReset));
    EXPECT_EQ(socket.SocketHandle(), -1);
}

// Data at full speed still gives the window its turn, and a stop asked for
// there ends the receiving loop with its own code.
TEST_F(Connection, WaitingHookRunsWhileDataFlowsAndCanCancel)
{
    ScriptedServer server;
    for (int i = 0; i < 400; ++i)
        server.send(std::string(4096, 'x')).pause(1);
    server.holdOpen(5000);
    ASSERT_TRUE(ConnectTo(server));
    std::vector<Clock::time_point> calls;
    socket.OnWaiting = [&] {
        calls.push_back(Clock::now());
        if (calls.size() == 5)
            socket.Cancel();
    };
    std::string text;
    int32_t received = 0;
    const auto start = Clock::now();
    while ((received = socket.ReceiveString(text)) > 0) { }
    EXPECT_EQ(received, -1);
    EXPECT_THAT(recorder.codes(), ElementsAre(kWinsockCancelled));
    ASSERT_EQ(calls.size(), 5u);
    EXPECT_LT(SecondsSince(start), 1.0);
    for (size_t i = 1; i < calls.size(); ++i)
        EXPECT_LT(calls[i] - calls[i - 1], std::chrono::milliseconds(100));
    // Cancel between waits changes nothing.
    socket.Cancel();
    socket.OnWaiting = nullptr;
    EXPECT_GT(socket.ReceiveString(text), 0);
}
