// TSmartNSLookup against dnsmasq over TCP, and against a scripted server for
// what dnsmasq does not do on demand (split, short, closed, oversized answers).
#include "dns/SmartNSLookup.h"
#include "net/WinsockErrors.h"
#include "tests/dns/CapturedResponses.h"
#include "tests/support/DnsmasqHarness.h"
#include "tests/support/NameServerFixture.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

struct ErrorInfo {
    std::string origin;
    int32_t code = 0;
    std::string text;
};

ErrorInfo TakeError(TSmartNSLookup& lookup)
{
    ErrorInfo info;
    lookup.GetErrorInfo(info.origin, info.code, info.text);
    return info;
}

void AskFor(TSmartNSLookup& lookup, const std::string& name, const std::string& type)
{
    lookup.Reset(true);
    lookup.Header().SetRD(true);
    lookup.Question().SetQName(name);
    lookup.Question().SetQType(type);
    lookup.Question().SetQClass("IN");
    lookup.SetTimeout(5);
}

void AskForMx(TSmartNSLookup& lookup, const std::string& name)
{
    AskFor(lookup, name, "MX");
}

std::string Bytes(const std::vector<uint8_t>& data)
{
    return std::string(data.begin(), data.end());
}

struct MX {
    std::string host;
    uint16_t preference;
    bool operator==(const MX& other) const { return host == other.host && preference == other.preference; }
};

// The MX records of the answer section, in answer order.
std::vector<MX> MxOf(const TSmartNSLookup& lookup)
{
    std::vector<MX> list;
    for (int i = 0; i < lookup.Answers().Count(); ++i) {
        const auto& record = lookup.Answers().Items(i);
        if (record.RRType != "MX")
            continue;
        TSmartNSMX mx;
        record.Data.GetMX(mx);
        list.push_back({ mx.Exchange, mx.Preference });
    }
    return list;
}

struct SRV {
    uint16_t priority, weight, port;
    std::string target;
    bool operator<(const SRV& other) const
    {
        return std::tie(priority, weight, port, target)
            < std::tie(other.priority, other.weight, other.port, other.target);
    }
    bool operator==(const SRV& other) const { return !(*this < other) && !(other < *this); }
};

// The SRV records of the answer section, sorted: dnsmasq's order varies.
std::vector<SRV> SrvOf(const TSmartNSLookup& lookup)
{
    std::vector<SRV> list;
    for (int i = 0; i < lookup.Answers().Count(); ++i) {
        const auto& record = lookup.Answers().Items(i);
        if (record.RRType != "SRV")
            continue;
        TSmartNSSRV srv;
        EXPECT_TRUE(record.Data.GetSRV(srv));
        list.push_back({ srv.Priority, srv.Weight, srv.Port, srv.Target });
    }
    std::sort(list.begin(), list.end());
    return list;
}

// The answer to "mail.test" MX one byte at a time, a piece every
// `pauseMs`: each piece in time for a per-piece wait, the whole far slower.
void Trickle(ScriptedServer& server, int pauseMs)
{
    TrickleAnswer(server, MailTestQueryLength, Captured::MailTestMx, pauseMs);
}
} // namespace

// ---- against dnsmasq ----

class LookupDnsmasq : public DnsmasqZoneTest {
protected:
    void SetUp() override
    {
        DnsmasqZoneTest::SetUp();
        if (HasFatalFailure())
            return;
        lookup.SetTargetHost("127.0.0.1");
        lookup.SetTargetPort(std::to_string(server->port()));
    }

    TSmartNSLookup lookup;
};

TEST_F(LookupDnsmasq, ListsMxRecordsInAnswerOrder)
{
    AskForMx(lookup, "mail.test");
    ASSERT_TRUE(lookup.Lookup()) << TakeError(lookup).code;
    EXPECT_EQ(MxOf(lookup),
        (std::vector<MX> { { "mx20.mail.test", 20 }, { "mx10.mail.test", 10 }, { "mx30.mail.test", 30 } }));
    EXPECT_TRUE(lookup.Header().QR);
    EXPECT_EQ(lookup.Question().QName(), "mail.test");
    EXPECT_FALSE(lookup.Connected());
    EXPECT_EQ(TSmartNSLookup::PendingID(), -1);
    EXPECT_EQ(lookup.AnswerLength(), lookup.AnswerBuffer()[1] + 2);
}

TEST_F(LookupDnsmasq, OneTrailingDotIsDroppedAndBadNamesAreNeverSent)
{
    AskForMx(lookup, "mail.test.");
    ASSERT_TRUE(lookup.Lookup()) << TakeError(lookup).code;
    EXPECT_EQ(lookup.QueryLength(), static_cast<int32_t>(MailTestQueryLength));
    EXPECT_EQ(MxOf(lookup).size(), 3u);
    for (const std::string& name : { std::string("a..b"), std::string("."), std::string(64, 'a') + ".test" }) {
        TSmartNSLookup refused;
        refused.SetTargetHost("127.0.0.1:" + std::to_string(server->port()));
        AskForMx(refused, name);
        EXPECT_FALSE(refused.Lookup());
        EXPECT_EQ(TakeError(refused).code, TSmartNSLookup::ErrorBadName) << name;
        EXPECT_EQ(refused.BytesSent(), 0);
    }
}

TEST_F(LookupDnsmasq, AliasComesBeforeTheMxRecords)
{
    AskForMx(lookup, "alias.test");
    ASSERT_TRUE(lookup.Lookup());
    ASSERT_EQ(lookup.Answers().Count(), 4);
    EXPECT_EQ(lookup.Answers().Items(0).RRType, "CNAME");
    EXPECT_EQ(MxOf(lookup).size(), 3u);
}

TEST_F(LookupDnsmasq, NameWithoutMxIsASuccessWithNoAnswers)
{
    AskForMx(lookup, "plain.test");
    EXPECT_TRUE(lookup.Lookup());
    EXPECT_EQ(lookup.Header().RCODE, 0);
    EXPECT_EQ(lookup.Answers().Count(), 0);
    EXPECT_EQ(lookup.LastError(), 0);
}

TEST_F(LookupDnsmasq, UnknownNameIsReportedOnceAsNameError)
{
    int reports = 0;
    ErrorInfo reported;
    lookup.OnError = [&](TSmartWinsock*, const std::string& origin, int32_t code, const std::string& text) {
        ++reports;
        reported = { origin, code, text };
    };
    AskForMx(lookup, "nothere.test");
    EXPECT_FALSE(lookup.Lookup());
    EXPECT_EQ(reports, 1);
    EXPECT_EQ(reported.origin, "NSLookup");
    EXPECT_EQ(reported.code, 3);
    EXPECT_EQ(reported.text, "Name Error");
    EXPECT_EQ(lookup.LastError(), 0);
}

TEST_F(LookupDnsmasq, ErrorWaitsForTheFinderWithoutHandler)
{
    AskForMx(lookup, "nothere.test");
    EXPECT_FALSE(lookup.Lookup());
    const auto info = TakeError(lookup);
    EXPECT_EQ(info.origin, "NSLookup");
    EXPECT_EQ(info.code, 3);
    EXPECT_EQ(info.text, "Name Error");
    EXPECT_EQ(lookup.LastError(), 0);
}

TEST_F(LookupDnsmasq, SrvRecordsWithTheirFieldsAndTheNoServiceTarget)
{
    const struct {
        const char* name;
        std::vector<SRV> records;
    } cases[] = {
        { "_pop3s._tcp.srv.test",
            { { 10, 20, 995, "pop-a.srv.test" }, { 10, 60, 995, "pop-b.srv.test" },
                { 20, 0, 1995, "pop-c.srv.test" } } },
        { "_pop3._tcp.srv.test", { { 5, 0, 110, "pop-d.srv.test" }, { 10, 50, 1110, "pop-e.srv.test" } } },
        // dnsmasq's defaults for a record without target: port 1, target ".".
        { "_pop3._tcp.nosrv.test", { { 0, 0, 1, "" } } },
        // A name below which only MX exists has no SRV records at all.
        { "_pop3s._tcp.mail.test", {} },
    };
    for (const auto& c : cases) {
        AskFor(lookup, c.name, "SRV");
        const bool found = lookup.Lookup();
        EXPECT_EQ(found, !c.records.empty()) << c.name;
        EXPECT_EQ(lookup.Question().QType(), "SRV");
        EXPECT_EQ(SrvOf(lookup), c.records) << c.name;
        TakeError(lookup);
    }
}

TEST_F(LookupDnsmasq, SyncFallsOnceAfterTheQuestionChanges)
{
    std::vector<bool> events;
    lookup.OnSyncChange = [&](TSmartNSLookup*, bool sync) { events.push_back(sync); };
    AskForMx(lookup, "mail.test");
    events.clear();
    ASSERT_TRUE(lookup.Lookup());
    EXPECT_TRUE(lookup.Sync());
    EXPECT_TRUE(events.empty());
    lookup.Question().SetQName("alias.test");
    lookup.Question().SetQName("plain.test");
    EXPECT_EQ(events, std::vector<bool> { false });
    EXPECT_FALSE(lookup.Sync());
}

// ---- scripted servers ----

TEST(LookupScripted, AssemblesAResponseSentInPieces)
{
    const std::string answer = Bytes(Captured::MailTestMx);
    const std::vector<std::vector<size_t>> splits = {
        { 1 }, // the prefix split in two
        { 2 }, // the prefix alone
        { 7, 40, 90 }, // prefix with the header's start, then more pieces
    };
    for (const auto& cuts : splits) {
        ScriptedServer server;
        server.expectBytes(MailTestQueryLength);
        size_t from = 0;
        for (size_t cut : cuts) {
            server.send(answer.substr(from, cut - from)).pause(50);
            from = cut;
        }
        server.send(answer.substr(from)).holdOpen(3000);
        server.start();
        TSmartNSLookup lookup;
        AskForMx(lookup, "mail.test");
        lookup.SetTargetHost(server.address());
        EXPECT_TRUE(lookup.Lookup()) << TakeError(lookup).code;
        EXPECT_EQ(MxOf(lookup).size(), 3u);
        EXPECT_EQ(lookup.AnswerLength(), static_cast<int32_t>(answer.size()));
        EXPECT_EQ(
            server.received().substr(2, 2), std::string(reinterpret_cast<const char*>(lookup.QueryBuffer()) + 2, 2));
    }
}

TEST(LookupScripted, ServerClosingEarlyIsReportedAsClosed)
{
    ScriptedServer server;
    server.expectBytes(MailTestQueryLength).send(Bytes(Captured::MailTestMx).substr(0, 30)).close();
    server.start();
    TSmartNSLookup lookup;
    AskForMx(lookup, "mail.test");
    lookup.SetTimeout(5);
    lookup.SetTargetHost(server.address());
    const auto start = Clock::now();
    EXPECT_FALSE(lookup.Lookup());
    EXPECT_LT(SecondsSince(start), 1.0); // at once, not after the wait
    const auto info = TakeError(lookup);
    EXPECT_EQ(info.origin, "NSLookup");
    EXPECT_EQ(info.code, TSmartNSLookup::ErrorClosed);
    EXPECT_EQ(info.text, "Connection closed before the response was complete");
    EXPECT_EQ(TSmartNSLookup::PendingID(), -1);
    EXPECT_FALSE(lookup.Connected());
}

TEST(LookupScripted, PeersThatAreNoNameServerAreToldApartAtOnce)
{
    auto queryEcho = Captured::MailTestMx;
    queryEcho[4] = 0x01; // flags 0x0100: a query, not a response
    auto otherOpcode = Captured::MailTestMx;
    otherOpcode[4] = 0x95; // flags 0x9580: a response, but opcode 2
    const struct {
        const char* what;
        bool sendFirst; // before reading the query, as a greeting
        std::string bytes;
        bool close;
        int32_t code;
    } cases[] = {
        { "closes without a byte", false, "", true, TSmartNSLookup::ErrorClosed },
        { "HTTP reply, kept open", false, "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n", false,
            TSmartNSLookup::ErrorNotDNS },
        { "mail server greeting", true, "+OK POP3 ready\r\n", false, TSmartNSLookup::ErrorNotDNS },
        { "query sent back", false, Bytes(queryEcho), false, TSmartNSLookup::ErrorNotDNS },
        { "unknown opcode", false, Bytes(otherOpcode), false, TSmartNSLookup::ErrorNotDNS },
    };
    for (const auto& c : cases) {
        ScriptedServer server;
        if (c.sendFirst)
            server.send(c.bytes);
        server.expectBytes(MailTestQueryLength);
        if (!c.sendFirst && !c.bytes.empty())
            server.send(c.bytes);
        if (c.close)
            server.close();
        server.holdOpen(3000);
        server.start();
        TSmartNSLookup lookup;
        AskForMx(lookup, "mail.test");
        lookup.SetTargetHost(server.address());
        const auto start = Clock::now();
        EXPECT_FALSE(lookup.Lookup()) << c.what;
        EXPECT_LT(SecondsSince(start), 1.0) << c.what;
        const auto info = TakeError(lookup);
        EXPECT_EQ(info.code, c.code) << c.what;
        EXPECT_EQ(info.origin, "NSLookup") << c.what;
        EXPECT_FALSE(lookup.Connected());
    }
    EXPECT_EQ(TSmartNSLookup::RcodeText(TSmartNSLookup::ErrorNotDNS), "Response is not DNS");
}

TEST(LookupScripted, TrickledAnswerHasOneDeadlineAndTheWindowItsTurns)
{
    // 119 bytes, one every 20 ms: 2.4 s in all, each piece well within 1 s.
    ScriptedServer server;
    Trickle(server, 20);
    server.start();
    TSmartNSLookup lookup;
    AskForMx(lookup, "mail.test");
    lookup.SetTimeout(1);
    lookup.SetTargetHost(server.address());
    std::vector<Clock::time_point> turns;
    lookup.OnWaiting = [&] { turns.push_back(Clock::now()); };
    const auto start = Clock::now();
    EXPECT_FALSE(lookup.Lookup());
    const double took = SecondsSince(start);
    EXPECT_GE(took, 0.95);
    EXPECT_LT(took, 1.5);
    const auto info = TakeError(lookup);
    EXPECT_EQ(info.code, kWinsockTimedOut);
    EXPECT_EQ(info.text, "Request timed out");
    EXPECT_GT(lookup.AnswerLength(), 2);
    EXPECT_LT(lookup.AnswerLength(), static_cast<int32_t>(Captured::MailTestMx.size()));
    EXPECT_FALSE(lookup.Connected());
    EXPECT_EQ(TSmartNSLookup::PendingID(), -1);
    // Bytes arrive every 20 ms, so polls are rarely empty: the hook still runs.
    ASSERT_GE(turns.size(), 10u);
    for (size_t i = 1; i < turns.size(); ++i)
        EXPECT_LT(turns[i] - turns[i - 1], std::chrono::milliseconds(100)) << i;

    // The limit was the look-up's own: the next wait has its usual length.
    ScriptedServer silent;
    silent.holdOpen(3000);
    silent.start();
    lookup.OnWaiting = nullptr;
    lookup.SetTargetHost(silent.address());
    ASSERT_TRUE(lookup.Connect());
    std::string text;
    const auto again = Clock::now();
    EXPECT_EQ(lookup.ReceiveString(text), -1);
    EXPECT_GE(SecondsSince(again), 0.95);
    lookup.Disconnect();
}

TEST(LookupScripted, ReceiveAnswerAloneAlsoHasOneDeadline)
{
    ScriptedServer server;
    Trickle(server, 20);
    server.start();
    TSmartNSLookup lookup;
    AskForMx(lookup, "mail.test");
    lookup.SetTimeout(1);
    lookup.SetTargetHost(server.address());
    ASSERT_TRUE(lookup.Connect());
    ASSERT_EQ(lookup.SendQuery(), static_cast<int32_t>(MailTestQueryLength));
    const auto start = Clock::now();
    EXPECT_EQ(lookup.ReceiveAnswer(), -1);
    EXPECT_LT(SecondsSince(start), 1.5);
    EXPECT_EQ(TakeError(lookup).code, kWinsockTimedOut);
    lookup.Disconnect();
}

TEST(LookupScripted, CancelFromTheWaitingHookEndsTheLookupAtOnce)
{
    ScriptedServer server;
    Trickle(server, 20);
    server.start();
    TSmartNSLookup lookup;
    AskForMx(lookup, "mail.test");
    lookup.SetTimeout(5);
    lookup.SetTargetHost(server.address());
    std::vector<int32_t> codes;
    lookup.OnError
        = [&](TSmartWinsock*, const std::string&, int32_t code, const std::string&) { codes.push_back(code); };
    const auto start = Clock::now();
    Clock::time_point stopped {};
    lookup.OnWaiting = [&] {
        if (SecondsSince(start) > 0.3 && stopped == Clock::time_point {}) {
            stopped = Clock::now();
            lookup.Cancel();
        }
    };
    EXPECT_FALSE(lookup.Lookup());
    EXPECT_LT(Clock::now() - stopped, std::chrono::milliseconds(100));
    EXPECT_EQ(codes, std::vector<int32_t> { kWinsockCancelled });
    EXPECT_FALSE(lookup.Connected());
    EXPECT_EQ(TSmartNSLookup::PendingID(), -1);

    // Usable again at once, with a fresh limit.
    ScriptedServer next;
    next.expectBytes(MailTestQueryLength).send(Bytes(Captured::MailTestMx)).holdOpen(3000);
    next.start();
    lookup.OnWaiting = nullptr;
    AskForMx(lookup, "mail.test");
    lookup.SetTargetHost(next.address());
    EXPECT_TRUE(lookup.Lookup());
    EXPECT_EQ(MxOf(lookup).size(), 3u);
}

TEST(LookupScripted, UnknownRcodeHasNoText)
{
    auto answer = Captured::NothereTestNx;
    answer[5] = 0x89; // flags 0x8189: RCODE 9
    ScriptedServer server;
    server.expectBytes(30).send(Bytes(answer)).holdOpen(3000);
    server.start();
    TSmartNSLookup lookup;
    AskForMx(lookup, "nothere.test");
    lookup.SetTargetHost(server.address());
    EXPECT_FALSE(lookup.Lookup());
    const auto info = TakeError(lookup);
    EXPECT_EQ(info.origin, "NSLookup");
    EXPECT_EQ(info.code, 9);
    EXPECT_EQ(info.text, "");
}

TEST(LookupScripted, SecondLookupWithoutResetSendsTheDecodedHeader)
{
    ScriptedServer server;
    server.expectBytes(MailTestQueryLength).send(Bytes(Captured::MailTestMx)).holdOpen(3000);
    server.start();
    TSmartNSLookup lookup;
    AskForMx(lookup, "mail.test");
    lookup.SetTargetHost(server.address());
    ASSERT_TRUE(lookup.Lookup());
    // Encode again, as the next SendQuery would: the response's flags and counts.
    EXPECT_EQ(lookup.SendQuery(), -1); // not connected
    EXPECT_EQ(lookup.QueryBuffer()[4], 0x85);
    EXPECT_EQ(lookup.QueryBuffer()[5], 0x80);
    EXPECT_EQ(lookup.QueryBuffer()[9], 3); // ANCOUNT
    EXPECT_EQ(TakeError(lookup).code, kWinsockNotConnected);
}

TEST(LookupScripted, ExchangeOrderIsGuarded)
{
    TSmartNSLookup lookup;
    AskForMx(lookup, "mail.test");
    // A response is read only after a query for this header's ID.
    EXPECT_EQ(lookup.ReceiveAnswer(), -1);
    auto info = TakeError(lookup);
    EXPECT_EQ(info.origin, "Winsock");
    EXPECT_EQ(info.code, kWinsockWouldBlock);
    EXPECT_EQ(info.text, "Operation would block");

    // A failed send leaves nothing pending: the next one tries again.
    EXPECT_EQ(lookup.SendQuery(), -1);
    EXPECT_EQ(TakeError(lookup).code, kWinsockNotConnected);
    EXPECT_EQ(TSmartNSLookup::PendingID(), -1);
    EXPECT_EQ(lookup.SendQuery(), -1);
    EXPECT_EQ(TakeError(lookup).code, kWinsockNotConnected);

    // Two queries without reading: the second is refused.
    ScriptedServer server;
    server.expectBytes(MailTestQueryLength).send(Bytes(Captured::MailTestMx)).holdOpen(3000);
    server.start();
    lookup.SetTargetHost(server.address());
    ASSERT_TRUE(lookup.Connect());
    EXPECT_EQ(lookup.SendQuery(), static_cast<int32_t>(MailTestQueryLength));
    EXPECT_EQ(TSmartNSLookup::PendingID(), lookup.Header().ID());
    EXPECT_EQ(lookup.SendQuery(), -1);
    EXPECT_EQ(TakeError(lookup).code, kWinsockWouldBlock);
    EXPECT_EQ(lookup.ReceiveAnswer(), static_cast<int32_t>(Captured::MailTestMx.size()));
    EXPECT_EQ(TSmartNSLookup::PendingID(), -1);
    lookup.Disconnect();
}

TEST(LookupScripted, ResponseLargerThanTheBufferIsCutAndReported)
{
    // The prefix announces 65535 bytes; more than 32768 arrive.
    std::string answer = Bytes(Captured::MailTestMx);
    answer[0] = '\xFF';
    answer[1] = '\xFF';
    answer += std::string(40000, '\0');
    ScriptedServer server;
    server.expectBytes(MailTestQueryLength).send(answer).holdOpen(5000);
    server.start();
    TSmartNSLookup lookup;
    AskForMx(lookup, "mail.test");
    lookup.SetTargetHost(server.address());
    EXPECT_FALSE(lookup.Lookup());
    EXPECT_EQ(lookup.AnswerLength(), TSmartNSLookup::BufferSize);
    const auto info = TakeError(lookup);
    EXPECT_EQ(info.code, kWinsockMessageTooLong);
    EXPECT_EQ(info.text, "Message too long");
    EXPECT_EQ(TSmartNSLookup::PendingID(), -1);
}

TEST(LookupScripted, RecordsRunningPastTheAnnouncedLengthAreReported)
{
    // All bytes arrive, but the prefix announces five fewer: the last MX record
    // does not fit the message.
    std::string answer = Bytes(Captured::MailTestMx);
    answer[1] = static_cast<char>(answer[1] - 5);
    ScriptedServer server;
    server.expectBytes(MailTestQueryLength).send(answer).holdOpen(3000);
    server.start();
    TSmartNSLookup lookup;
    AskForMx(lookup, "mail.test");
    lookup.SetTargetHost(server.address());
    EXPECT_FALSE(lookup.Lookup());
    const auto info = TakeError(lookup);
    EXPECT_EQ(info.origin, "NSLookup");
    EXPECT_EQ(info.code, TSmartNSLookup::ErrorMalformed);
    EXPECT_EQ(info.text, "Malformed response");
    EXPECT_EQ(lookup.Answers().Count(), 2);
}

TEST(LookupScripted, NameThatCannotBeEncodedIsNotSent)
{
    TSmartNSLookup lookup;
    AskForMx(lookup, std::string(40000, 'a'));
    EXPECT_EQ(lookup.SendQuery(), -1);
    EXPECT_EQ(TakeError(lookup).code, TSmartNSLookup::ErrorBadName);
    EXPECT_EQ(TSmartNSLookup::PendingID(), -1);
}

// ---- name server from the resolver configuration ----

class NameServerConfig : public ::testing::Test {
protected:
    void TearDown() override { TSmartNSLookup::SetResolverConfig(""); }
    void Use(const std::string& contents)
    {
        const std::string path = dir.file("resolv.conf");
        std::ofstream(path) << contents;
        TSmartNSLookup::SetResolverConfig(path);
    }
    TempDir dir;
};

TEST_F(NameServerConfig, FirstServerUpToTheFirstComma)
{
    Use("# comment\nsearch test\nnameserver 10.1.2.3,10.4.5.6\nnameserver 10.9.9.9\n");
    EXPECT_EQ(TSmartNSLookup::GetNameServer(), "10.1.2.3");
    TSmartNSLookup lookup;
    EXPECT_EQ(lookup.TargetHost(), "10.1.2.3");
    EXPECT_EQ(lookup.TargetPort(), "domain");
    EXPECT_EQ(lookup.Timeout(), 20);
}

TEST_F(NameServerConfig, ValueEndsAtBlankOrComment)
{
    const std::pair<const char*, const char*> cases[] = {
        { "nameserver 192.0.2.5 # home", "192.0.2.5" },
        { "nameserver 192.0.2.5;home", "192.0.2.5" },
        { "nameserver\t192.0.2.5\t10.4.5.6", "192.0.2.5" },
        { "nameserver ::1#x", "[::1]" },
        { "nameserver #none\nnameserver 192.0.2.7", "192.0.2.7" },
    };
    for (const auto& [line, target] : cases) {
        Use(std::string(line) + "\n");
        EXPECT_EQ(TSmartNSLookup::GetNameServer(), target) << line;
    }
}

TEST_F(NameServerConfig, NoServerGivesEmptyTargetAndConnectFails)
{
    Use("search test\n");
    TSmartNSLookup lookup;
    EXPECT_EQ(lookup.TargetHost(), "");
    AskForMx(lookup, "mail.test");
    EXPECT_FALSE(lookup.Lookup());
    EXPECT_EQ(TakeError(lookup).code, kWinsockAddressNotAvailable);

    TSmartNSLookup::SetResolverConfig(dir.file("missing"));
    EXPECT_EQ(TSmartNSLookup::GetNameServer(), "");
}

TEST_F(NameServerConfig, IPv6ServerIsUsable)
{
    Use("nameserver ::1\n");
    TSmartNSLookup lookup;
    EXPECT_EQ(lookup.TargetHost(), "[::1]");
    ScriptedServer server(ScriptedServer::Family::IPv6);
    server.expectBytes(MailTestQueryLength).send(Bytes(Captured::MailTestMx)).holdOpen(3000);
    server.start();
    AskForMx(lookup, "mail.test");
    lookup.SetTargetPort(std::to_string(server.port()));
    EXPECT_TRUE(lookup.Lookup()) << TakeError(lookup).code;
    EXPECT_EQ(MxOf(lookup).size(), 3u);
}
