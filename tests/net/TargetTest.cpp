// Target, time-out and error-table rules of the transport.
#include "net/SmartWinsock.h"
#include "net/WinsockErrors.h"
#include "net/WinsockTarget.h"

#include <cerrno>
#include <netdb.h>

#include <gtest/gtest.h>

TEST(WinsockTimeout, DefaultsToTwentyAndStaysWithinOneToSixty)
{
    TSmartWinsock socket;
    EXPECT_EQ(socket.Timeout(), 20);
    socket.SetTimeout(0);
    EXPECT_EQ(socket.Timeout(), 1);
    socket.SetTimeout(-5);
    EXPECT_EQ(socket.Timeout(), 1);
    socket.SetTimeout(61);
    EXPECT_EQ(socket.Timeout(), 60);
    socket.SetTimeout(255);
    EXPECT_EQ(socket.Timeout(), 60);
    socket.SetTimeout(37);
    EXPECT_EQ(socket.Timeout(), 37);
}

TEST(WinsockTarget, FreshComponentAimsAtTheLocalEchoService)
{
    TSmartWinsock socket;
    EXPECT_EQ(socket.TargetHost(), TSmartWinsock::LocalHostName());
    EXPECT_EQ(socket.TargetPort(), "echo");
}

TEST(WinsockTarget, PortAfterColonStaysForLaterPlainHosts)
{
    TSmartWinsock socket;
    socket.SetTargetPort("pop3");
    socket.SetTargetHost("192.168.1.5:110");
    EXPECT_EQ(socket.TargetHost(), "192.168.1.5");
    EXPECT_EQ(socket.TargetPort(), "110");

    socket.SetTargetHost("mail.example.org");
    EXPECT_EQ(socket.TargetHost(), "mail.example.org");
    EXPECT_EQ(socket.TargetPort(), "110");

    // Only the first colon splits; an empty port part leaves the port alone.
    socket.SetTargetHost("a:b:c");
    EXPECT_EQ(socket.TargetHost(), "a");
    EXPECT_EQ(socket.TargetPort(), "b:c");
    socket.SetTargetHost("b:");
    EXPECT_EQ(socket.TargetHost(), "b");
    EXPECT_EQ(socket.TargetPort(), "b:c");
}

TEST(WinsockTarget, BracketedIpv6LiteralKeepsItsColons)
{
    EXPECT_EQ(SplitTarget("[::1]").Host, "[::1]");
    EXPECT_EQ(SplitTarget("[::1]").Port, "");
    EXPECT_EQ(SplitTarget("[fe80::1]:995").Host, "[fe80::1]");
    EXPECT_EQ(SplitTarget("[fe80::1]:995").Port, "995");
    EXPECT_EQ(HostForLookup("[::1]"), "::1");
    EXPECT_EQ(HostForLookup("mail.example.org"), "mail.example.org");
    // Without brackets the first colon splits, as it always did.
    EXPECT_EQ(SplitTarget("::1").Host, "");
    EXPECT_EQ(SplitTarget("::1").Port, ":1");
    // Garbage behind the bracket is no literal.
    EXPECT_EQ(SplitTarget("[::1]x:5").Host, "[");
}

// One component through the texts in order: a port stays for later hosts,
// and with port 995 so does TLS.
TEST(WinsockTarget, SchemeOrPortAsksForTlsFromTheFirstByte)
{
    struct Case {
        const char* Text;
        const char* Host;
        const char* Port;
        bool Tls;
    };
    const Case cases[] = {
        { "mail.example.org", "mail.example.org", "pop3", false },
        { "pop3s://mail.example.org", "mail.example.org", "995", true },
        { "other.example.org", "other.example.org", "995", true },
        { "pop3://mail.example.org", "mail.example.org", "110", false },
        { "POP3S://[::1]:1995/", "[::1]", "1995", true },
        { "pop3://mail.example.org:995", "mail.example.org", "995", false },
        { "mail.example.org:pop3s", "mail.example.org", "pop3s", true },
        { "mail.example.org:110", "mail.example.org", "110", false },
        { "mail.example.org:995", "mail.example.org", "995", true },
        { "pop3s://mail.example.org:110", "mail.example.org", "110", true },
    };
    TSmartWinsock socket;
    socket.SetTargetPort("pop3");
    for (const Case& c : cases) {
        socket.SetTargetHost(c.Text);
        EXPECT_EQ(socket.TargetHost(), c.Host) << c.Text;
        EXPECT_EQ(socket.TargetPort(), c.Port) << c.Text;
        EXPECT_EQ(socket.UseTls(), c.Tls) << c.Text;
    }
    // A choice made directly holds until the next target.
    socket.SetTargetHost("mail.example.org:995");
    socket.SetUseTls(false);
    EXPECT_FALSE(socket.UseTls());
    socket.SetTargetHost("mail.example.org");
    EXPECT_TRUE(socket.UseTls());
}

TEST(WinsockTarget, DecimalNumbersArePortsEverythingElseIsAService)
{
    uint16_t port = 0;
    EXPECT_TRUE(ParsePortNumber("110", port));
    EXPECT_EQ(port, 110);
    EXPECT_TRUE(ParsePortNumber("0", port));
    EXPECT_EQ(port, 0);
    EXPECT_TRUE(ParsePortNumber("65646", port)); // low 16 bits
    EXPECT_EQ(port, 110);
    EXPECT_FALSE(ParsePortNumber("-1", port));
    EXPECT_FALSE(ParsePortNumber("pop3", port));
    EXPECT_FALSE(ParsePortNumber("", port));
    EXPECT_FALSE(ParsePortNumber("11 0", port));
    EXPECT_FALSE(ParsePortNumber("99999999999", port)); // beyond a 32-bit number
}

TEST(WinsockErrors, TextsComeFromTheTableOnly)
{
    EXPECT_EQ(TSmartWinsock::ErrorText(0), "");
    EXPECT_EQ(TSmartWinsock::ErrorText(10010), "");
    EXPECT_EQ(TSmartWinsock::ErrorText(20005), "");
    EXPECT_EQ(TSmartWinsock::ErrorText(10049), "Can't assign requested address");
    EXPECT_EQ(TSmartWinsock::ErrorText(11004), "No Data");
    EXPECT_EQ(TSmartWinsock::ErrorText(12000), "Request timed out");
}

// Linux numbers most socket errors differently from BSD.
TEST(WinsockErrors, LinuxErrnoMapsToWinsockNumbers)
{
    const std::pair<int, int32_t> cases[] = {
        { ECONNREFUSED, 10061 },
        { ECONNRESET, 10054 },
        { ETIMEDOUT, 10060 },
        { EHOSTUNREACH, 10065 },
        { ENETUNREACH, 10051 },
        { EADDRNOTAVAIL, 10049 },
        { EADDRINUSE, 10048 },
        { ECONNABORTED, 10053 },
        { EPIPE, 10058 },
        { EMFILE, 10024 },
        { EACCES, 10013 },
        { EINVAL, 10022 },
        { EWOULDBLOCK, 10035 },
        { EINPROGRESS, 10036 },
        { ENOTCONN, 10057 },
        { EISCONN, 10056 },
    };
    for (const auto& [error, code] : cases)
        EXPECT_EQ(WinsockCodeFromErrno(error), code) << "errno " << error;

    EXPECT_EQ(WinsockCodeFromResolver(EAI_NONAME, 0), 11001);
    EXPECT_EQ(WinsockCodeFromResolver(EAI_AGAIN, 0), 11002);
    EXPECT_EQ(WinsockCodeFromResolver(EAI_FAIL, 0), 11003);
    EXPECT_EQ(WinsockCodeFromResolver(EAI_NODATA, 0), 11004);
    EXPECT_EQ(WinsockCodeFromResolver(EAI_SYSTEM, ECONNREFUSED), 10061);
}
