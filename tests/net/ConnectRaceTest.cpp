// Names with several addresses: every address gets its attempt, the families
// taking turns, a new one every 250 ms; loopback servers only.
#include "net/ConnectRace.h"
#include "net/SmartWinsock.h"
#include "net/WinsockErrors.h"
#include "tests/net/ErrorRecorder.h"
#include "tests/support/ScriptedServer.h"

#include <arpa/inet.h>
#include <chrono>
#include <memory>
#include <netinet/in.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

using Clock = std::chrono::steady_clock;
using Texts = std::vector<std::string>;

std::vector<TPeerAddress> Addresses(const Texts& Numeric)
{
    std::vector<TPeerAddress> result(Numeric.size());
    for (size_t i = 0; i < Numeric.size(); ++i)
        EXPECT_TRUE(ParseNumericAddress(Numeric[i], result[i])) << Numeric[i];
    return result;
}

// A listener whose queue is full: a connect to it is never answered, like a
// host whose packets vanish on the way.
struct BlackHole {
    BlackHole(const char* address, uint16_t port)
    {
        sockaddr_in target { AF_INET, htons(port), {}, {} };
        ::inet_pton(AF_INET, address, &target.sin_addr);
        const auto* raw = reinterpret_cast<const sockaddr*>(&target);
        EXPECT_EQ(::bind(listener, raw, sizeof target), 0);
        EXPECT_EQ(::listen(listener, 0), 0);
        ::connect(filler, raw, sizeof target);
    }
    ~BlackHole()
    {
        ::close(filler);
        ::close(listener);
    }

    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
};

class Race : public ::testing::Test {
protected:
    Race() { socket.SetTimeout(2); }

    // The name "dual.test" resolves to Resolved, in this order.
    bool ConnectThrough(const Texts& Resolved, uint16_t Port)
    {
        socket.SetResolver([Resolved](const std::string&, std::vector<TPeerAddress>& Found) {
            Found = Addresses(Resolved);
            return 0;
        });
        socket.SetTargetHost("dual.test:" + std::to_string(Port));
        return socket.Connect();
    }

    TSmartWinsock socket;
    ErrorRecorder recorder { socket };
};

} // namespace

TEST(ConnectOrder, FamiliesTakeTurnsFirstFamilyFirstDuplicatesDropped)
{
    const struct {
        Texts Resolved;
        Texts Tried;
    } cases[] = {
        { {}, {} },
        { { "127.0.0.1", "::1" }, { "127.0.0.1", "::1" } },
        { { "::1", "::2", "::3", "127.0.0.1", "127.0.0.2" }, { "::1", "127.0.0.1", "::2", "127.0.0.2", "::3" } },
        { { "127.0.0.1", "127.0.0.2", "::1" }, { "127.0.0.1", "::1", "127.0.0.2" } },
        { { "::1", "127.0.0.1", "::1", "127.0.0.1", "::ffff:127.0.0.1" }, { "::1", "127.0.0.1", "::ffff:127.0.0.1" } },
    };
    for (const auto& row : cases) {
        Texts tried;
        for (const TPeerAddress& address : ConnectOrder(Addresses(row.Resolved)))
            tried.push_back(NumericAddress(address));
        EXPECT_EQ(tried, row.Tried) << ::testing::PrintToString(row.Resolved);
    }
}

// The server listens on one family only: whichever order the resolver gives,
// the connection is made, and a refusal starts the next attempt at once.
TEST_F(Race, DualStackNameReachesAServerOnEitherFamily)
{
    for (const bool serverOnIpv6 : { true, false })
        for (const bool ipv6First : { true, false }) {
            SCOPED_TRACE(::testing::Message() << "server on IPv6 " << serverOnIpv6 << ", IPv6 first " << ipv6First);
            std::unique_ptr<ScriptedServer> server;
            try {
                server = std::make_unique<ScriptedServer>(
                    serverOnIpv6 ? ScriptedServer::Family::IPv6 : ScriptedServer::Family::IPv4);
            } catch (const std::exception&) {
                GTEST_SKIP() << "no IPv6 loopback on this machine";
            }
            server->send("+OK\r\n").start();
            const auto start = Clock::now();
            ASSERT_TRUE(ConnectThrough(
                ipv6First ? Texts { "::1", "127.0.0.1" } : Texts { "127.0.0.1", "::1" }, server->port()));
            EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(TConnectRace::kStaggerMs));
            EXPECT_EQ(socket.PeerAddress(), serverOnIpv6 ? "::1" : "127.0.0.1");
            EXPECT_EQ(socket.PeerPort(), server->port());
            if (serverOnIpv6 == ipv6First)
                EXPECT_THAT(socket.ConnectAttempts(), IsEmpty());
            else
                EXPECT_THAT(socket.ConnectAttempts(),
                    ElementsAre(serverOnIpv6 ? "127.0.0.1: Connection refused" : "[::1]: Connection refused"));
            std::string text;
            EXPECT_EQ(socket.ReceiveString(text), 5);
            EXPECT_TRUE(socket.Disconnect());
            EXPECT_EQ(socket.PeerAddress(), "");
            EXPECT_THAT(recorder.codes(), IsEmpty());
        }
}

TEST_F(Race, AllRefusedIsOneRefusalNamingEveryAddress)
{
    const uint16_t port = ScriptedServer().port(); // nothing listens there once it is gone
    EXPECT_FALSE(ConnectThrough({ "127.0.0.1", "127.0.0.2", "127.0.0.3" }, port));
    EXPECT_THAT(recorder.codes(), ElementsAre(kWinsockConnectionRefused));
    EXPECT_THAT(socket.ConnectAttempts(),
        ElementsAre("127.0.0.1: Connection refused", "127.0.0.2: Connection refused", "127.0.0.3: Connection refused"));
    EXPECT_EQ(socket.SocketHandle(), -1);
}

// The first address never answers: the second starts 250 ms later and wins.
// With no second, the one time limit ends the connect, or a stop does.
TEST_F(Race, SilentFirstAddressLosesToTheNextAfterTheStagger)
{
    ScriptedServer server;
    server.send("+OK\r\n").start();
    BlackHole hole("127.0.0.2", server.port());

    const auto start = Clock::now();
    ASSERT_TRUE(ConnectThrough({ "127.0.0.2", "127.0.0.1" }, server.port()));
    const auto took = Clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(TConnectRace::kStaggerMs));
    EXPECT_LT(took, std::chrono::milliseconds(1000));
    EXPECT_EQ(socket.PeerAddress(), "127.0.0.1");
    EXPECT_THAT(socket.ConnectAttempts(), IsEmpty()) << "the silent one was abandoned, not failed";
    socket.Disconnect();

    socket.SetTimeout(1);
    int waits = 0;
    socket.OnWaiting = [&] { ++waits; };
    ASSERT_FALSE(ConnectThrough({ "127.0.0.2" }, server.port()));
    EXPECT_THAT(socket.ConnectAttempts(), ElementsAre("127.0.0.2: Request timed out"));
    EXPECT_GE(waits, 5) << "the wait gives the window its turns";

    socket.OnWaiting = [&] { socket.Cancel(); };
    ASSERT_FALSE(ConnectThrough({ "127.0.0.2" }, server.port()));
    EXPECT_THAT(recorder.codes(), ElementsAre(kWinsockTimedOut, kWinsockCancelled));
}
