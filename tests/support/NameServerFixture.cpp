#include "tests/support/NameServerFixture.h"

#include "tests/support/ScriptedServer.h"

DnsmasqHarness* DnsmasqZoneTest::server = nullptr;
bool DnsmasqZoneTest::started = false;

void DnsmasqZoneTest::SetUpTestSuite()
{
    server = new DnsmasqHarness;
    server->addMailTestZone();
    started = server->start();
}

void DnsmasqZoneTest::TearDownTestSuite()
{
    delete server;
    server = nullptr;
}

void DnsmasqZoneTest::SetUp()
{
    ASSERT_TRUE(started) << server->error();
}

size_t QueryLength(const std::string& name)
{
    return 2 + 12 + name.size() + 2 + 4;
}

void TrickleAnswer(ScriptedServer& server, size_t queryLength, const std::vector<uint8_t>& answer, int pauseMs)
{
    server.expectBytes(queryLength);
    for (const uint8_t byte : answer)
        server.send(std::string(1, static_cast<char>(byte))).pause(pauseMs);
    server.holdOpen(3000);
}

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}
