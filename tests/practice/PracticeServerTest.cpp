// The practice server's own behaviour on raw connections: the faults it
// shows on purpose, and clients that break the rules (endless lines, no
// reading, silence, many at once) without hurting the server or others.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "auth/SaslClient.h"
#include "practice/PracticeMailbox.h"
#include "practice/PracticeServer.h"

namespace {

using Clock = std::chrono::steady_clock;

// A blocking client socket with a receive time-out; reads line by line.
class TLineClient {
public:
    explicit TLineClient(int Port, int TimeoutMs = 5000)
    {
        FSocket = ::socket(AF_INET, SOCK_STREAM, 0);
        timeval Wait { TimeoutMs / 1000, (TimeoutMs % 1000) * 1000 };
        ::setsockopt(FSocket, SOL_SOCKET, SO_RCVTIMEO, &Wait, sizeof Wait);
        sockaddr_in Address {};
        Address.sin_family = AF_INET;
        Address.sin_port = htons(static_cast<uint16_t>(Port));
        Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        FConnected = ::connect(FSocket, reinterpret_cast<sockaddr*>(&Address), sizeof Address) == 0;
    }
    ~TLineClient() { ::close(FSocket); }

    bool Connected() const { return FConnected; }
    bool Send(const std::string& Text)
    {
        return ::send(FSocket, Text.data(), Text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(Text.size());
    }
    // One line with its CR LF; "" at a close, a reset or the time-out.
    std::string Line()
    {
        for (;;) {
            const size_t End = FBuffer.find("\r\n");
            if (End != std::string::npos) {
                std::string Result = FBuffer.substr(0, End + 2);
                FBuffer.erase(0, End + 2);
                return Result;
            }
            char Chunk[65536];
            const ssize_t Count = ::recv(FSocket, Chunk, sizeof Chunk, 0);
            if (Count <= 0)
                return std::string();
            FBuffer.append(Chunk, static_cast<size_t>(Count));
        }
    }
    // Sends Command and reads its answer's first line.
    std::string Ask(const std::string& Command)
    {
        Send(Command + "\r\n");
        return Line();
    }
    // The lines of a multi-line answer up to (without) its ".", as sent.
    std::string Body()
    {
        std::string Text;
        for (std::string Each = Line(); !Each.empty() && Each != ".\r\n"; Each = Line())
            Text += Each;
        return Text;
    }
    void LogIn()
    {
        Line();
        Ask(std::string("USER ") + kPracticeUser);
        Ask(std::string("PASS ") + kPracticePassword);
    }
    int Socket() const { return FSocket; }

private:
    int FSocket = -1;
    bool FConnected = false;
    std::string FBuffer;
};

bool StartsWith(const std::string& Text, const std::string& Start)
{
    return Text.rfind(Start, 0) == 0;
}

// Resident memory of this process in KB.
long ResidentKb()
{
    std::ifstream Status("/proc/self/status");
    std::string Key;
    long Value = 0;
    while (Status >> Key) {
        if (Key == "VmRSS:") {
            Status >> Value;
            return Value;
        }
        Status.ignore(1 << 16, '\n');
    }
    return 0;
}

class PracticeServer : public ::testing::Test {
protected:
    void Start(TPracticeOptions Options = TPracticeOptions())
    {
        Server = std::make_unique<TPracticeServer>(Options);
        Server->OnFault = [this](TPracticeFault Fault) {
            std::lock_guard<std::mutex> Guard(Lock);
            Shown.push_back(Fault);
        };
        ASSERT_TRUE(Server->Start()) << Server->Problem();
    }
    std::vector<TPracticeFault> Faults()
    {
        std::lock_guard<std::mutex> Guard(Lock);
        return Shown;
    }

    std::unique_ptr<TPracticeServer> Server;
    std::mutex Lock;
    std::vector<TPracticeFault> Shown;
};

} // namespace

TEST_F(PracticeServer, EachFaultShowsWhereItIsPractised)
{
    TPracticeOptions Options;
    Options.SlowMs = 400;
    Options.LoginDelaySeconds = 60;
    Start(Options);
    const std::string User = std::string("USER ") + kPracticeUser;
    const std::string Pass = std::string("PASS ") + kPracticePassword;

    Server->SetFault(TPracticeFault::NoApop);
    {
        TLineClient Client(Server->Port());
        EXPECT_EQ(Client.Line(), "+OK Brieflotse-Uebungs-Server bereit\r\n") << "no timestamp";
    }
    Server->SetFault(TPracticeFault::Slow);
    {
        TLineClient Client(Server->Port());
        const auto Before = Clock::now();
        EXPECT_TRUE(StartsWith(Client.Line(), "+OK "));
        EXPECT_TRUE(StartsWith(Client.Ask("NOOP"), "-ERR "));
        EXPECT_GE(Clock::now() - Before, std::chrono::milliseconds(800)) << "greeting and answer held back";
    }
    Server->SetFault(TPracticeFault::InUse);
    {
        TLineClient Client(Server->Port());
        Client.Line();
        Client.Ask(User);
        EXPECT_TRUE(StartsWith(Client.Ask(Pass), "-ERR [IN-USE] "));
        EXPECT_TRUE(StartsWith(Client.Ask("STAT"), "-ERR ")) << "still not logged in";
    }
    Server->SetFault(TPracticeFault::LoginDelay);
    {
        TLineClient Client(Server->Port());
        Client.Line();
        Client.Send("CAPA\r\n");
        Client.Line();
        EXPECT_NE(Client.Body().find("LOGIN-DELAY 60\r\n"), std::string::npos);
        Client.Ask(User);
        EXPECT_TRUE(StartsWith(Client.Ask(Pass), "-ERR [LOGIN-DELAY] ")) << "chosen just now counts as a log-in";
    }
    Server->SetFault(TPracticeFault::BrokenMultiline);
    {
        TLineClient Client(Server->Port());
        Client.LogIn();
        EXPECT_TRUE(StartsWith(Client.Ask("NOOP"), "+OK "));
        EXPECT_EQ(Client.Line(), "Diese Zeile gehoert nicht zur Antwort.\r\n");
        EXPECT_EQ(Client.Line(), ".\r\n");
    }
    Server->SetFault(TPracticeFault::DropRetr);
    {
        TLineClient Client(Server->Port());
        Client.LogIn();
        const std::string& Whole = TPracticeMailbox::Sample().Message(6).Text;
        EXPECT_EQ(Client.Ask("RETR 6"), "+OK " + std::to_string(Whole.size()) + " Octets\r\n");
        std::string Received;
        for (std::string Each = Client.Line(); !Each.empty(); Each = Client.Line())
            Received += Each;
        EXPECT_LT(Received.size(), Whole.size()) << "cut off";
        EXPECT_GT(Received.size(), 0u);
        EXPECT_TRUE(StartsWith(Whole, Received)) << "what came is the message's start";
    }
    // A session keeps the fault it started with; a new one gets the new choice.
    Server->SetFault(TPracticeFault::None);
    TLineClient Client(Server->Port());
    Client.LogIn();
    EXPECT_TRUE(StartsWith(Client.Ask("STAT"), "+OK 6 "));
    const std::vector<TPracticeFault> Expected { TPracticeFault::NoApop, TPracticeFault::Slow, TPracticeFault::Slow,
        TPracticeFault::InUse, TPracticeFault::LoginDelay, TPracticeFault::BrokenMultiline, TPracticeFault::DropRetr };
    EXPECT_EQ(Faults(), Expected);
}

TEST_F(PracticeServer, RulesOfTheStatesAndLongLines)
{
    Start();
    TLineClient Client(Server->Port());
    EXPECT_TRUE(StartsWith(Client.Line(), "+OK Brieflotse-Uebungs-Server bereit <"));
    EXPECT_TRUE(StartsWith(Client.Ask("STAT"), "-ERR ")) << "not before log-in";
    EXPECT_TRUE(StartsWith(Client.Ask("PASS uebung"), "-ERR ")) << "PASS needs USER first";
    Client.Ask("USER lotse");
    EXPECT_EQ(Client.Ask("PASS falsch"), "-ERR [AUTH] Name oder Passwort falsch\r\n");
    // 256 octets with CR LF, the 254 characters of the program's command field,
    // is the most a command may have; one more is refused, the rest of a huge
    // line is dropped and the connection stays usable.
    EXPECT_EQ(Client.Ask("USER " + std::string(249, 'a')),
        "+OK Name " + std::string(249, 'a') + " notiert, jetzt bitte PASS\r\n");
    EXPECT_EQ(Client.Ask("USER " + std::string(250, 'a')), "-ERR Zeile zu lang (hoechstens 256 Zeichen mit CR LF)\r\n");
    EXPECT_TRUE(StartsWith(Client.Ask("USER " + std::string(3 << 20, 'b')), "-ERR Zeile zu lang"));
    EXPECT_TRUE(StartsWith(Client.Ask("NOOP"), "-ERR ")) << "one answer per line";
    // What the client sent comes back with its control and 8-bit bytes escaped.
    EXPECT_EQ(Client.Ask("USER a\x01\x1b[2J\x7f\xc3\xa4\\b"),
        "+OK Name a\\x01\\x1B[2J\\x7F\\xC3\\xA4\\b notiert, jetzt bitte PASS\r\n");
    EXPECT_EQ(Client.Ask(std::string("X\0\a\x9b", 4)), "-ERR Unbekanntes Kommando X\\x00\\x07\\x9B\r\n");
    Client.Ask("USER lotse");
    EXPECT_TRUE(StartsWith(Client.Ask("pass uebung"), "+OK ")) << "commands in any case";
    EXPECT_EQ(Client.Ask("RETR 0"), "-ERR Bitte eine Nachrichtennummer angeben\r\n");
    EXPECT_TRUE(StartsWith(Client.Ask("RETR 99999999999999999999"), "-ERR "));
    EXPECT_TRUE(StartsWith(Client.Ask("DELE 6"), "+OK "));
    EXPECT_TRUE(StartsWith(Client.Ask("DELE 6"), "-ERR ")) << "already marked";
    EXPECT_TRUE(StartsWith(Client.Ask("STLS"), "-ERR ")) << "only before log-in";
    // Pipelined: answers in order.
    Client.Send("NOOP\r\nLIST 1\r\nUIDL 2\r\n");
    EXPECT_TRUE(StartsWith(Client.Line(), "+OK "));
    EXPECT_EQ(Client.Line(), "+OK 1 " + std::to_string(TPracticeMailbox::Sample().Message(1).Text.size()) + "\r\n");
    EXPECT_EQ(Client.Line(), "+OK 2 lotse-0002-umlaute\r\n");
    EXPECT_EQ(Client.Ask("QUIT"), "+OK 1 Nachrichten geloescht (nur in dieser Sitzung), auf Wiedersehen\r\n");
    EXPECT_EQ(Client.Line(), "") << "closed after QUIT";
}

TEST_F(PracticeServer, AuthExchangesOfEveryMechanismAndApopWithoutTimestamp)
{
    Start();
    // The client side of the log-in arithmetic drives each exchange, line by line.
    for (const TSaslMechanism Mechanism : { TSaslMechanism::Plain, TSaslMechanism::Login, TSaslMechanism::CramMd5,
             TSaslMechanism::ScramSha256, TSaslMechanism::XOAuth2 }) {
        for (const bool Right : { true, false }) {
            SCOPED_TRACE(SaslMechanismName(Mechanism) + (Right ? " right" : " wrong"));
            const std::string Secret = Mechanism == TSaslMechanism::XOAuth2 ? "brieflotse-uebungs-token" : "uebung";
            TSaslClient Sasl(Mechanism, kPracticeUser, Right ? Secret : "falsch");
            TLineClient Client(Server->Port());
            Client.Line();
            std::string Reply = Client.Ask(Sasl.Start().Line);
            for (int Round = 0; Round < 5 && StartsWith(Reply, "+ "); ++Round)
                Reply = Client.Ask(Sasl.Answer(Reply.size() > 3 ? Reply.substr(2, Reply.size() - 4) : "").Line);
            if (Right) {
                EXPECT_TRUE(StartsWith(Reply, "+OK Mailbox von lotse geoeffnet")) << Reply;
                EXPECT_TRUE(StartsWith(Client.Ask("STAT"), "+OK 6 "));
            } else
                EXPECT_TRUE(StartsWith(Reply, "-ERR [AUTH] ")) << Reply;
        }
    }
    TLineClient Client(Server->Port());
    Client.Line();
    EXPECT_EQ(Client.Ask("AUTH SCRAM-SHA-256"), "+ \r\n");
    EXPECT_EQ(Client.Ask("*"), "-ERR AUTH abgebrochen\r\n");
    EXPECT_TRUE(StartsWith(Client.Ask("AUTH GSSAPI"), "-ERR Unbekanntes Verfahren"));
    Client.Send("AUTH\r\n");
    Client.Line();
    EXPECT_EQ(Client.Body(), "PLAIN\r\nLOGIN\r\nCRAM-MD5\r\nSCRAM-SHA-256\r\nXOAUTH2\r\nOAUTHBEARER\r\n");

    Server->SetFault(TPracticeFault::NoApop);
    TLineClient NoStamp(Server->Port());
    NoStamp.Line();
    EXPECT_TRUE(StartsWith(NoStamp.Ask("APOP lotse 0123456789abcdef0123456789abcdef"), "-ERR APOP geht nicht"));
}

TEST_F(PracticeServer, SlowClientsAreCutOffAndAFullTlsPortSpeaksNoPlainText)
{
    TPracticeOptions Options;
    Options.LineSeconds = 1;
    Options.FirstCommandSeconds = 2;
    Options.MaxConnections = 4;
    Start(Options);
    const auto Start = Clock::now();
    TLineClient Trickling(Server->Port()), Mute(Server->Port()), NoHandshake(Server->TlsPort()), Steady(Server->Port());
    Trickling.Line();
    Trickling.Send("CAPA\r\nNOO");
    EXPECT_TRUE(StartsWith(Trickling.Line(), "+OK "));
    Trickling.Body();
    Mute.Line();
    Steady.Line();
    // A line that takes a while but ends in time, then silence between lines.
    Steady.Send("NO");
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_EQ(Steady.Ask("OP"), "-ERR Bitte zuerst anmelden (USER und PASS)\r\n");
    // Full: the plain port says so, the TLS port closes without a byte of plain text.
    TLineClient Refused(Server->Port()), RefusedTls(Server->TlsPort());
    EXPECT_TRUE(StartsWith(Refused.Line(), "-ERR [SYS/TEMP] "));
    char Byte;
    EXPECT_EQ(::recv(RefusedTls.Socket(), &Byte, 1, 0), 0);

    const std::string TooSlow = "-ERR Zeitueberschreitung: Kommando nicht rechtzeitig vollstaendig\r\n";
    EXPECT_EQ(Trickling.Line(), TooSlow) << "an unfinished line";
    EXPECT_EQ(Trickling.Line(), "");
    EXPECT_EQ(::recv(NoHandshake.Socket(), &Byte, 1, 0), 0) << "no handshake";
    EXPECT_LT(Clock::now() - Start, std::chrono::milliseconds(1900));
    EXPECT_EQ(Mute.Line(), TooSlow) << "no first command";
    EXPECT_GE(Clock::now() - Start, std::chrono::seconds(2));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_TRUE(StartsWith(Steady.Ask("CAPA"), "+OK ")) << "between lines any silence short of the idle time";
}

TEST_F(PracticeServer, ClientsThatNeverReadOrNeverStopStayBounded)
{
    TPracticeOptions Options;
    Options.IdleSeconds = 2;
    Start(Options);
    // Ten clients ask for the 1 MB message again and again and never read.
    std::vector<std::unique_ptr<TLineClient>> Stuck;
    const long Before = ResidentKb();
    for (int Index = 0; Index < 10; ++Index) {
        Stuck.push_back(std::make_unique<TLineClient>(Server->Port()));
        Stuck.back()->LogIn();
        std::string Many;
        for (int Each = 0; Each < 40; ++Each)
            Many += "RETR 6\r\n";
        Stuck.back()->Send(Many);
    }
    // One sends an endless line.
    TLineClient Endless(Server->Port());
    Endless.Line();
    std::atomic<bool> Stop { false };
    std::thread Flood([&] {
        const std::string Chunk(65536, 'x');
        while (!Stop && ::send(Endless.Socket(), Chunk.data(), Chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT) != 0)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    // Meanwhile a well-behaved client is served at once.
    {
        TLineClient Client(Server->Port());
        Client.LogIn();
        EXPECT_TRUE(StartsWith(Client.Ask("RETR 1"), "+OK "));
        EXPECT_EQ(Client.Body(), TPracticeMailbox::Sample().Message(1).Text);
    }
    Stop = true;
    Flood.join();
    // 40 MB asked for by each of ten clients; the server holds a bounded part.
    EXPECT_LT(ResidentKb() - Before, 20 * 1024) << "KB more resident memory";
    // Silent for the idle time: cut off with a last word.
    TLineClient Silent(Server->Port());
    EXPECT_TRUE(StartsWith(Silent.Line(), "+OK "));
    EXPECT_TRUE(StartsWith(Silent.Line(), "-ERR Zeitueberschreitung"));
    EXPECT_EQ(Silent.Line(), "");
    // Stop with all of them still connected ends at once.
    const int Port = Server->Port();
    const auto Stopping = Clock::now();
    Server->Stop();
    EXPECT_LT(Clock::now() - Stopping, std::chrono::seconds(2));
    EXPECT_FALSE(TLineClient(Port).Connected()) << "no longer listening";
}
