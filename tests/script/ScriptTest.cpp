// The script mode: its language as a pure rule, and the built program's
// --script against a real Dovecot and against hostile scripted servers.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "app/ScriptFile.h"
#include "tests/practice/ToolRun.h"
#include "tests/support/DovecotHarness.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/SilentPort.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestCertificates.h"

namespace {

TEST(ScriptRules, ReadsEveryCommandAndNamesTheFirstFaultyLine)
{
    const TScript Good = ParseScript("# a comment\r\n\r\n  connect pop3s://127.0.0.1:995\r\n"
                                     "send STLS \r\nexpect +OK\nexpect -ERR\nexpect /^\\+OK \\d+ (octets)?/i\n"
                                     "stls\nauth user anna\nauth scram-sha-256 anna\nwait 0.5\nQUIT",
        false);
    ASSERT_EQ(Good.Problem, "");
    ASSERT_EQ(Good.Lines.size(), 10u);
    EXPECT_EQ(Good.Lines[0].Number, 3);
    EXPECT_EQ(Good.Lines[1].Text, "STLS "); // blanks at the end go to the server as typed
    EXPECT_EQ(Good.Lines[3].Expectation, TScriptExpectation::Negative);
    EXPECT_EQ(Good.Lines[4].Pattern, "^\\+OK \\d+ (octets)?");
    EXPECT_TRUE(Good.Lines[4].IgnoreCase);
    EXPECT_EQ(Good.Lines[6].Mechanism, "USER");
    EXPECT_EQ(Good.Lines[7].Mechanism, "SCRAM-SHA-256");
    EXPECT_DOUBLE_EQ(Good.Lines[8].Seconds, 0.5);
    EXPECT_EQ(Good.Lines[9].Command, TScriptCommand::Quit);
    EXPECT_TRUE(Good.Connects());
    EXPECT_TRUE(Good.LogsIn());

    struct Row {
        const char* text;
        bool server; // a server on the command line
        const char* problem; // how the message starts
    };
    const Row rows[] = {
        { "send STAT\n", false, "Zeile 1: noch keine Verbindung" },
        { "wait 1\nexpect +OK\n", false, "Zeile 2: noch keine Verbindung" },
        { "connect 127.0.0.1\n", true, "Zeile 1: connect im Skript und ein Server" },
        { "\n# x\nfrobnicate now\nalso wrong\n", true, "Zeile 3: unbekanntes Kommando \"frobnicate\"" },
        { "connect\n", false, "Zeile 1: connect braucht" },
        { "connect a b\n", false, "Zeile 1: connect hat zu viele Argumente" },
        { "connect anna@example.org\n", false, "Zeile 1: \"anna@example.org\" ist keine Adresse" },
        { "send   \n", true, "Zeile 1: send braucht" },
        { "send USER a\x01"
          "b\n",
            true, "Zeile 1: die Zeile hinter send enthält ein Steuerzeichen" },
        { "expect\n", true, "Zeile 1: expect braucht" },
        { "expect OK\n", true, "Zeile 1: expect erwartet" },
        { "expect /\n", true, "Zeile 1: expect erwartet" },
        { "expect /a(/\n", true, "Zeile 1: der Ausdruck übersetzt sich nicht" },
        { "expect /a/x\n", true, "Zeile 1: hinter /Ausdruck/ ist nur i" },
        { "auth USER\n", true, "Zeile 1: auth braucht" },
        { "auth KERBEROS anna\n", true, "Zeile 1: unbekanntes Verfahren" },
        { "auth USER anna extra\n", true, "Zeile 1: auth hat zu viele" },
        { "wait abc\n", true, "Zeile 1: \"abc\" ist keine Zahl" },
        { "wait -1\n", true, "Zeile 1: \"-1\" ist keine Zahl" },
        { "wait 1.2.3\n", true, "Zeile 1: \"1.2.3\" ist keine Zahl" },
        { "wait 3601\n", true, "Zeile 1: \"3601\" ist keine Zahl" },
        { "wait\n", true, "Zeile 1: wait braucht" },
        { "stls now\n", true, "Zeile 1: stls hat zu viele" },
        { "quit\r\nquit please\r\n", true, "Zeile 2: quit hat zu viele" },
    };
    for (const Row& row : rows) {
        const TScript script = ParseScript(row.text, row.server);
        EXPECT_EQ(script.Problem.rfind(row.problem, 0), 0u) << row.text << " -> " << script.Problem;
        EXPECT_TRUE(script.Lines.empty()) << row.text;
    }
}

std::string WriteScript(const TempDir& folder, const std::string& name, const std::string& text)
{
    const std::string path = folder.file(name);
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

TEST(ScriptProgram, RunsScriptsAgainstDovecot)
{
    if (!DovecotHarness::available() || !TestCertificates::available())
        GTEST_SKIP() << "dovecot or openssl not installed";
    std::string error;
    const TestCertificates* certificates = TestCertificates::shared(&error);
    ASSERT_NE(certificates, nullptr) << error;
    certificates->trustInThisProcess();
    DovecotHarness::Options options;
    options.password = "Kx9-streng-geheim";
    options.tlsCertificate = certificates->certificateFile(TestCertificates::Kind::Good);
    options.tlsKey = certificates->keyFile();
    DovecotHarness dovecot(options);
    ASSERT_TRUE(dovecot.start(&error)) << error;
    const std::string plain = "127.0.0.1:" + std::to_string(dovecot.port());
    const std::string tls = "pop3s://127.0.0.1:" + std::to_string(dovecot.tlsPort());
    TempDir folder;
    SilentPort untouched; // a script that is refused must not connect

    struct Row {
        const char* name;
        std::string script;
        std::string server; // on the command line; empty for none
        bool trusted; // the test CA is trusted
        int exitCode;
        std::vector<std::string> output; // in standard output, in this order
        std::string errors; // in standard error
    };
    const std::string fullRun
        = "expect +OK\nstls\nauth USER anna\nexpect +OK\nsend STAT\nexpect /^\\+OK 4 \\d+\\r\\n$/\n"
          "send LIST\nexpect /(?m)^4 \\d{6}\\r$/\nsend RETR 3\nexpect /(?m)^\\.\\.hidden\\r$/\n"
          "wait 0.2\nquit\nexpect +OK\n";
    const Row rows[] = {
        { "user, pass, stat, list, retr after stls", fullRun, plain, true, 0,
            { "TLS-verschlüsselt", "\nUSER anna\n", "\nSTAT\n+OK 4 ", "\nRETR 3\n", "..hidden", "\nQUIT\n" }, "" },
        { "AUTH PLAIN from a connect line over TLS",
            "connect " + tls + "\nauth PLAIN anna\nexpect +OK\nsend RETR 1\nexpect /Subject: Kurz/i\nquit\n", "", true,
            0, { "\nAUTH PLAIN", "Hallo Anna," }, "" },
        { "an expectation that does not hold", "send STAT\nexpect +OK\n# not reached\nsend NOOP\n", plain, true, 1,
            { "\nSTAT\n" }, "Zeile 2: expect +OK hielt nicht; die Antwort war \"-ERR" },
        { "a regular expression that does not match", "auth USER anna\nsend RETR 1\nexpect /Subject: Lang/\n", plain,
            true, 1, { "\nRETR 1\n" }, "Zeile 3: expect /Subject: Lang/ hielt nicht; die Antwort war \"+OK" },
        { "an untrusted certificate is refused", "auth USER anna\n", tls, false, 2, { "Prüfung nicht bestanden" },
            "Befehlszeile: Das Zertifikat von 127.0.0.1:" },
        { "a closed port", "send STAT\n", "127.0.0.1:1", true, 2, {}, "keine Verbindung mit 127.0.0.1:1" },
        { "a wrong script connects nowhere", "send STAT\nexpect maybe\n", untouched.target(), true, 64, {},
            "Zeile 2: expect erwartet +OK, -ERR oder /Ausdruck/." },
    };
    for (const Row& row : rows) {
        // The untrusted run gets a store without the test CA.
        std::vector<std::string> command
            = { "/usr/bin/env", row.trusted ? "--" : "SSL_CERT_FILE=/nonexistent", BRIEFLOTSE_PROGRAM, "--script",
                  WriteScript(folder, "run.txt", row.script), "--no-color", "--transcript", folder.file("run.jsonl") };
        std::remove(folder.file("run.jsonl").c_str());
        if (!row.server.empty())
            command.push_back(row.server);
        const TToolResult run = RunTool(command, 30000, { "BRIEFLOTSE_PASSWORD=" + options.password });
        EXPECT_EQ(run.Status, row.exitCode) << row.name << "\n" << run.Output << run.Errors;
        size_t from = 0;
        for (const std::string& part : row.output) {
            const size_t at = run.Output.find(part, from);
            EXPECT_NE(at, std::string::npos) << row.name << ": " << part << "\n" << run.Output;
            from = at == std::string::npos ? from : at + part.size();
        }
        EXPECT_NE(run.Errors.find(row.errors), std::string::npos) << row.name << "\n" << run.Errors;
        // The transcript, masked as the window saves it by default; none for a wrong script.
        std::ifstream file(folder.file("run.jsonl"), std::ios::binary);
        const std::string transcript((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        EXPECT_EQ(
            transcript.rfind("{\"type\":\"brieflotse-transcript\"", 0), row.exitCode == 64 ? std::string::npos : 0u)
            << row.name;
        // Neither as typed nor in Base64 (after "\0anna\0", aligned) does the password show.
        for (const std::string& secret : { options.password, std::string("S3g5LXN0cmVuZy1nZWhlaW0") })
            EXPECT_EQ((run.Output + run.Errors + transcript).find(secret), std::string::npos) << row.name;
        if (row.output.size() > 1 && row.output[1] == "\nUSER anna\n") {
            EXPECT_NE(transcript.find("\"PASS ********\\r\\n\""), std::string::npos) << transcript;
        }
        EXPECT_EQ(run.Output.find('\033'), std::string::npos) << row.name;
    }
    EXPECT_FALSE(untouched.reached());
}

TEST(ScriptProgram, HostileServersEndTheRunWithoutHanging)
{
    struct Row {
        const char* name;
        std::function<void(ScriptedServer&)> play;
        const char* script;
        int exitCode;
        const char* errors;
    };
    const Row rows[] = {
        { "escape sequences never reach the terminal",
            [](ScriptedServer& server) {
                server.send("+OK \033]0;owned\007 \033[2J\r\n").expectLine().send("+OK 1 2 \033[31m\r\n");
            },
            "expect +OK\nsend STAT\nexpect /\\x1b\\[31m/\n", 0, "" },
        { "closed in the middle of a body",
            [](ScriptedServer& server) {
                server.send("+OK ready\r\n").expectLine().send("+OK follows\r\nhalf a line").close();
            },
            "send RETR 1\nexpect +OK\n", 2, "Zeile 1: Der Server hat die Verbindung beendet." },
        // Shown while the wait lasts, then the run ends: it does not read on.
        { "endless unasked data during a wait",
            [](ScriptedServer& server) { server.send("+OK ready\r\n").stream("* noise\r\n", 8000); }, "wait 0.3\n", 0,
            "" },
    };
    TempDir folder;
    for (const Row& row : rows) {
        ScriptedServer server;
        row.play(server);
        server.start();
        const auto start = std::chrono::steady_clock::now();
        const TToolResult run = RunTool(
            { BRIEFLOTSE_PROGRAM, "--script", WriteScript(folder, "hostile.txt", row.script), server.address() },
            20000);
        EXPECT_EQ(run.Status, row.exitCode) << row.name << "\n" << run.Output.substr(0, 2000) << run.Errors;
        EXPECT_NE(run.Errors.find(row.errors), std::string::npos) << row.name << "\n" << run.Errors;
        EXPECT_EQ(run.Output.find('\033'), std::string::npos) << row.name;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15)) << row.name;
    }
}

} // namespace
