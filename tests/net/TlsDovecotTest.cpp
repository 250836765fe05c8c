// TLS against a real Dovecot that shows certificates made for the test.
#include "net/SmartWinsock.h"
#include "net/WinsockErrors.h"
#include "tests/net/ErrorRecorder.h"
#include "tests/net/ReadUntil.h"
#include "tests/support/DovecotHarness.h"
#include "tests/support/TestCertificates.h"

#include <chrono>
#include <map>
#include <memory>
#include <poll.h>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::StartsWith;

namespace {

using Clock = std::chrono::steady_clock;
using Kind = TestCertificates::Kind;

// What the window does between commands: wait for the socket, then let the
// component take in what came.
template <typename Condition> bool IdleUntil(TSmartWinsock& socket, Condition done)
{
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (!done() && Clock::now() < deadline) {
        pollfd watch { socket.SocketHandle(), POLLIN, 0 };
        ::poll(&watch, 1, 50);
        socket.ProcessEvents();
    }
    return done();
}

class TlsWithDovecot : public ::testing::Test {
protected:
    TlsWithDovecot()
        : recorder(socket)
    {
        socket.SetTimeout(10);
    }

    void SetUp() override
    {
        if (!DovecotHarness::available())
            GTEST_SKIP() << "dovecot is not installed";
        if (!TestCertificates::available())
            GTEST_SKIP() << "the openssl tool is not installed";
        std::string why;
        certificates = TestCertificates::shared(&why);
        ASSERT_NE(certificates, nullptr) << why;
        certificates->trustInThisProcess();
    }

    // forLocalhost: the certificate for clients that ask for "localhost".
    std::unique_ptr<DovecotHarness> StartServer(Kind kind, bool tls10Only = false, Kind forLocalhost = Kind::Good)
    {
        DovecotHarness::Options options;
        options.tlsCertificate = certificates->certificateFile(kind);
        options.tlsKey = certificates->keyFile();
        if (forLocalhost != kind)
            options.tlsCertificateByName["localhost"] = certificates->certificateFile(forLocalhost);
        options.tls10Only = tls10Only;
        auto server = std::make_unique<DovecotHarness>(options);
        std::string why;
        if (!server->start(&why)) {
            ADD_FAILURE() << why;
            return nullptr;
        }
        return server;
    }

    // One server with the good certificate for every test that needs no other.
    DovecotHarness* GoodServer()
    {
        static std::unique_ptr<DovecotHarness> shared;
        if (!shared)
            shared = StartServer(Kind::Good);
        return shared.get();
    }

    const TestCertificates* certificates = nullptr;
    TSmartWinsock socket;
    ErrorRecorder recorder;
};

} // namespace

TEST_F(TlsWithDovecot, VerifiedConnectionFromTheFirstByteAndAfterStls)
{
    DovecotHarness* server = GoodServer();
    ASSERT_TRUE(server);
    socket.SetTargetHost("pop3s://localhost:" + std::to_string(server->tlsPort()));
    ASSERT_TRUE(socket.Connect()) << ::testing::PrintToString(recorder.codes());
    EXPECT_TRUE(socket.Encrypted());
    const TTlsInfo& info = socket.TlsInfo();
    EXPECT_EQ(info.Verify, tvOk);
    EXPECT_EQ(info.VerifyCode, 0);
    EXPECT_EQ(info.VerifyText, "ok");
    EXPECT_EQ(info.Protocol, "TLSv1.3");
    EXPECT_FALSE(info.Cipher.empty());
    EXPECT_EQ(info.Subject, "CN=localhost, O=Brieflotse Test");
    EXPECT_EQ(info.Issuer, "CN=Brieflotse Test CA, O=Brieflotse Test");
    EXPECT_THAT(info.NotAfter, ::testing::MatchesRegex("20[0-9][0-9]-[01][0-9]-[0-3][0-9] [0-9:]{8} UTC"));
    EXPECT_EQ(info.Fingerprint, certificates->fingerprint(Kind::Good));
    EXPECT_THAT(ReadUntil(socket, "\r\n"), StartsWith("+OK"));

    // A second start on the encrypted connection is refused and changes nothing.
    EXPECT_FALSE(socket.StartTls());
    EXPECT_THAT(recorder.codes(), ElementsAre(kWinsockTlsAlreadyActive));
    EXPECT_TRUE(socket.Encrypted());
    EXPECT_TRUE(socket.Disconnect());
    EXPECT_FALSE(socket.Encrypted());
    EXPECT_EQ(socket.TlsInfo().Fingerprint, "");

    // STLS on the plain listener, by address: the certificate names 127.0.0.1.
    recorder.errors.clear();
    socket.SetTargetHost("127.0.0.1:" + std::to_string(server->port()));
    ASSERT_TRUE(socket.Connect());
    EXPECT_FALSE(socket.Encrypted());
    EXPECT_THAT(ReadUntil(socket, "\r\n"), StartsWith("+OK"));
    socket.SendString("STLS\r\n");
    EXPECT_THAT(ReadUntil(socket, "\r\n"), StartsWith("+OK"));
    ASSERT_TRUE(socket.StartTls());
    EXPECT_TRUE(socket.Encrypted());
    EXPECT_EQ(socket.TlsInfo().Verify, tvOk);
    // Dovecot offers STLS no more once TLS runs.
    socket.SendString("CAPA\r\n");
    const std::string capabilities = ReadUntil(socket, "\r\n.\r\n");
    EXPECT_THAT(capabilities, StartsWith("+OK"));
    EXPECT_THAT(capabilities, Not(HasSubstr("STLS")));
    EXPECT_THAT(recorder.codes(), IsEmpty());
}

// Each fault: the handshake completes, the connection works, and the window
// learns what is wrong.
TEST_F(TlsWithDovecot, CertificateFaultsAreReportedAfterACompleteHandshake)
{
    struct Case {
        Kind kind; // the server's certificate
        const char* host;
        Kind shown;
        TTlsVerifyResult result;
    };
    // The self-signed server has the good certificate for clients that ask
    // for "localhost" by SNI; an address is sent without SNI.
    const Case cases[] = {
        { Kind::Expired, "localhost", Kind::Expired, tvExpired },
        { Kind::NotYetValid, "localhost", Kind::NotYetValid, tvNotYetValid },
        { Kind::WrongHost, "localhost", Kind::WrongHost, tvWrongHost },
        { Kind::WrongHost, "127.0.0.1", Kind::WrongHost, tvWrongHost },
        { Kind::SelfSigned, "127.0.0.1", Kind::SelfSigned, tvSelfSigned },
        { Kind::SelfSigned, "localhost", Kind::Good, tvOk },
        { Kind::UnknownCa, "localhost", Kind::UnknownCa, tvUntrusted },
        { Kind::MissingIntermediate, "localhost", Kind::MissingIntermediate, tvIncompleteChain },
    };
    // One server per certificate, started and stopped side by side: each
    // takes about a second.
    std::map<Kind, std::unique_ptr<DovecotHarness>> servers;
    for (const Case& c : cases)
        servers[c.kind];
    auto sideBySide = [&](auto work) {
        std::vector<std::thread> threads;
        for (auto& entry : servers)
            threads.emplace_back([&] { work(entry); });
        for (auto& thread : threads)
            thread.join();
    };
    sideBySide([this](auto& entry) {
        entry.second = StartServer(entry.first, false, entry.first == Kind::SelfSigned ? Kind::Good : entry.first);
    });

    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.host) + ", " + certificates->certificateFile(c.kind));
        const DovecotHarness* server = servers[c.kind].get();
        ASSERT_TRUE(server);
        socket.SetTargetHost(std::string("pop3s://") + c.host + ":" + std::to_string(server->tlsPort()));
        ASSERT_TRUE(socket.Connect());
        const TTlsInfo& info = socket.TlsInfo();
        EXPECT_EQ(info.Verify, c.result) << info.VerifyCode << " " << info.VerifyText;
        EXPECT_EQ(info.VerifyCode != 0, c.result != tvOk);
        EXPECT_EQ(info.VerifyText != "ok", c.result != tvOk);
        EXPECT_EQ(info.Fingerprint, certificates->fingerprint(c.shown));
        if (c.kind == Kind::Expired) {
            EXPECT_EQ(info.NotAfter, "2020-02-01 00:00:00 UTC");
        } else if (c.kind == Kind::NotYetValid) {
            EXPECT_EQ(info.NotBefore, "2099-01-01 00:00:00 UTC");
        } else if (c.shown == Kind::SelfSigned) {
            EXPECT_EQ(info.Issuer, info.Subject);
        } else if (c.kind == Kind::UnknownCa) {
            EXPECT_EQ(info.Issuer, "CN=Unbekannte CA, O=Niemand");
        }
        EXPECT_THAT(ReadUntil(socket, "\r\n"), StartsWith("+OK"));
        EXPECT_TRUE(socket.Disconnect());
    }
    EXPECT_THAT(recorder.codes(), IsEmpty());
    sideBySide([](auto& entry) { entry.second.reset(); });
}

TEST_F(TlsWithDovecot, SessionCountsTheProtocolsBytes)
{
    DovecotHarness* server = GoodServer();
    ASSERT_TRUE(server);
    socket.SetTargetHost("localhost:" + std::to_string(server->tlsPort()));
    socket.SetUseTls(true);
    ASSERT_TRUE(socket.Connect());
    std::string sent;
    std::string received = ReadUntil(socket, "\r\n");
    auto command = [&](const std::string& line, const std::string& end) {
        sent += line;
        socket.SendString(line);
        const std::string reply = ReadUntil(socket, end);
        received += reply;
        return reply;
    };
    EXPECT_THAT(command("USER " + server->user() + "\r\n", "\r\n"), StartsWith("+OK"));
    EXPECT_THAT(command("PASS " + server->password() + "\r\n", "\r\n"), StartsWith("+OK"));
    size_t total = 0;
    for (const auto& message : server->messages())
        total += message.size();
    EXPECT_EQ(command("STAT\r\n", "\r\n"), "+OK 4 " + std::to_string(total) + "\r\n");
    // 200 KB: many records, several taken by one read of at most 64 KB.
    const std::string message = command("RETR 4\r\n", "\r\n.\r\n");
    const auto body = message.find("\r\n") + 2;
    EXPECT_THAT(message, StartsWith("+OK"));
    EXPECT_TRUE(message.compare(body, std::string::npos, server->messages()[3] + ".\r\n") == 0);
    EXPECT_THAT(command("QUIT\r\n", "\r\n"), StartsWith("+OK"));

    // The server's close reads as an orderly end, as without TLS.
    std::string rest;
    EXPECT_EQ(socket.ReceiveString(rest), 0);
    EXPECT_TRUE(socket.PeerHasClosed());
    EXPECT_EQ(socket.BytesSent(), static_cast<int64_t>(sent.size()));
    EXPECT_EQ(socket.BytesReceived(), static_cast<int64_t>(received.size()));
    EXPECT_THAT(recorder.codes(), IsEmpty());
}

// Dovecot writes a multi-line reply as one record: after the first small read
// the rest waits inside OpenSSL, where the socket cannot signal it.
TEST_F(TlsWithDovecot, DataInsideTheTlsLayerIsSeenBetweenCommands)
{
    DovecotHarness* server = GoodServer();
    ASSERT_TRUE(server);
    socket.SetTargetHost("pop3s://localhost:" + std::to_string(server->tlsPort()));
    ASSERT_TRUE(socket.Connect());
    EXPECT_THAT(ReadUntil(socket, "\r\n"), StartsWith("+OK"));

    socket.SendString("CAPA\r\n");
    ASSERT_TRUE(IdleUntil(socket, [&] { return socket.HasBufferedData(); }));
    pollfd watch { socket.SocketHandle(), POLLIN, 0 };
    EXPECT_EQ(::poll(&watch, 1, 0), 0);
    const int32_t whole = socket.BytesAvailable();
    std::string reply;
    char piece[4];
    while (socket.HasBufferedData()) {
        EXPECT_EQ(socket.BytesAvailable(), whole - static_cast<int32_t>(reply.size()));
        const int32_t n = socket.Receive(piece, sizeof piece);
        ASSERT_GT(n, 0);
        reply.append(piece, static_cast<size_t>(n));
    }
    EXPECT_THAT(reply, StartsWith("+OK"));
    EXPECT_THAT(reply, EndsWith("\r\n.\r\n"));
    EXPECT_EQ(socket.BytesAvailable(), 0);

    // The server's close after QUIT shows between commands too.
    socket.SendString("QUIT\r\n");
    EXPECT_THAT(ReadUntil(socket, "\r\n"), StartsWith("+OK"));
    EXPECT_TRUE(IdleUntil(socket, [&] { return socket.PeerHasClosed(); }));
    EXPECT_TRUE(socket.Connected());
    EXPECT_THAT(recorder.codes(), IsEmpty());
}

TEST_F(TlsWithDovecot, PlainServerRefusesStlsAndSpeaksNoTls)
{
    DovecotHarness server;
    std::string why;
    ASSERT_TRUE(server.start(&why)) << why;
    socket.SetTargetHost("127.0.0.1:" + std::to_string(server.port()));
    ASSERT_TRUE(socket.Connect());
    EXPECT_THAT(ReadUntil(socket, "\r\n"), StartsWith("+OK"));
    socket.SendString("STLS\r\n");
    EXPECT_THAT(ReadUntil(socket, "\r\n"), StartsWith("-ERR"));
    // Nothing started: the conversation goes on in plain text.
    EXPECT_FALSE(socket.Encrypted());
    socket.SendString("USER " + server.user() + "\r\n");
    EXPECT_THAT(ReadUntil(socket, "\r\n"), StartsWith("+OK"));
    EXPECT_TRUE(socket.Disconnect());

    // TLS from the first byte meets the plain greeting.
    socket.SetTargetHost("pop3s://127.0.0.1:" + std::to_string(server.port()));
    EXPECT_FALSE(socket.Connect());
    ASSERT_THAT(recorder.codes(), ElementsAre(kWinsockTlsNotTls));
    EXPECT_EQ(recorder.errors[0].Description, "Peer does not speak TLS");
    EXPECT_EQ(socket.TlsFailureReason(), "wrong version number");
    EXPECT_EQ(socket.SocketHandle(), -1);
}

// A Dovecot limited to TLS 1.0 finds no version in common with our hello
// (TLS 1.2 and 1.3 only) and hangs up without an alert. Old servers that
// answer instead are in TlsHandshakeTest.
TEST_F(TlsWithDovecot, ServerWithOnlyTls10EndsTheHandshake)
{
    auto server = StartServer(Kind::Good, true);
    ASSERT_TRUE(server);
    socket.SetTargetHost("pop3s://localhost:" + std::to_string(server->tlsPort()));
    const auto start = Clock::now();
    EXPECT_FALSE(socket.Connect());
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
    EXPECT_THAT(recorder.codes(), ElementsAre(kWinsockTlsClosedInHandshake));
    EXPECT_EQ(socket.SocketHandle(), -1);
    // Dovecot writes its log line about when it hangs up.
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    while (server->log().find("unsupported protocol") == std::string::npos && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_THAT(server->log(), HasSubstr("unsupported protocol"));
}
