// The practice server against clients no one here wrote: curl, Python's
// poplib and fetchmail, each message compared byte for byte with the
// built-in one.

#include <gtest/gtest.h>

#include <dirent.h>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "practice/PracticeMailbox.h"
#include "practice/PracticeServer.h"
#include "practice/PracticeTls.h"
#include "tests/practice/ToolRun.h"
#include "tests/support/TempDir.h"

namespace {

void WriteFile(const std::string& Path, const std::string& Text)
{
    std::ofstream File(Path, std::ios::binary);
    File << Text;
}

std::string ReadFile(const std::string& Path)
{
    std::ifstream File(Path, std::ios::binary);
    std::ostringstream Text;
    Text << File.rdbuf();
    return Text.str();
}

const std::string& Message(size_t Number)
{
    return TPracticeMailbox::Sample().Message(Number).Text;
}

class PracticeClients : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Server.Start()) << Server.Problem();
        WriteFile(Dir.file("cert.pem"), Server.Tls()->CertificatePem());
        for (size_t Number = 1; Number <= TPracticeMailbox::Sample().Count(); ++Number)
            WriteFile(Dir.file(std::to_string(Number)), Message(Number));
    }

    std::string Plain(const std::string& Path = "/") const
    {
        return "pop3://127.0.0.1:" + std::to_string(Server.Port()) + Path;
    }
    std::string Encrypted(const std::string& Path = "/") const
    {
        return "pop3s://localhost:" + std::to_string(Server.TlsPort()) + Path;
    }

    // curl with the practice log-in; more arguments after the URL.
    TToolResult Curl(const std::string& Url, std::vector<std::string> More = {}) const
    {
        std::vector<std::string> Arguments { "curl", "--silent", "--show-error", "--max-time", "30", "--user",
            std::string(kPracticeUser) + ":" + kPracticePassword, Url };
        Arguments.insert(Arguments.end(), More.begin(), More.end());
        return RunTool(Arguments);
    }

    TPracticeServer Server;
    TempDir Dir;
};

} // namespace

TEST_F(PracticeClients, CurlListsRetrievesAndDeletesInPlainTextAndTls)
{
    if (!ToolInstalled("curl"))
        GTEST_SKIP() << "curl is not installed";
    TToolResult List = Curl(Plain());
    ASSERT_EQ(List.Status, 0) << List.Errors;
    std::string Expected;
    for (size_t Number = 1; Number <= 6; ++Number)
        Expected += std::to_string(Number) + " " + std::to_string(Message(Number).size()) + "\r\n";
    EXPECT_EQ(List.Output, Expected);

    for (size_t Number = 1; Number <= 6; ++Number) {
        SCOPED_TRACE(Number);
        TToolResult Plaintext = Curl(Plain("/" + std::to_string(Number)));
        EXPECT_EQ(Plaintext.Status, 0) << Plaintext.Errors;
        EXPECT_TRUE(Plaintext.Output == Message(Number)) << "RETR differs, " << Plaintext.Output.size() << " bytes";
        // The certificate checked against its own PEM, by name.
        TToolResult Tls = Curl(Encrypted("/" + std::to_string(Number)), { "--cacert", Dir.file("cert.pem") });
        EXPECT_EQ(Tls.Status, 0) << Tls.Errors;
        EXPECT_TRUE(Tls.Output == Message(Number)) << "RETR over TLS differs, " << Tls.Output.size() << " bytes";
    }
    // STLS on the plain port, the certificate checked for the address;
    // without its PEM, only --insecure goes on: no CA vouches for it.
    TToolResult Stls = Curl(Plain("/5"), { "--ssl-reqd", "--cacert", Dir.file("cert.pem") });
    EXPECT_EQ(Stls.Status, 0) << Stls.Errors;
    EXPECT_TRUE(Stls.Output == Message(5));
    EXPECT_EQ(Curl(Plain("/5"), { "--ssl-reqd" }).Status, 60);
    EXPECT_EQ(Curl(Encrypted("/1")).Status, 60);
    EXPECT_TRUE(Curl(Encrypted("/1"), { "--insecure" }).Output == Message(1));

    // DELE takes effect at QUIT of that session only: the next one has all six.
    TToolResult Dele = Curl(Plain("/1"), { "--request", "DELE", "--list-only" });
    EXPECT_EQ(Dele.Status, 0) << Dele.Errors;
    EXPECT_EQ(Curl(Plain()).Output, Expected);
    TToolResult Missing = Curl(Plain("/7"));
    EXPECT_NE(Missing.Status, 0);
}

TEST_F(PracticeClients, CurlLogsInWithEachMechanismItKnows)
{
    if (!ToolInstalled("curl"))
        GTEST_SKIP() << "curl is not installed";
    // curl 7.88 knows no SCRAM; the SASL exchange of that one is in PracticeServerTest.
    for (const char* Mechanism : { "+APOP", "PLAIN", "LOGIN", "CRAM-MD5" }) {
        SCOPED_TRACE(Mechanism);
        const std::string Options = std::string("AUTH=") + Mechanism;
        TToolResult Right = Curl(Plain("/1"), { "--login-options", Options });
        EXPECT_EQ(Right.Status, 0) << Right.Errors;
        EXPECT_TRUE(Right.Output == Message(1));
        TToolResult Wrong = RunTool({ "curl", "--silent", "--max-time", "30", "--user", "lotse:falsch",
            "--login-options", Options, Plain("/1") });
        EXPECT_EQ(Wrong.Status, 67) << "log-in refused";
    }
    for (const std::string Mechanism : { "XOAUTH2", "OAUTHBEARER" }) {
        SCOPED_TRACE(Mechanism);
        const auto WithToken = [&](const char* Token) {
            return RunTool({ "curl", "--silent", "--max-time", "30", "--user", "lotse:", "--login-options",
                "AUTH=" + Mechanism, "--oauth2-bearer", Token, Plain("/4") });
        };
        TToolResult Bearer = WithToken("brieflotse-uebungs-token");
        EXPECT_EQ(Bearer.Status, 0) << Bearer.Errors;
        EXPECT_TRUE(Bearer.Output == Message(4));
        EXPECT_EQ(WithToken("abgelaufen").Status, 67) << "token refused";
    }
}

TEST_F(PracticeClients, PythonPoplibSpeaksEveryCommand)
{
    if (!ToolInstalled("python3"))
        GTEST_SKIP() << "/usr/bin/python3 is not installed";
    const std::string Script = std::string(BRIEFLOTSE_SOURCE_DIR) + "/tests/practice/poplib_session.py";
    TToolResult Run = RunTool(
        { "/usr/bin/python3", Script, std::to_string(Server.Port()), std::to_string(Server.TlsPort()), Dir.path() },
        60000);
    EXPECT_EQ(Run.Status, 0) << Run.Output << Run.Errors;
    EXPECT_EQ(Run.Output, "ok\n") << Run.Errors;
}

TEST_F(PracticeClients, FetchmailFetchesTheWholeMailboxOverStls)
{
    if (!ToolInstalled("fetchmail"))
        GTEST_SKIP() << "fetchmail is not installed (scripts/install-deps.sh test)";
    ::mkdir(Dir.file("mail").c_str(), 0700);
    // STLS with the certificate checked against its PEM (fetchmail's
    // default); each message handed to a command that writes one file.
    const std::string Rc = "set no syslog\n"
                           "poll localhost with proto POP3 port "
        + std::to_string(Server.Port())
        + "\n"
          "  user \""
        + kPracticeUser + "\" there with password \"" + kPracticePassword
        + "\" is \"lotse\" here\n"
          "  options keep fetchall no rewrite sslcertck sslcertfile \""
        + Dir.file("cert.pem") + "\"\n  mda \"/bin/sh -c 'cat > $(mktemp " + Dir.file("mail") + "/msg.XXXXXX)'\"\n";
    WriteFile(Dir.file("fetchmailrc"), Rc);
    ::chmod(Dir.file("fetchmailrc").c_str(), 0600);
    TToolResult Run = RunTool({ "fetchmail", "--fetchmailrc", Dir.file("fetchmailrc"), "--nodetach", "--idfile",
                                  Dir.file("ids"), "--pidfile", Dir.file("pid") },
        120000, { "HOME=" + Dir.path() });
    ASSERT_EQ(Run.Status, 0) << Run.Output << Run.Errors;

    std::vector<std::string> Fetched;
    if (DIR* Folder = ::opendir(Dir.file("mail").c_str())) {
        while (const dirent* Entry = ::readdir(Folder)) {
            if (Entry->d_name[0] != '.')
                Fetched.push_back(ReadFile(Dir.file("mail") + "/" + Entry->d_name));
        }
        ::closedir(Folder);
    }
    ASSERT_EQ(Fetched.size(), 6u) << Run.Errors;
    // fetchmail puts its own trace header in front, as every relay does, and
    // hands a local command Unix line ends; the rest must be the message as
    // built in.
    std::vector<bool> Seen(7, false);
    std::vector<std::string> Local(7);
    for (size_t Number = 1; Number <= 6; ++Number) {
        for (const char Each : Message(Number)) {
            if (Each != '\r')
                Local[Number] += Each;
        }
    }
    for (const std::string& Text : Fetched) {
        ASSERT_EQ(Text.rfind("Received: ", 0), 0u) << Text.substr(0, 200);
        const size_t Start = Text.find("\nReturn-Path: ");
        ASSERT_NE(Start, std::string::npos);
        const std::string Delivered = Text.substr(Start + 1);
        for (size_t Number = 1; Number <= 6; ++Number) {
            if (Delivered == Local[Number])
                Seen[Number] = true;
        }
    }
    for (size_t Number = 1; Number <= 6; ++Number)
        EXPECT_TRUE(Seen[Number]) << "message " << Number << " not delivered byte for byte";
}
