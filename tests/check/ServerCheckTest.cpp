// The server check against real servers: Dovecot in four configurations
// through the built program (exit code and JSON), a server with the STLS
// injection flaw on IPv4 and IPv6, a hostile greeting, and a stop.

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <arpa/inet.h>
#include <chrono>
#include <fstream>
#include <iterator>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "check/CheckFindings.h"
#include "check/CheckJson.h"
#include "check/ServerCheck.h"
#include "practice/PracticeFault.h"
#include "practice/PracticeMailbox.h"
#include "practice/PracticeServer.h"
#include "tests/check/InjectableServer.h"
#include "tests/practice/ToolRun.h"
#include "tests/support/DovecotHarness.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TestCertificates.h"
#include "text/JsonWriter.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t MillisecondsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

const TestCertificates* Certificates()
{
    if (!TestCertificates::available() || !DovecotHarness::available())
        return nullptr;
    const TestCertificates* made = TestCertificates::shared();
    if (made)
        made->trustInThisProcess();
    return made;
}

// Counts what the check reports while it runs, and keeps every transcript.
struct Recorder : TCheckObserver {
    int started = 0;
    int finished = 0;
    int lastDone = 0;
    int lastTotal = 0;
    std::string transcripts;
    void ProbeStarted(const std::string&, const std::string&) override { ++started; }
    void ProbeFinished(const std::string&, const TProbeTranscript& transcript) override
    {
        ++finished;
        transcripts += transcript.Heading + "\n";
        for (const auto& line : transcript.Lines)
            transcripts += (line.Sent ? "C: " : "S: ") + line.Text + "\n";
    }
    void Progress(int done, int total) override
    {
        lastDone = done;
        lastTotal = total;
    }
};

std::string ReadFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

const TPortFacts& OnlyPort(const TCheckReport& report)
{
    static const TPortFacts none;
    return report.Addresses.empty() || report.Addresses[0].Ports.empty() ? none : report.Addresses[0].Ports[0];
}

} // namespace

TEST(CheckTarget, RefusesBadInputBeforeAnythingGoesOnTheWire)
{
    struct Row {
        const char* text;
        bool ok;
        const char* host;
        uint16_t port;
        bool tls;
    };
    for (const Row& row : std::initializer_list<Row> {
             { "mail.example.org", true, "mail.example.org", 0, false },
             { "mail.example.org:995", true, "mail.example.org", 995, true },
             { "pop3s://mail.example.org", true, "mail.example.org", 995, true },
             { "pop3s://mail.example.org:4995", true, "mail.example.org", 4995, true },
             { "pop3://mail.example.org", true, "mail.example.org", 110, false },
             { "[::1]:110", true, "::1", 110, false },
             { " 127.0.0.1:2110 ", true, "127.0.0.1", 2110, false },
             { "mail.example.org:0", false, "", 0, false },
             { "mail.example.org:65536", false, "", 0, false },
             { "mail.example.org:-1", false, "", 0, false },
             { "mail.example.org:pop3", false, "", 0, false },
             { "mail example.org", false, "", 0, false },
             { "mail.example.org;rm", false, "", 0, false },
             { "m\xc3\xa4il.example.org", false, "", 0, false },
             { "[mail.example.org]:110", false, "", 0, false },
             { "", false, "", 0, false },
         }) {
        TCheckOptions options;
        std::string problem;
        EXPECT_EQ(ParseCheckTarget(row.text, options, problem), row.ok) << row.text;
        if (!row.ok) {
            EXPECT_FALSE(problem.empty()) << row.text;
            continue;
        }
        EXPECT_EQ(options.Host, row.host) << row.text;
        EXPECT_EQ(options.Port, row.port) << row.text;
        EXPECT_EQ(options.PortTls, row.tls) << row.text;
    }
}

TEST(CheckTarget, ProgramRefusesWrongUsageWith64)
{
    for (const std::vector<std::string>& arguments : std::initializer_list<std::vector<std::string>> {
             { "--check", "bad host!" },
             { "--check", "127.0.0.1:70000" },
             { "--json" },
             { "--check", "127.0.0.1", "--password-stdin" },
             { "--check", "127.0.0.1", "--user", "anna" },
             { "--check", "127.0.0.1", "--user", "anna\r\nDELE 1", "--password-stdin" },
             { "--check", "127.0.0.1", "mail.example.org" },
             { "--check" },
         }) {
        std::vector<std::string> command = { BRIEFLOTSE_PROGRAM };
        command.insert(command.end(), arguments.begin(), arguments.end());
        const TToolResult run = RunTool(command, 10000);
        EXPECT_EQ(run.Status, 64) << arguments.back() << run.Errors;
        EXPECT_TRUE(run.Output.empty()) << run.Output;
        EXPECT_NE(run.Errors.find("brieflotse: "), std::string::npos);
    }
}

TEST(CheckRules, PlaintextLoginJudgedFromBothRefusals)
{
    struct Row {
        const char* plain;
        const char* tls;
        bool accepted;
        bool taken;
    };
    for (const Row& row : std::initializer_list<Row> {
             // Dovecot with disable_plaintext_auth = yes: refused at USER, another text.
             { "-ERR [AUTH] Plaintext authentication disallowed on non-secure (SSL/TLS) connections.",
                 "-ERR [AUTH] Authentication failed.", false, false },
             // The same "wrong password" both times: it checked the password in clear.
             { "-ERR [AUTH] Authentication failed.", "-ERR [AUTH] Authentication failed.", false, true },
             // Session numbers differ, the refusal does not.
             { "-ERR Authentication failed (session 4711)", "-ERR Authentication failed (session 4712)", false, true },
             { "(Verbindung beendet: connection closed)", "-ERR [AUTH] Authentication failed.", false, false },
             { "+OK logged in", "-ERR [AUTH] Authentication failed.", true, true },
             // Nothing inside TLS to compare: the refusal's own words.
             { "-ERR [AUTH] Plaintext authentication disallowed on non-secure (SSL/TLS) connections.",
                 "(nicht versucht: die Ablehnung ohne TLS nennt den Grund)", false, false },
             { "-ERR [AUTH] Authentication failed.", "", false, true },
             { "-ERR STLS first, please", "", false, false },
         })
        EXPECT_EQ(PlaintextLoginTaken(row.plain, row.tls, row.accepted), row.taken) << row.plain;
}

TEST(CheckJson, StringsStayValidWhateverTheServerSent)
{
    EXPECT_EQ(JsonString("+OK \"hi\"\\\r\n\t\x01\x7f"), "\"+OK \\\"hi\\\"\\\\\\r\\n\\t\\u0001\\u007f\"");
    EXPECT_EQ(JsonString("Gr\xc3\xbc\xc3\x9f"), "\"Gr\xc3\xbc\xc3\x9f\""); // UTF-8 kept
    EXPECT_EQ(JsonString("a\xff\xc3"), "\"a\\ufffd\\ufffd\""); // stray and cut-off bytes
}

// Each configuration through the built program: "--check 127.0.0.x:PORT --json"
// on the plain port (STLS gives every fact), its exit code and JSON.
TEST(ServerCheckDovecot, ConfigurationsByProgramExitCodeAndJson)
{
    const TestCertificates* certificates = Certificates();
    if (!certificates)
        GTEST_SKIP() << "dovecot or openssl missing";
    using Kind = TestCertificates::Kind;
    struct Row {
        const char* name;
        Kind certificate;
        bool lax;
        int exitCode;
        bool tls10;
        bool plaintext;
        bool trusted;
        bool complete;
        bool expired;
    };
    for (const Row& row : std::initializer_list<Row> {
             { "good", Kind::Good, false, 0, false, false, true, true, false },
             { "lax", Kind::Good, true, 1, true, true, true, true, false },
             { "expired", Kind::Expired, false, 2, false, false, true, true, true },
             { "no intermediate", Kind::MissingIntermediate, false, 2, false, false, false, false, false },
         }) {
        SCOPED_TRACE(row.name);
        DovecotHarness::Options options;
        options.tlsCertificate = certificates->certificateFile(row.certificate);
        options.tlsKey = certificates->keyFile();
        options.tls10Allowed = row.lax;
        options.disablePlaintextAuth = !row.lax;
        // Dovecot trusts a client from its own address: the strict ones listen elsewhere.
        options.listenAddress = row.lax ? "127.0.0.1" : "127.0.0.2";
        options.noFailureDelay = true;
        DovecotHarness server(options);
        std::string error;
        ASSERT_TRUE(server.start(&error)) << error;

        const std::string target = options.listenAddress + ":" + std::to_string(server.port());
        const auto start = Clock::now();
        // The exports once, from the good server: one HTML file that needs nothing else, a PDF.
        const bool exports = row.exitCode == 0;
        const std::string html = ::testing::TempDir() + "check-report.html";
        const std::string pdf = ::testing::TempDir() + "check-report.pdf";
        std::vector<std::string> command = { BRIEFLOTSE_PROGRAM, "--check", target, "--json" };
        if (exports)
            command.insert(command.end(), { "--html", html, "--pdf", pdf });
        const TToolResult run = RunTool(command, 20000, { "SSL_CERT_FILE=" + certificates->caFile() });
        if (exports) {
            const std::string page = ReadFile(html);
            EXPECT_EQ(page.rfind("<!DOCTYPE html>", 0), 0u);
            EXPECT_NE(page.find("Server-Prüfung: " + target), std::string::npos);
            for (const char* outside : { "<script", "src=", "href=", "url(" })
                EXPECT_EQ(page.find(outside), std::string::npos) << outside;
            EXPECT_EQ(ReadFile(pdf).rfind("%PDF-", 0), 0u);
        }
        const int64_t took = MillisecondsSince(start);
        EXPECT_EQ(run.Status, row.exitCode) << run.Output << run.Errors;
        EXPECT_LT(took, 2000);
        QJsonParseError parseError;
        const QJsonObject json = QJsonDocument::fromJson(QByteArray::fromStdString(run.Output), &parseError).object();
        ASSERT_EQ(parseError.error, QJsonParseError::NoError) << run.Output;
        EXPECT_EQ(json["target"].toString().toStdString(), target);
        EXPECT_EQ(json["verdict"].toString(), row.exitCode == 0 ? "ok" : row.exitCode == 1 ? "warning" : "failure");
        const QJsonObject port = json["addresses"][0]["ports"][0].toObject();
        EXPECT_EQ(port["mode"].toString(), "plain");
        EXPECT_TRUE(port["connected"].toBool());
        EXPECT_TRUE(port["stls_offered"].toBool());
        const QJsonObject versions = port["tls"]["versions"].toObject();
        EXPECT_TRUE(versions["TLSv1.2"].toBool());
        EXPECT_TRUE(versions["TLSv1.3"].toBool());
        EXPECT_EQ(versions["TLSv1"].toBool(), row.tls10);
        const QJsonObject certificate = port["tls"]["certificate"].toObject();
        EXPECT_TRUE(certificate["name_matches"].toBool());
        EXPECT_EQ(certificate["trusted"].toBool(), row.trusted);
        EXPECT_EQ(certificate["chain_complete"].toBool(), row.complete);
        EXPECT_EQ(certificate["days_left"].toInt() < 0, row.expired);
        EXPECT_EQ(port["plaintext_login_accepted"].toBool(), row.plaintext);
        EXPECT_EQ(port["stls_injection"].toString(), "not-vulnerable");
        EXPECT_FALSE(port["capa_after_tls"].toArray().isEmpty());
        EXPECT_GE(port["times_ms"]["greeting"].toInt(-1), 0);
        for (const QJsonValue& check : json["checks"].toArray())
            EXPECT_FALSE(check["title"].toString().isEmpty());
    }
}

// One address with both ports, the log-in included, as the bench measures it.
TEST(ServerCheckDovecot, BothPortsAndLoginUnderTwoSeconds)
{
    const TestCertificates* certificates = Certificates();
    if (!certificates)
        GTEST_SKIP() << "dovecot or openssl missing";
    DovecotHarness::Options options;
    options.tlsCertificate = certificates->certificateFile(TestCertificates::Kind::Good);
    options.tlsKey = certificates->keyFile();
    options.disablePlaintextAuth = true;
    options.listenAddress = "127.0.0.2";
    options.noFailureDelay = true;
    options.authMechanisms = "plain scram-sha-256";
    DovecotHarness server(options);
    std::string error;
    ASSERT_TRUE(server.start(&error)) << error;

    TCheckOptions check;
    check.Host = "127.0.0.2";
    check.TlsPort = server.tlsPort();
    check.PlainPort = server.port();
    check.User = server.user();
    check.Password = server.password();
    Recorder recorder;
    const auto start = Clock::now();
    const TCheckReport report = TServerCheck(check, &recorder).Run();
    const int64_t took = MillisecondsSince(start);
    std::printf("check of one address with both ports and the log-in: %lld ms\n", static_cast<long long>(took));
    EXPECT_LT(took, 2000);
    EXPECT_EQ(ExitCodeOf(report), 0) << ReportJson(report);
    ASSERT_EQ(report.Addresses.size(), 1u);
    ASSERT_EQ(report.Addresses[0].Ports.size(), 2u);
    EXPECT_TRUE(report.Addresses[0].Ports[0].TlsWorked);
    EXPECT_EQ(report.Login.Mechanism, "SCRAM-SHA-256");
    EXPECT_TRUE(report.Login.Succeeded) << report.Login.Reply;
    EXPECT_EQ(report.Login.MessageCount, static_cast<int64_t>(server.messages().size()));
    EXPECT_EQ(recorder.started, recorder.finished);
    EXPECT_EQ(recorder.lastDone, recorder.lastTotal);
    EXPECT_EQ(recorder.transcripts.find(server.password()), std::string::npos) << recorder.transcripts;
    EXPECT_EQ(ReportJson(report).find(server.password()), std::string::npos);
}

// The practice server with its faults: what a log-in's refusal means, and a
// greeting without APOP.
TEST(ServerCheckPractice, FaultsShowInTheFindings)
{
    struct Row {
        TPracticeFault fault;
        bool loggedIn;
        const char* explained; // in the log-in's finding
        bool apop;
    };
    for (const Row& row : std::initializer_list<Row> {
             { TPracticeFault::None, true, "STAT und UIDL", true },
             { TPracticeFault::InUse, false, "[IN-USE]: ein anderes Programm", true },
             { TPracticeFault::NoApop, true, "STAT und UIDL", false },
         }) {
        SCOPED_TRACE(PracticeFaultName(row.fault));
        TPracticeServer server;
        server.SetFault(row.fault);
        ASSERT_TRUE(server.Start()) << server.Problem();
        TCheckOptions options;
        options.Host = "127.0.0.1";
        options.TlsPort = static_cast<uint16_t>(server.TlsPort());
        options.PlainPort = static_cast<uint16_t>(server.Port());
        options.User = kPracticeUser;
        options.Password = kPracticePassword;
        const TCheckReport report = TServerCheck(options).Run();
        EXPECT_EQ(report.Login.Succeeded, row.loggedIn) << report.Login.Reply;
        bool apop = false;
        std::string login;
        for (const TCheckFinding& finding : report.Checks) {
            apop = apop || finding.Id == "apop";
            if (finding.Id == "login")
                login = finding.Explanation + finding.Details;
        }
        EXPECT_NE(login.find(row.explained), std::string::npos) << login;
        EXPECT_EQ(apop, row.apop);
        // A self-signed certificate is a failure; passwords in clear text are taken.
        EXPECT_EQ(ExitCodeOf(report), 2);
        EXPECT_TRUE(report.Addresses.at(0).Ports.at(1).PlaintextLoginAccepted);
    }
}

TEST(ServerCheckScripted, InjectionFlawFoundOverIpv4AndIpv6)
{
    const TestCertificates* certificates = Certificates();
    if (!certificates)
        GTEST_SKIP() << "openssl missing";
    for (const bool ipv6 : { false, true }) {
        SCOPED_TRACE(ipv6 ? "IPv6" : "IPv4");
        InjectableServer server(
            certificates->certificateFile(TestCertificates::Kind::Good), certificates->keyFile(), ipv6);
        if (!server.listening() && ipv6)
            continue; // no IPv6 loopback here
        ASSERT_TRUE(server.listening());
        TCheckOptions options;
        std::string problem;
        ASSERT_TRUE(
            ParseCheckTarget((ipv6 ? "[::1]:" : "127.0.0.1:") + std::to_string(server.port()), options, problem));
        const TCheckReport report = TServerCheck(options).Run();
        EXPECT_EQ(report.Addresses.at(0).Ipv6, ipv6);
        const TPortFacts& port = OnlyPort(report);
        EXPECT_EQ(port.Injection, TInjectionResult::Vulnerable) << port.InjectionDetails;
        EXPECT_TRUE(port.PlaintextLoginAccepted); // the same refusal before and inside TLS
        EXPECT_EQ(ExitCodeOf(report), 2);
        EXPECT_NE(ReportJson(report).find("\"stls_injection\": \"vulnerable\""), std::string::npos);
    }
}

TEST(ServerCheckScripted, HostileGreetingAndStopAreBounded)
{
    // An endless greeting line: refused at the line limit, no hang.
    {
        ScriptedServer server;
        server.stream(std::string(1000, 'A'), 3000);
        server.start();
        TCheckOptions options;
        options.Host = "127.0.0.1";
        options.Port = server.port();
        options.ReplyTimeoutMs = 1000;
        const auto start = Clock::now();
        const TCheckReport report = TServerCheck(options).Run();
        EXPECT_LT(MillisecondsSince(start), 2500);
        EXPECT_TRUE(OnlyPort(report).Connected);
        EXPECT_NE(OnlyPort(report).Greeting.find("line too long"), std::string::npos) << OnlyPort(report).Greeting;
        EXPECT_EQ(ExitCodeOf(report), 2);
    }
    // A server that takes connections and never speaks: a stop ends every probe.
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(::listen(listener, 32), 0);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    TCheckOptions options;
    options.Host = "127.0.0.1";
    options.TlsPort = ntohs(address.sin_port);
    options.PlainPort = ntohs(address.sin_port);
    TServerCheck check(options);
    Clock::time_point stopped;
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        stopped = Clock::now();
        check.Cancel();
    });
    const TCheckReport report = check.Run();
    const int64_t after = MillisecondsSince(stopped);
    stopper.join();
    ::close(listener);
    EXPECT_LT(after, 100);
    EXPECT_TRUE(report.Cancelled);
    EXPECT_EQ(ExitCodeOf(report), 2);
}
