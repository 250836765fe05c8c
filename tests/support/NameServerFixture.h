#pragma once

// What the look-up tests of dns/ and of the finder share: dnsmasq with the
// look-up zone, started once for a test suite; the length of a query on the
// wire; and a scripted name server that answers one byte at a time. No Qt.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/DnsmasqHarness.h"

class ScriptedServer;

// A test suite asking dnsmasq, which serves the zone of addMailTestZone() on
// server->port(). A fixture with its own SetUp calls this SetUp first and
// returns when it failed (dnsmasq did not start).
class DnsmasqZoneTest : public ::testing::Test {
protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    void SetUp() override;

    static DnsmasqHarness* server;
    static bool started;
};

// Bytes of a query for `name` over TCP: prefix 2, header 12, the name's
// labels and root, type and class 4.
size_t QueryLength(const std::string& name);
// The query for "mail.test": prefix 2, header 12, name 11, type and class 4.
constexpr size_t MailTestQueryLength = 29;

// A name server that reads one query of `queryLength` bytes, then sends
// `answer` one byte at a time with a pause of `pauseMs` after each, and keeps
// the connection open for 3 s.
void TrickleAnswer(ScriptedServer& server, size_t queryLength, const std::vector<uint8_t>& answer, int pauseMs);

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start);
