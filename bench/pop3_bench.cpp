// The conversation measured through the real main window (offscreen) against
// a real Dovecot server, with curl fetching the same data in the same run as
// the yardstick. One case per invocation, so that each starts with a fresh
// process; bench/run.sh runs them all and prints the table.
//
//   bench_pop3 retr <megabytes> <runs>   RETR of one message of that size
//   bench_pop3 retr-tls <megabytes> <runs>  the same over pop3s, with the plain one
//   bench_pop3 line <megabytes> <runs>   RETR of a message that is one long line,
//                                        then NOOP next to NOOP on a fresh log
//   bench_pop3 big <megabytes>           RETR of a huge message in a fresh window
//                                        process: time, peak resident memory
//   bench_pop3 list <messages> <runs>    LIST and UIDL of a large mailbox
//   bench_pop3 map <messages> <runs>     "Postfach-Übersicht": LIST, UIDL, TOP n 0 each
//   bench_pop3 wait <seconds>            one wait for a greeting that never comes
//   bench_pop3 flood <seconds>           lines nobody asked for, as fast as loopback
//                                        carries them, while the window is idle
//   bench_pop3 start <runs>              program start until the window shows

#include <QApplication>
#include <QLabel>

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "app/BrieflotseMain.h"
#include "app/MailboxMapWindow.h"
#include "app/ProgramStart.h"
#include "bench/Measure.h"
#include "bench/WindowSession.h"
#include "dialogs/BrieflotseAbout.h"
#include "dialogs/BrieflotseEdit.h"
#include "dialogs/BrieflotseLookup.h"
#include "dialogs/WaitInputGuard.h"
#include "protocollog/LogView.h"
#include "resources/Resources.h"
#include "settings/SettingsStore.h"
#include "tests/support/DovecotHarness.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/qt/Child.h"

extern char** environ;

namespace {

constexpr double Megabyte = 1024.0 * 1024.0;

// A message like one with a large attachment: headers, then base64 lines of
// 70 characters (about 14 900 lines per megabyte).
std::string LargeMessage(size_t Bytes)
{
    static const char Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string Text = "From: Bernd Beispiel <bernd@example.org>\r\n"
                       "To: Anna <anna@example.org>\r\n"
                       "Subject: Anhang\r\n"
                       "Date: Mon, 3 Mar 2003 10:00:00 +0100\r\n"
                       "MIME-Version: 1.0\r\n"
                       "Content-Type: application/octet-stream\r\n"
                       "Content-Transfer-Encoding: base64\r\n"
                       "\r\n";
    Text.reserve(Bytes + 80);
    unsigned Seed = 12345;
    while (Text.size() < Bytes) {
        for (int Column = 0; Column < 70; ++Column) {
            Seed = Seed * 1103515245u + 12345u;
            Text += Alphabet[(Seed >> 16) & 63];
        }
        Text += "\r\n";
    }
    return Text;
}

// A message whose body is one line of Bytes characters (base64 alphabet).
std::string OneLineMessage(size_t Bytes)
{
    static const char Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string Text = "From: Bernd Beispiel <bernd@example.org>\r\n"
                       "Subject: Eine Zeile\r\n"
                       "\r\n";
    Text.reserve(Text.size() + Bytes + 2);
    unsigned Seed = 12345;
    for (size_t Column = 0; Column < Bytes; ++Column) {
        Seed = Seed * 1103515245u + 12345u;
        Text += Alphabet[(Seed >> 16) & 63];
    }
    Text += "\r\n";
    return Text;
}

std::string Pop3Url(const DovecotHarness& Server, const std::string& Path)
{
    return "pop3://" + Server.user() + ":" + Server.password() + "@127.0.0.1:" + std::to_string(Server.port()) + "/"
        + Path;
}

bool StartServer(DovecotHarness& Server)
{
    std::string Error;
    if (Server.start(&Error))
        return true;
    std::printf("Dovecot did not start: %s\n", Error.c_str());
    return false;
}

// Connects the window to the server (plain on its port, or Host as typed into
// the server field) and logs in with USER and PASS.
bool LogIn(TWindowSession& Session, const DovecotHarness& Server, const QString& Host = QString())
{
    const bool Connected = Host.isEmpty() ? Session.Connect(Server.port()) : Session.Connect(Host);
    if (Connected && Session.Login(Server.user(), Server.password()))
        return true;
    std::printf("login failed\n");
    return false;
}

int Retr(size_t Megabytes, int Runs)
{
    const size_t Bytes = Megabytes * static_cast<size_t>(Megabyte);
    DovecotHarness::Options Options;
    Options.messages = { LargeMessage(Bytes) };
    DovecotHarness Server(Options);
    if (!StartServer(Server))
        return 1;

    TWindowSession Session;
    if (!LogIn(Session, Server))
        return 1;
    const std::string Url = Pop3Url(Server, "1");
    TimeCommand({ "curl", "-s", "-o", "/dev/null", Url }); // warms Dovecot's cache for both

    std::vector<double> Ours;
    std::vector<double> Curl;
    for (int Run = 0; Run < Runs; ++Run) {
        Session.ClearLog();
        const long Baseline = StatusKb("VmRSS");
        const bool PeakReset = ResetPeakResident();
        const int64_t Before = Session.Main().Conversation().BytesReceived();
        const double Seconds = Session.Send(QStringLiteral("RETR 1"));
        const int64_t Received = Session.Main().Conversation().BytesReceived() - Before;
        const long Peak = StatusKb("VmHWM");
        if (Seconds < 0 || Received < static_cast<int64_t>(Bytes) || !Session.LogShowsEnd(QStringLiteral("."))) {
            std::printf("RETR failed (%lld bytes)\n", static_cast<long long>(Received));
            return 1;
        }
        const double CurlSeconds = TimeCommand({ "curl", "-s", "-o", "/dev/null", Url });
        if (CurlSeconds < 0) {
            std::printf("curl failed\n");
            return 1;
        }
        Ours.push_back(Seconds);
        Curl.push_back(CurlSeconds);
        std::printf("run %d: brieflotse %.3f s, curl %.3f s, %lld bytes, %d log lines", Run + 1, Seconds, CurlSeconds,
            static_cast<long long>(Received),
            static_cast<int>(Child<TLogView>(Session.Main(), "Log")->Store().LineCount()));
        // The first run starts from the smallest heap, so it alone says what one
        // message costs in memory.
        if (Run == 0)
            std::printf(", resident before %ld KB, peak %ld KB%s", Baseline, Peak,
                PeakReset ? "" : " (peak not resettable: peak since start)");
        std::printf("\n");
        if (Run == 0)
            PrintResult("retr" + std::to_string(Megabytes) + "_memory",
                static_cast<double>(Peak - Baseline) * 1024.0 / static_cast<double>(Bytes));
    }
    const std::string Key = "retr" + std::to_string(Megabytes);
    PrintResult(Key + "_seconds", Median(Ours));
    PrintResult(Key + "_curl_seconds", Median(Curl));
    PrintResult(Key + "_ratio", Median(Ours) / Median(Curl));
    PrintResult(Key + "_seconds_per_mb", Median(Ours) / static_cast<double>(Megabytes));
    Session.Quit();
    return 0;
}

// A message of one long line, shown whole. Timed until "Bereit" with the log at its
// end; then NOOP after it, next to NOOP on a fresh log, run for run.
int Line(size_t Megabytes, int Runs)
{
    const size_t Bytes = Megabytes * static_cast<size_t>(Megabyte);
    DovecotHarness::Options Options;
    Options.messages = { OneLineMessage(Bytes) };
    DovecotHarness Server(std::move(Options));
    if (!StartServer(Server))
        return 1;
    TWindowSession Session;
    if (!LogIn(Session, Server))
        return 1;
    const std::string Url = Pop3Url(Server, "1");
    TimeCommand({ "curl", "-s", "-o", "/dev/null", Url });

    std::vector<double> Ours;
    std::vector<double> Curl;
    std::vector<double> Fresh;
    std::vector<double> After;
    for (int Run = 0; Run < Runs; ++Run) {
        Session.ClearLog();
        const double FreshNoop = Session.Send(QStringLiteral("NOOP"));
        Session.ClearLog();
        const long Baseline = StatusKb("VmRSS");
        ResetPeakResident();
        const double Seconds = Session.Send(QStringLiteral("RETR 1"));
        const long Peak = StatusKb("VmHWM");
        // Shown whole: the line, then the terminator as the last line.
        const bool Shown = Session.LogShowsEnd(QStringLiteral(".")) && Session.LogLineBytes(-2) == Bytes;
        const double AfterNoop = Session.Send(QStringLiteral("NOOP"));
        const double CurlSeconds = TimeCommand({ "curl", "-s", "-o", "/dev/null", Url });
        if (Seconds < 0 || !Shown || FreshNoop < 0 || AfterNoop < 0 || CurlSeconds < 0) {
            std::printf("RETR of the long line failed\n");
            return 1;
        }
        std::printf("run %d: brieflotse %.3f s, curl %.3f s, NOOP on a fresh log %.4f s, after the line %.4f s",
            Run + 1, Seconds, CurlSeconds, FreshNoop, AfterNoop);
        if (Run == 0)
            std::printf(", resident before %ld KB, peak %ld KB", Baseline, Peak);
        std::printf("\n");
        if (Run == 0)
            PrintResult("line" + std::to_string(Megabytes) + "_memory",
                static_cast<double>(Peak - Baseline) * 1024.0 / static_cast<double>(Bytes));
        Ours.push_back(Seconds);
        Curl.push_back(CurlSeconds);
        Fresh.push_back(FreshNoop);
        After.push_back(AfterNoop);
    }
    const std::string Key = "line" + std::to_string(Megabytes);
    PrintResult(Key + "_seconds", Median(Ours));
    PrintResult(Key + "_curl_seconds", Median(Curl));
    PrintResult(Key + "_noop_fresh_seconds", Median(Fresh));
    PrintResult(Key + "_noop_after_seconds", Median(After));
    Session.Quit();
    return 0;
}

// A huge message: Dovecot serves it, curl fetches it, and a window of its own
// process (so that the message text this process holds for Dovecot does not
// count) fetches it and reports its resident memory.
int Big(const char* Self, size_t Megabytes)
{
    const size_t Bytes = Megabytes * static_cast<size_t>(Megabyte);
    DovecotHarness::Options Options;
    Options.messages = { LargeMessage(Bytes) };
    DovecotHarness Server(std::move(Options));
    if (!StartServer(Server))
        return 1;
    const std::string Url = Pop3Url(Server, "1");
    TimeCommand({ "curl", "-s", "-o", "/dev/null", Url });
    const double CurlSeconds = TimeCommand({ "curl", "-s", "-o", "/dev/null", Url });
    const std::string Port = std::to_string(Server.port());
    const std::string Size = std::to_string(Megabytes);
    std::fflush(stdout);
    char* Argv[] = { const_cast<char*>(Self), const_cast<char*>("big-child"), const_cast<char*>(Port.c_str()),
        const_cast<char*>(Server.user().c_str()), const_cast<char*>(Server.password().c_str()),
        const_cast<char*>(Size.c_str()), nullptr };
    pid_t Child = -1;
    int Status = 0;
    if (::posix_spawn(&Child, Self, nullptr, nullptr, Argv, environ) != 0 || ::waitpid(Child, &Status, 0) != Child
        || !WIFEXITED(Status) || WEXITSTATUS(Status) != 0 || CurlSeconds < 0) {
        std::printf("the window process failed\n");
        return 1;
    }
    PrintResult("big" + Size + "_curl_seconds", CurlSeconds);
    return 0;
}

int BigChild(uint16_t Port, const std::string& User, const std::string& Password, size_t Megabytes)
{
    const size_t Bytes = Megabytes * static_cast<size_t>(Megabyte);
    TWindowSession Session;
    if (!Session.Connect(Port) || !Session.Login(User, Password)) {
        std::printf("login failed\n");
        return 1;
    }
    Session.ClearLog();
    const long Baseline = StatusKb("VmRSS");
    const int64_t Before = Session.Main().Conversation().BytesReceived();
    const double Seconds = Session.Send(QStringLiteral("RETR 1"));
    const int64_t Received = Session.Main().Conversation().BytesReceived() - Before;
    // Shown whole: the last line is the terminator, no note about text not shown.
    const bool Whole
        = Seconds >= 0 && Received >= static_cast<int64_t>(Bytes) && Session.LogShowsEnd(QStringLiteral("."));
    const long Peak = StatusKb("VmHWM");
    const TLogStore& Store = Child<TLogView>(Session.Main(), "Log")->Store();
    std::printf("brieflotse %.3f s, %lld bytes, %zu log lines, %llu bytes in the log, resident before %ld KB, peak "
                "%ld KB\n",
        Seconds, static_cast<long long>(Received), Store.LineCount(),
        static_cast<unsigned long long>(Store.ByteCount()), Baseline, Peak);
    const std::string Key = "big" + std::to_string(Megabytes);
    PrintResult(Key + "_seconds", Seconds);
    PrintResult(Key + "_shown_whole", Whole ? 1 : 0);
    PrintResult(Key + "_peak_mb", static_cast<double>(Peak) / 1024.0);
    PrintResult(Key + "_growth", static_cast<double>(Peak - Baseline) * 1024.0 / static_cast<double>(Bytes));
    Session.Quit();
    return Whole ? 0 : 1;
}

// One RETR 1 timed as in Retr(); -1 when less than Bytes came or the log
// does not show the end.
double TimedRetr(TWindowSession& Session, size_t Bytes)
{
    Session.ClearLog();
    const int64_t Before = Session.Main().Conversation().BytesReceived();
    const double Seconds = Session.Send(QStringLiteral("RETR 1"));
    const int64_t Received = Session.Main().Conversation().BytesReceived() - Before;
    if (Seconds < 0 || Received < static_cast<int64_t>(Bytes) || !Session.LogShowsEnd(QStringLiteral(".")))
        return -1;
    return Seconds;
}

// The same RETR over TLS from the first byte: Dovecot with the good test
// certificate, the window trusting the test CA through SSL_CERT_FILE; curl
// fetches over pop3s, and a second window fetches in plain text from the
// same server, run for run.
int RetrTls(size_t Megabytes, int Runs)
{
    std::string Error;
    const TestCertificates* Certificates = TestCertificates::shared(&Error);
    if (!Certificates) {
        std::printf("no test certificates: %s\n", Error.c_str());
        return 1;
    }
    Certificates->trustInThisProcess();
    const size_t Bytes = Megabytes * static_cast<size_t>(Megabyte);
    DovecotHarness::Options Options;
    Options.messages = { LargeMessage(Bytes) };
    Options.tlsCertificate = Certificates->certificateFile(TestCertificates::Kind::Good);
    Options.tlsKey = Certificates->keyFile();
    DovecotHarness Server(Options);
    if (!StartServer(Server))
        return 1;

    TWindowSession Tls;
    TWindowSession Plain;
    if (!LogIn(Tls, Server, QStringLiteral("pop3s://localhost:%1").arg(Server.tlsPort())) || !LogIn(Plain, Server))
        return 1;
    if (!Tls.Main().Conversation().Transport().Encrypted()) {
        std::printf("the connection is not encrypted\n");
        return 1;
    }
    const std::vector<std::string> Curl = { "curl", "-s", "--cacert", Certificates->caFile(),
        "pop3s://localhost:" + std::to_string(Server.tlsPort()) + "/1", "-u", Server.user() + ":" + Server.password(),
        "-o", "/dev/null" };
    TimeCommand(Curl); // warms Dovecot's cache for all three

    std::vector<double> Ours;
    std::vector<double> OursPlain;
    std::vector<double> Theirs;
    for (int Run = 0; Run < Runs; ++Run) {
        const double Seconds = TimedRetr(Tls, Bytes);
        const double PlainSeconds = TimedRetr(Plain, Bytes);
        const double CurlSeconds = TimeCommand(Curl);
        if (Seconds < 0 || PlainSeconds < 0 || CurlSeconds < 0) {
            std::printf("RETR failed (TLS %.3f s, plain %.3f s, curl %.3f s)\n", Seconds, PlainSeconds, CurlSeconds);
            return 1;
        }
        std::printf("run %d: brieflotse TLS %.3f s, plain %.3f s, curl TLS %.3f s\n", Run + 1, Seconds, PlainSeconds,
            CurlSeconds);
        Ours.push_back(Seconds);
        OursPlain.push_back(PlainSeconds);
        Theirs.push_back(CurlSeconds);
    }
    const std::string Key = "retr" + std::to_string(Megabytes) + "_tls";
    PrintResult(Key + "_seconds", Median(Ours));
    PrintResult(Key + "_curl_seconds", Median(Theirs));
    PrintResult(Key + "_ratio", Median(Ours) / Median(Theirs));
    PrintResult(Key + "_plain_seconds", Median(OursPlain));
    PrintResult(Key + "_over_plain", Median(Ours) / Median(OursPlain));
    Tls.Quit();
    Plain.Quit();
    return 0;
}

int List(size_t Messages, int Runs)
{
    DovecotHarness::Options Options;
    Options.messages = { DovecotHarness::generatedMessage(1) };
    Options.extraMessages = Messages - 1;
    DovecotHarness Server(Options);
    if (!StartServer(Server))
        return 1;

    TWindowSession Session;
    if (!LogIn(Session, Server))
        return 1;
    const std::string Url = Pop3Url(Server, "");
    // Dovecot builds its index on the first look; neither side pays for that.
    TimeCommand({ "curl", "-s", "-o", "/dev/null", Url });
    TimeCommand({ "curl", "-s", "-o", "/dev/null", "-X", "UIDL", Url });

    std::vector<double> OurList;
    std::vector<double> OurUidl;
    std::vector<double> CurlList;
    std::vector<double> CurlUidl;
    for (int Run = 0; Run < Runs; ++Run) {
        Session.ClearLog();
        const double List = Session.Send(QStringLiteral("LIST"));
        const int Lines = static_cast<int>(Child<TLogView>(Session.Main(), "Log")->Store().LineCount());
        const bool ListShown = Session.LogShowsEnd(QStringLiteral("."));
        Session.ClearLog();
        const double Uidl = Session.Send(QStringLiteral("UIDL"));
        const bool UidlShown = Session.LogShowsEnd(QStringLiteral("."));
        const double CurlL = TimeCommand({ "curl", "-s", "-o", "/dev/null", Url });
        const double CurlU = TimeCommand({ "curl", "-s", "-o", "/dev/null", "-X", "UIDL", Url });
        if (List < 0 || Uidl < 0 || CurlL < 0 || CurlU < 0 || !ListShown || !UidlShown) {
            std::printf("LIST or UIDL failed\n");
            return 1;
        }
        std::printf("run %d: LIST %.3f s (%d log lines), UIDL %.3f s, curl LIST %.3f s, curl UIDL %.3f s\n", Run + 1,
            List, Lines, Uidl, CurlL, CurlU);
        OurList.push_back(List);
        OurUidl.push_back(Uidl);
        CurlList.push_back(CurlL);
        CurlUidl.push_back(CurlU);
    }
    PrintResult("list_seconds", Median(OurList));
    PrintResult("uidl_seconds", Median(OurUidl));
    PrintResult("list_curl_seconds", Median(CurlList));
    PrintResult("uidl_curl_seconds", Median(CurlUidl));
    PrintResult("list_ratio", Median(OurList) / Median(CurlList));
    PrintResult("uidl_ratio", Median(OurUidl) / Median(CurlList));
    Session.Quit();
    return 0;
}

int Map(size_t Messages, int Runs)
{
    DovecotHarness::Options Options;
    Options.messages = { "From: =?ISO-8859-1?Q?J=FCrgen?= <j@example.org>\r\nSubject: =?UTF-8?Q?Gr=C3=BC=C3=9Fe?=\r\n"
                         "Date: Mon, 7 Dec 2026 22:00:00 +0100\r\n\r\nHallo\r\n" };
    Options.extraMessages = Messages - 1;
    DovecotHarness Server(Options);
    if (!StartServer(Server))
        return 1;
    TWindowSession Session;
    if (!LogIn(Session, Server))
        return 1;
    TWaitInputGuard Guard(nullptr, [] {});
    std::vector<double> Seconds;
    for (int Run = 0; Run < Runs; ++Run) {
        Session.ClearLog();
        TMailboxMapWindow Window(Session.Main().Conversation(), Guard, &Session.Main());
        const auto Start = std::chrono::steady_clock::now();
        const bool Built = Window.Build(false);
        const double Took = std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
        if (!Built || Window.Rows().size() != Messages || Window.Rows().front().Subject != "Grüße") {
            std::printf("map failed\n");
            return 1;
        }
        std::printf("run %d: map of %zu messages %.3f s (%s)\n", Run + 1, Window.Rows().size(), Took,
            Window.Pipelined() ? "pipelined" : "one by one");
        Seconds.push_back(Took);
    }
    PrintResult("map_seconds", Median(Seconds));
    Session.Quit();
    return 0;
}

// A listener that never accepts: the kernel completes the handshake and the
// greeting never comes.
int SilentListener(uint16_t& Port)
{
    const int Listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in Address {};
    Address.sin_family = AF_INET;
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t Length = sizeof Address;
    if (Listener < 0 || ::bind(Listener, reinterpret_cast<sockaddr*>(&Address), sizeof Address) != 0
        || ::listen(Listener, 1) != 0 || ::getsockname(Listener, reinterpret_cast<sockaddr*>(&Address), &Length) != 0) {
        if (Listener >= 0)
            ::close(Listener);
        return -1;
    }
    Port = ntohs(Address.sin_port);
    return Listener;
}

int Wait(int Seconds)
{
    uint16_t Port = 0;
    const int Listener = SilentListener(Port);
    if (Listener < 0) {
        std::printf("no loopback listener\n");
        return 1;
    }
    TWindowSession Session;
    Session.Main().Conversation().SetWaitTimeout(Seconds);
    const double CpuStart = ProcessCpuSeconds();
    const auto Start = BenchClock::now();
    Session.Connect(Port); // waits for the greeting until the time-out
    const double Wall = SecondsSince(Start);
    const double Cpu = ProcessCpuSeconds() - CpuStart;
    ::close(Listener);
    std::printf("wait for a greeting: wall %.3f s, processor %.4f s, error \"%s\"\n", Wall, Cpu,
        Session.Main().Conversation().ErrorMessage().c_str());
    PrintResult("wait_wall_seconds", Wall);
    PrintResult("wait_cpu_ratio", Cpu / Wall);
    return Wall >= Seconds ? 0 : 1;
}

// A server that greets and then sends lines nobody asked for until Seconds are
// up, while the window is idle: the log fills up to its limit, the rest is only
// counted, so memory must stop growing at about what the log holds.
int Flood(int Seconds)
{
    uint16_t Port = 0;
    const int Listener = SilentListener(Port);
    if (Listener < 0) {
        std::printf("no loopback listener\n");
        return 1;
    }
    uint64_t Sent = 0;
    std::thread Server([&] {
        const int Client = ::accept(Listener, nullptr, nullptr);
        if (Client < 0)
            return;
        const std::string Greeting = "+OK bereit\r\n";
        std::string Lines;
        while (Lines.size() < 65536)
            Lines += "Zeile einer Flut, um die niemand gebeten hat, so schnell wie die Leitung sie trägt\r\n";
        bool Open = ::send(Client, Greeting.data(), Greeting.size(), MSG_NOSIGNAL) > 0;
        const auto End = BenchClock::now() + std::chrono::seconds(Seconds);
        while (Open && BenchClock::now() < End) {
            const ssize_t Count = ::send(Client, Lines.data(), Lines.size(), MSG_NOSIGNAL);
            Open = Count > 0;
            Sent += Open ? static_cast<uint64_t>(Count) : 0;
        }
        ::close(Client);
    });
    TWindowSession Session;
    const long Baseline = StatusKb("VmRSS");
    ResetPeakResident();
    const bool Greeted = Session.Connect(Port);
    // The window reads the flood between actions; the server's close ends it.
    const auto Deadline = BenchClock::now() + std::chrono::seconds(Seconds + 30);
    while (Session.Main().Conversation().Transport().Connected() && BenchClock::now() < Deadline)
        QApplication::processEvents(QEventLoop::AllEvents, 50);
    const long Peak = StatusKb("VmHWM");
    Server.join();
    ::close(Listener);
    const double GrowthMb = (Peak - Baseline) / 1024.0;
    std::printf(
        "flood of %.0f MB in %d s: resident before %ld KB, peak %ld KB, growth %.0f MB, offline at the end: %s\n",
        static_cast<double>(Sent) / Megabyte, Seconds, Baseline, Peak, GrowthMb,
        Session.Main().Conversation().Transport().Connected() ? "no" : "yes");
    PrintResult("flood_sent_mb", static_cast<double>(Sent) / Megabyte);
    PrintResult("flood_memory_mb", GrowthMb);
    return Greeted ? 0 : 1;
}

// The program's own start sequence up to the shown main window; then one byte
// on descriptor 3 tells the parent, and the child ends.
int StartChild(int argc, char** argv)
{
    QApplication Application(argc, argv);
    PrepareBrieflotseApplication();
    TBrieflotseWindows Windows;
    Windows.Show();
    QCoreApplication::processEvents(); // the first paint
    const char Shown = 1;
    return ::write(3, &Shown, 1) == 1 ? 0 : 1;
}

int Start(const char* Self, int Runs)
{
    std::vector<double> Times;
    for (int Run = 0; Run < Runs; ++Run) {
        int Pipe[2];
        if (::pipe(Pipe) != 0)
            return 1;
        posix_spawn_file_actions_t Actions;
        posix_spawn_file_actions_init(&Actions);
        posix_spawn_file_actions_adddup2(&Actions, Pipe[1], 3);
        char* Argv[] = { const_cast<char*>(Self), const_cast<char*>("start-child"), nullptr };
        const auto Begin = BenchClock::now();
        pid_t Child = -1;
        const int Failed = ::posix_spawn(&Child, Self, &Actions, nullptr, Argv, environ);
        posix_spawn_file_actions_destroy(&Actions);
        ::close(Pipe[1]);
        pollfd Wait { Pipe[0], POLLIN, 0 };
        char Byte = 0;
        const bool Shown = !Failed && ::poll(&Wait, 1, 30000) == 1 && ::read(Pipe[0], &Byte, 1) == 1;
        const double Seconds = SecondsSince(Begin);
        ::close(Pipe[0]);
        int Status = 0;
        if (!Failed)
            ::waitpid(Child, &Status, 0);
        if (!Shown) {
            std::printf("the window did not show\n");
            return 1;
        }
        std::printf("run %d: %.3f s\n", Run + 1, Seconds);
        Times.push_back(Seconds);
    }
    PrintResult("start_seconds", Median(Times));
    return 0;
}

int Usage()
{
    std::printf("usage: bench_pop3 retr <megabytes> <runs> | retr-tls <megabytes> <runs> | line <megabytes> <runs> | "
                "big <megabytes> | list <messages> <runs> | wait <seconds> | start <runs>\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return Usage();
    const std::string Case = argv[1];
    if (Case == "start-child")
        return StartChild(argc, argv);
    if (Case == "start" && argc == 3)
        return Start("/proc/self/exe", std::atoi(argv[2]));

    QApplication Application(argc, argv);
    InitBrieflotseResources();
    if (Case == "retr" && argc == 4)
        return Retr(static_cast<size_t>(std::atol(argv[2])), std::atoi(argv[3]));
    if (Case == "line" && argc == 4)
        return Line(static_cast<size_t>(std::atol(argv[2])), std::atoi(argv[3]));
    if (Case == "big" && argc == 3)
        return Big("/proc/self/exe", static_cast<size_t>(std::atol(argv[2])));
    if (Case == "big-child" && argc == 6)
        return BigChild(
            static_cast<uint16_t>(std::atoi(argv[2])), argv[3], argv[4], static_cast<size_t>(std::atol(argv[5])));
    if (Case == "retr-tls" && argc == 4)
        return RetrTls(static_cast<size_t>(std::atol(argv[2])), std::atoi(argv[3]));
    if (Case == "map" && argc == 4)
        return Map(static_cast<size_t>(std::atol(argv[2])), std::atoi(argv[3]));
    if (Case == "list" && argc == 4)
        return List(static_cast<size_t>(std::atol(argv[2])), std::atoi(argv[3]));
    if (Case == "wait" && argc == 3)
        return Wait(std::atoi(argv[2]));
    if (Case == "flood" && argc == 3)
        return Flood(std::atoi(argv[2]));
    return Usage();
}
