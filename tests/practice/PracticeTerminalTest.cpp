// "brieflotse --practice-server" as a person runs it in a terminal without
// any display: what it prints, that clients get through, that Ctrl+C ends it.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "tests/practice/ToolRun.h"

namespace {

// A free port on 127.0.0.1 at this moment.
int FreePort()
{
    const int Socket = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in Address {};
    Address.sin_family = AF_INET;
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t Size = sizeof Address;
    ::bind(Socket, reinterpret_cast<sockaddr*>(&Address), sizeof Address);
    ::getsockname(Socket, reinterpret_cast<sockaddr*>(&Address), &Size);
    ::close(Socket);
    return ntohs(Address.sin_port);
}

// The program in the background, its standard output read line by line.
class TTerminalProgram {
public:
    explicit TTerminalProgram(const std::vector<std::string>& Options)
    {
        int Pipe[2];
        if (::pipe(Pipe) != 0)
            return;
        FPid = ::fork();
        if (FPid == 0) {
            ::dup2(Pipe[1], 1);
            ::close(Pipe[0]);
            std::vector<std::string> Arguments { BRIEFLOTSE_PROGRAM };
            Arguments.insert(Arguments.end(), Options.begin(), Options.end());
            std::vector<char*> Argv;
            for (std::string& Each : Arguments)
                Argv.push_back(Each.data());
            Argv.push_back(nullptr);
            // A terminal without any display.
            char Path[] = "PATH=/usr/bin:/bin";
            char Lang[] = "LANG=C.UTF-8";
            char* Environment[] = { Path, Lang, nullptr };
            ::execve(Argv[0], Argv.data(), Environment);
            ::_exit(127);
        }
        ::close(Pipe[1]);
        FOutput = Pipe[0];
    }
    ~TTerminalProgram()
    {
        if (FPid > 0 && !FExited) {
            ::kill(FPid, SIGKILL);
            ::waitpid(FPid, nullptr, 0);
        }
        ::close(FOutput);
    }

    // "Name: Wert" lines up to "Beenden mit Strg+C." (at most 10 s).
    std::map<std::string, std::string> Facts()
    {
        std::map<std::string, std::string> Result;
        std::string Text;
        const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (Text.find("Beenden mit Strg+C.\n") == std::string::npos && std::chrono::steady_clock::now() < Deadline) {
            pollfd Wait { FOutput, POLLIN, 0 };
            if (::poll(&Wait, 1, 100) <= 0)
                continue;
            char Chunk[1024];
            const ssize_t Count = ::read(FOutput, Chunk, sizeof Chunk);
            if (Count <= 0)
                break;
            Text.append(Chunk, static_cast<size_t>(Count));
        }
        FText = Text;
        size_t Start = 0;
        for (size_t End = Text.find('\n'); End != std::string::npos; Start = End + 1, End = Text.find('\n', Start)) {
            const std::string Line = Text.substr(Start, End - Start);
            const size_t Colon = Line.find(": ");
            if (Colon != std::string::npos)
                Result[Line.substr(0, Colon)] = Line.substr(Colon + 2);
        }
        return Result;
    }
    // Sends Signal and waits up to 5 s; the exit status, -1 for none.
    int Interrupt(int Signal)
    {
        ::kill(FPid, Signal);
        for (int Round = 0; Round < 500; ++Round) {
            int Status = 0;
            if (::waitpid(FPid, &Status, WNOHANG) == FPid) {
                FExited = true;
                return WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
            }
            ::usleep(10000);
        }
        return -1;
    }
    const std::string& Text() const { return FText; }

private:
    pid_t FPid = -1;
    int FOutput = -1;
    bool FExited = false;
    std::string FText;
};

} // namespace

TEST(PracticeTerminal, RunsWithoutDisplayUntilInterrupted)
{
    for (const int Signal : { SIGINT, SIGTERM }) {
        TTerminalProgram Program({ "--practice-server" });
        auto Facts = Program.Facts();
        ASSERT_EQ(Facts["Name"], "lotse") << Program.Text();
        EXPECT_EQ(Facts["Paßwort"], "uebung");
        EXPECT_EQ(Facts["Fehlerbild"], "none");
        EXPECT_EQ(Facts["Zertifikat (SHA-256)"].size(), 95u);
        EXPECT_EQ(Facts["Adresse"].rfind("pop3://127.0.0.1:", 0), 0u);
        EXPECT_EQ(Facts["Adresse (TLS)"].rfind("pop3s://127.0.0.1:", 0), 0u);
        if (ToolInstalled("curl")) {
            const TToolResult Listing = RunTool({ "curl", "--silent", "--max-time", "20", "--insecure", "--user",
                "lotse:uebung", "--login-options", "AUTH=*", Facts["Adresse (TLS)"] + "/", "--request", "UIDL" });
            EXPECT_EQ(Listing.Output.rfind("1 lotse-0001-kurz\r\n", 0), 0u) << Listing.Errors;
        }
        EXPECT_EQ(Program.Interrupt(Signal), 0) << Signal;
    }
}

TEST(PracticeTerminal, PortsFaultAndRefusedOptions)
{
    const int Port = FreePort();
    const int TlsPort = FreePort();
    {
        TTerminalProgram Program({ "--practice-server", "--port", std::to_string(Port), "--tls-port",
            std::to_string(TlsPort), "--fault", "in-use" });
        auto Facts = Program.Facts();
        EXPECT_EQ(Facts["Adresse"], "pop3://127.0.0.1:" + std::to_string(Port)) << Program.Text();
        EXPECT_EQ(Facts["Adresse (TLS)"], "pop3s://127.0.0.1:" + std::to_string(TlsPort));
        EXPECT_EQ(Facts["Fehlerbild"], "in-use");
        // The same ports again: taken, a message and exit 1.
        const TToolResult Twice = RunTool({ BRIEFLOTSE_PROGRAM, "--practice-server", "--port", std::to_string(Port) });
        EXPECT_EQ(Twice.Status, 1);
        EXPECT_NE(Twice.Errors.find("Übungs-Server startet nicht"), std::string::npos) << Twice.Errors;
        EXPECT_EQ(Program.Interrupt(SIGINT), 0);
    }
    for (const std::vector<std::string>& Wrong :
        std::vector<std::vector<std::string>> { { "--practice-server", "--port", "0" },
            { "--practice-server", "--port", "70000" }, { "--practice-server", "--fault", "laut" }, { "--port", "110" },
            { "--fault", "slow" }, { "--practice-server", "mail.example.org" } }) {
        std::vector<std::string> Arguments { BRIEFLOTSE_PROGRAM };
        Arguments.insert(Arguments.end(), Wrong.begin(), Wrong.end());
        const TToolResult Run = RunTool(Arguments, 10000, { "QT_QPA_PLATFORM=offscreen" });
        EXPECT_EQ(Run.Status, 2) << Wrong.back() << ": " << Run.Errors;
        EXPECT_NE(Run.Errors.find("--help"), std::string::npos) << Run.Errors;
    }
    const TToolResult Help = RunTool({ BRIEFLOTSE_PROGRAM, "--help" });
    EXPECT_NE(Help.Output.find("--practice-server"), std::string::npos) << Help.Output;
}
