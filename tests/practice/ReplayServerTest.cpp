// The replay server against scripted clients: hand-written transcripts served
// back byte for byte and chunk for chunk, commands that differ, redacted
// passwords, the end of a recording, malformed files and the terminal mode.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <fstream>
#include <mutex>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "practice/ReplayServer.h"
#include "tests/practice/ToolRun.h"
#include "tests/support/PeakMemory.h"
#include "tests/support/TempDir.h"

namespace {

const std::string kHeader = R"({"type":"brieflotse-transcript","format":1,"program":"Brieflotse 1.0",)"
                            R"("started":"2026-12-08T00:12:00.123456Z","redacted":true})"
                            "\n";

// Connection 1: a log-in with a redacted password, a message in two reads
// 300 ms apart. Connection 2: another greeting and a QUIT.
const std::string kSession
    = kHeader + R"({"t":100,"conn":1,"kind":"note","text":"Brieflotse: Verbindungsversuch mit 127.0.0.1:110"}
{"t":2000,"conn":1,"kind":"received","bytes":"+OK bereit\r\n"}
{"t":3000,"conn":1,"kind":"sent","bytes":"USER anna\r\n"}
{"t":4000,"conn":1,"kind":"received","bytes":"+OK\r\n"}
{"t":5000,"conn":1,"kind":"sent","bytes":"PASS ********\r\n","secret":5,"redacted":true}
{"t":6000,"conn":1,"kind":"received","bytes":"+OK drin\r\n"}
{"t":6500,"conn":1,"kind":"guidance","text":"Angemeldet\r\nSie sind drin."}
{"t":7000,"conn":1,"kind":"sent","bytes":"RETR 1\r\n"}
{"t":8000,"conn":1,"kind":"received","bytes":"+OK 7 octets\r\nHal"}
{"t":308000,"conn":1,"kind":"received","bytes":"lo\r\n.\r\n"}
{"t":100,"conn":2,"kind":"received","bytes":"+OK zweite\r\n"}
{"t":200,"conn":2,"kind":"sent","bytes":"QUIT\r\n"}
{"t":300,"conn":2,"kind":"received","bytes":"+OK tschuess\r\n"}
)";

std::string WriteFile(const TempDir& Folder, const std::string& Name, const std::string& Text)
{
    const std::string Path = Folder.file(Name);
    std::ofstream(Path, std::ios::binary) << Text;
    return Path;
}

// A blocking client; Read() returns what one recv() gave ("" at a close or after the time-out).
class TClient {
public:
    explicit TClient(int Port)
    {
        FSocket = ::socket(AF_INET, SOCK_STREAM, 0);
        timeval Wait { 5, 0 };
        ::setsockopt(FSocket, SOL_SOCKET, SO_RCVTIMEO, &Wait, sizeof Wait);
        sockaddr_in Address {};
        Address.sin_family = AF_INET;
        Address.sin_port = htons(static_cast<uint16_t>(Port));
        Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(FSocket, reinterpret_cast<sockaddr*>(&Address), sizeof Address);
    }
    ~TClient() { ::close(FSocket); }
    void Send(const std::string& Text) { ::send(FSocket, Text.data(), Text.size(), MSG_NOSIGNAL); }
    std::string Read()
    {
        char Buffer[4096];
        const ssize_t Count = ::recv(FSocket, Buffer, sizeof Buffer, 0);
        return Count > 0 ? std::string(Buffer, static_cast<size_t>(Count)) : std::string();
    }
    // Reads until Size bytes came (or the connection ended).
    std::string Read(size_t Size)
    {
        std::string Text;
        while (Text.size() < Size) {
            const std::string More = Read();
            if (More.empty())
                break;
            Text += More;
        }
        return Text;
    }

private:
    int FSocket = -1;
};

class ReplayServerTest : public ::testing::Test {
protected:
    bool Start(const std::string& Text, bool Timing = false)
    {
        TReplayOptions Options;
        Options.Path = WriteFile(FFolder, "mitschnitt.jsonl", Text);
        Options.Timing = Timing;
        FServer = std::make_unique<TReplayServer>(Options);
        FServer->OnDiagnostic = [this](const std::string& Line) {
            std::lock_guard<std::mutex> Guard(FLock);
            FDiagnostics.push_back(Line);
        };
        return FServer->Start();
    }
    std::vector<std::string> Diagnostics()
    {
        std::lock_guard<std::mutex> Guard(FLock);
        return FDiagnostics;
    }

    TempDir FFolder;
    std::unique_ptr<TReplayServer> FServer;
    std::mutex FLock;
    std::vector<std::string> FDiagnostics;
};

} // namespace

TEST_F(ReplayServerTest, ServesConnectionsInTurnAndClosesAtTheirEnd)
{
    ASSERT_TRUE(Start(kSession, true));
    EXPECT_EQ(FServer->Connections(), 2u);
    TClient First(FServer->Port());
    EXPECT_EQ(First.Read(), "+OK bereit\r\n");
    First.Send("USER bert\r\n");
    EXPECT_EQ(First.Read(), "-ERR Mitschnitt erwartet: USER anna\r\n");
    First.Send("USER anna\r\n");
    EXPECT_EQ(First.Read(), "+OK\r\n");
    First.Send("APOP anna 0123\r\n"); // what stands before the secret still counts
    EXPECT_EQ(First.Read(), "-ERR Mitschnitt erwartet: PASS ********\r\n");
    First.Send("PASS geheim-und-anders\r\n");
    EXPECT_EQ(First.Read(), "+OK drin\r\n");
    const auto Asked = std::chrono::steady_clock::now();
    First.Send("RETR 1\r\n");
    // One recorded read is one write: the rest follows after its pause.
    EXPECT_EQ(First.Read(), "+OK 7 octets\r\nHal");
    EXPECT_EQ(First.Read(), "lo\r\n.\r\n");
    EXPECT_GE(std::chrono::steady_clock::now() - Asked, std::chrono::milliseconds(290));
    EXPECT_EQ(First.Read(), ""); // the recording ends: closed

    TClient Second(FServer->Port());
    EXPECT_EQ(Second.Read(), "+OK zweite\r\n");
    Second.Send("QUIT\r\n");
    EXPECT_EQ(Second.Read(12), "+OK tschuess\r\n");
    EXPECT_EQ(Second.Read(), "");
    TClient Third(FServer->Port());
    EXPECT_EQ(Third.Read(), "");

    const std::vector<std::string> Told = Diagnostics();
    ASSERT_EQ(Told.size(), 3u);
    EXPECT_EQ(Told[0], "Zeile 4, Verbindung 1: erwartet \"USER anna\", gekommen \"USER bert\"");
    EXPECT_EQ(Told[1], "Zeile 6, Verbindung 1: erwartet \"PASS ********\", gekommen \"APOP anna 0123\"");
    EXPECT_NE(Told[2].find("nur 2 Verbindung"), std::string::npos) << Told[2];
}

// A line far too long gets one "-ERR"; its rest is dropped, the server's memory stays bounded.
TEST_F(ReplayServerTest, OverlongCommandLineIsRefusedOnce)
{
    ASSERT_TRUE(Start(kSession));
    TClient Client(FServer->Port());
    EXPECT_EQ(Client.Read(), "+OK bereit\r\n");
    Client.Send(std::string(200 * 1024, 'A'));
    Client.Send("\r\nUSER anna\r\n");
    const std::string Refused = "-ERR Mitschnitt erwartet: USER anna\r\n";
    EXPECT_EQ(Client.Read(Refused.size() + 5), Refused + "+OK\r\n");
    EXPECT_EQ(Diagnostics().size(), 1u);
}

// A recording larger than any memory bound here: read through at start and
// served a line at a time, never held whole.
TEST_F(ReplayServerTest, LargeRecordingIsStreamed)
{
    const size_t Chunks = 512;
    const std::string Chunk(64 * 1024, 'x');
    {
        std::ofstream File(FFolder.file("gross.jsonl"), std::ios::binary);
        File << kHeader << R"({"t":1,"conn":1,"kind":"received","bytes":"+OK\r\n"})"
             << "\n"
             << R"({"t":2,"conn":1,"kind":"sent","bytes":"RETR 1\r\n"})"
             << "\n";
        for (size_t Index = 0; Index < Chunks; ++Index)
            File << R"({"t":3,"conn":1,"kind":"received","bytes":")" << Chunk << "\"}\n";
    }
    const long Before = PeakMemory::Reset();
    TReplayOptions Options;
    Options.Path = FFolder.file("gross.jsonl");
    FServer = std::make_unique<TReplayServer>(Options);
    ASSERT_TRUE(FServer->Start()) << FServer->Problem();
    TClient Client(FServer->Port());
    EXPECT_EQ(Client.Read(), "+OK\r\n");
    Client.Send("RETR 1\r\n");
    size_t Received = 0;
    for (std::string More; !(More = Client.Read()).empty();)
        Received += More.size();
    EXPECT_EQ(Received, Chunks * Chunk.size());
    // 32 MB went through; a few lines of 64 KB and their buffers stayed.
    EXPECT_TRUE(PeakMemory::GrewLessThan(Before, 8 * 1024));
}

TEST_F(ReplayServerTest, MalformedFilesAreRefusedWithTheirLine)
{
    const struct {
        std::string Text;
        std::string Problem;
    } Cases[] = {
        { "", "Zeile 1: Datei ist leer" },
        { "{\"t\":1}\n", "Zeile 1: kein Brieflotse-Mitschnitt" },
        { kHeader + R"({"t":1,"conn":1,"kind":"received","bytes":"+OK\r\n"})"
                + "\n{\"t\":2,\"conn\":1,\"kind\":\"foo\"}\n",
            "Zeile 3: " },
        { kHeader + "{\"t\":1,\"conn\":1,\"kind\":\"sent\",\"bytes\":\"USER\r\n", "Zeile 2: " },
        { kHeader + R"({"t":1,"conn":0,"kind":"received","bytes":"+OK\r\n"})" + "\n", "Zeile 2: " },
        { kHeader, "keine Verbindung" },
    };
    for (const auto& Case : Cases) {
        EXPECT_FALSE(Start(Case.Text)) << Case.Text;
        EXPECT_TRUE(FServer->FileProblem());
        EXPECT_NE(FServer->Problem().find(Case.Problem), std::string::npos) << FServer->Problem();
    }
}

TEST_F(ReplayServerTest, TerminalRefusesBadFilesWithTwoAndBadUsageWith64)
{
    const std::string Path = WriteFile(FFolder, "kaputt.jsonl", kHeader + "{\"t\":1,\"conn\":1,\"kind\":\"foo\"}\n");
    const TToolResult Bad = RunTool({ BRIEFLOTSE_PROGRAM, "--practice-server", "--replay", Path });
    EXPECT_EQ(Bad.Status, 2);
    EXPECT_NE(Bad.Errors.find("Zeile 2: unbekannte Art \"foo\""), std::string::npos) << Bad.Errors;
    EXPECT_EQ(RunTool({ BRIEFLOTSE_PROGRAM, "--replay", Path }).Status, 64);
    EXPECT_EQ(RunTool({ BRIEFLOTSE_PROGRAM, "--practice-server", "--replay-timing" }).Status, 64);
    EXPECT_EQ(RunTool({ BRIEFLOTSE_PROGRAM, "--practice-server", "--replay", Path, "--fault", "slow" }).Status, 64);
    const std::string Help = RunTool({ BRIEFLOTSE_PROGRAM, "--help" }).Output;
    EXPECT_NE(Help.find("--replay <datei>"), std::string::npos) << Help;
    EXPECT_NE(Help.find("--replay-timing"), std::string::npos) << Help;
}

// STLS in the recording starts TLS with the server's own certificate; a
// recording that was TLS from its first byte is served on the TLS port.
TEST_F(ReplayServerTest, TlsAsRecorded)
{
    if (!ToolInstalled("python3"))
        GTEST_SKIP() << "python3 fehlt";
    const std::string Tls
        = R"("kind":"tls","text":"Brieflotse: TLS-verschlüsselt mit TLSv1.3, TLS_AES_256_GCM_SHA384"})";
    ASSERT_TRUE(Start(kHeader + R"({"t":1,"conn":1,"kind":"received","bytes":"+OK klar\r\n"}
{"t":2,"conn":1,"kind":"sent","bytes":"STLS\r\n"}
{"t":3,"conn":1,"kind":"received","bytes":"+OK los\r\n"}
{"t":4,"conn":1,)"
        + Tls + R"(
{"t":5,"conn":1,"kind":"sent","bytes":"CAPA\r\n"}
{"t":6,"conn":1,"kind":"received","bytes":"+OK\r\nUSER\r\n.\r\n"}
{"t":1,"conn":2,)"
        + Tls + R"(
{"t":2,"conn":2,"kind":"received","bytes":"+OK geheim\r\n"}
)"));
    const std::string Script = R"(
import socket, ssl, sys
context = ssl.create_default_context()
context.check_hostname = False
context.verify_mode = ssl.CERT_NONE
plain = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=5)
print(plain.recv(100))
plain.sendall(b"STLS\r\n")
print(plain.recv(100))
wrapped = context.wrap_socket(plain)
wrapped.sendall(b"CAPA\r\n")
print(wrapped.recv(100))
print(wrapped.recv(100))
second = context.wrap_socket(socket.create_connection(("127.0.0.1", int(sys.argv[2])), timeout=5))
print(second.recv(100))
)";
    const TToolResult Result
        = RunTool({ "python3", "-c", Script, std::to_string(FServer->Port()), std::to_string(FServer->TlsPort()) });
    EXPECT_EQ(
        Result.Output, "b'+OK klar\\r\\n'\nb'+OK los\\r\\n'\nb'+OK\\r\\nUSER\\r\\n.\\r\\n'\nb''\nb'+OK geheim\\r\\n'\n")
        << Result.Errors;
    EXPECT_TRUE(Diagnostics().empty());
}
