// TLS handshakes that no real server fails on demand, against scripted ones.
#include "net/SmartWinsock.h"
#include "net/WinsockErrors.h"
#include "tests/net/ErrorRecorder.h"
#include "tests/support/ScriptedServer.h"

#include <chrono>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using ::testing::ElementsAre;

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class TlsHandshake : public ::testing::Test {
protected:
    TlsHandshake()
        : recorder(socket)
    {
        socket.SetTimeout(1);
    }

    bool ConnectWithTls(ScriptedServer& server)
    {
        server.start();
        socket.SetTargetHost(server.address());
        socket.SetUseTls(true);
        return socket.Connect();
    }

    TSmartWinsock socket;
    ErrorRecorder recorder;
};

} // namespace

TEST_F(TlsHandshake, SilentServerTimesOutAndCancelEndsTheWait)
{
    ScriptedServer silent;
    silent.holdOpen(5000);
    int waitingCalls = 0;
    socket.OnWaiting = [&] { ++waitingCalls; };
    const auto start = Clock::now();
    EXPECT_FALSE(ConnectWithTls(silent));
    const double waited = SecondsSince(start);
    EXPECT_GE(waited, 0.95);
    EXPECT_LT(waited, 3.0);
    EXPECT_THAT(recorder.codes(), ElementsAre(kWinsockTimedOut));
    EXPECT_GE(waitingCalls, 5);
    EXPECT_EQ(socket.SocketHandle(), -1);

    // A start after STLS, stopped from the waiting hook.
    ScriptedServer quiet;
    quiet.send("+OK\r\n").holdOpen(5000);
    quiet.start();
    socket.SetTargetHost(quiet.address());
    ASSERT_TRUE(socket.Connect());
    std::string greeting;
    EXPECT_EQ(socket.ReceiveString(greeting), 5);
    waitingCalls = 0;
    socket.OnWaiting = [&] {
        if (++waitingCalls == 3)
            socket.Cancel();
    };
    const auto stls = Clock::now();
    EXPECT_FALSE(socket.StartTls());
    EXPECT_LT(SecondsSince(stls), 0.5);
    EXPECT_THAT(recorder.codes(), ElementsAre(kWinsockTimedOut, kWinsockCancelled));
    EXPECT_FALSE(socket.Connected());
    EXPECT_EQ(socket.SocketHandle(), -1);
}

TEST_F(TlsHandshake, ServerThatClosesOrResetsMidwayFailsOnce)
{
    ScriptedServer closing;
    closing.expectBytes(5).close().holdOpen(3000);
    EXPECT_FALSE(ConnectWithTls(closing));
    ASSERT_THAT(recorder.codes(), ElementsAre(kWinsockTlsClosedInHandshake));
    EXPECT_EQ(recorder.errors[0].Description, "Connection closed during the TLS handshake");
    EXPECT_EQ(socket.SocketHandle(), -1);

    // A socket failure keeps its WinSock number.
    ScriptedServer resetting;
    resetting.expectBytes(5).reset();
    EXPECT_FALSE(ConnectWithTls(resetting));
    EXPECT_THAT(recorder.codes(), ElementsAre(kWinsockTlsClosedInHandshake, kWinsockConnectionReset));
    EXPECT_EQ(socket.SocketHandle(), -1);
}

// What old servers answer our hello with: a TLS 1.0 ServerHello, or a
// protocol_version alert.
TEST_F(TlsHandshake, ServersOfOldProtocolVersionsAreRefusedClearly)
{
    std::string hello = { 0x16, 0x03, 0x01, 0x00, 0x2a, 0x02, 0x00, 0x00, 0x26, 0x03, 0x01 };
    hello += std::string(32, '\x5a'); // server random
    hello += { 0x00, 0x00, 0x2f, 0x00 }; // no session, TLS_RSA_WITH_AES_128_CBC_SHA, no compression
    ScriptedServer old;
    old.expectBytes(5).send(hello).holdOpen(3000);
    EXPECT_FALSE(ConnectWithTls(old));
    ASSERT_THAT(recorder.codes(), ElementsAre(kWinsockTlsOldProtocol));
    EXPECT_EQ(recorder.errors[0].Description, "Peer offers no protocol version we accept (TLS 1.0/1.1 only)");
    EXPECT_EQ(socket.TlsFailureReason(), "unsupported protocol");
    EXPECT_EQ(socket.SocketHandle(), -1);

    ScriptedServer refusing;
    refusing.expectBytes(5).send({ 0x15, 0x03, 0x01, 0x00, 0x02, 0x02, 0x46 }).holdOpen(3000);
    EXPECT_FALSE(ConnectWithTls(refusing));
    EXPECT_THAT(recorder.codes(), ElementsAre(kWinsockTlsOldProtocol, kWinsockTlsOldProtocol));
    EXPECT_EQ(socket.TlsFailureReason(), "tlsv1 alert protocol version");
    EXPECT_EQ(socket.SocketHandle(), -1);
}
