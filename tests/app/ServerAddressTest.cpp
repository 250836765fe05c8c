// Server addresses as typed, given on the command line or handed over by the
// desktop's pop3:// handler (RFC 2384).

#include <gtest/gtest.h>

#include "app/ServerAddress.h"

namespace {

struct TCase {
    const char* Text;
    bool Valid;
    const char* Target;
    const char* User;
    const char* Mechanism;
    const char* Message;
};

const TCase Cases[] = {
    // Plain text is handed on as typed.
    { "127.0.0.1:12310", true, "127.0.0.1:12310", "", "", "" },
    { "[::1]:110", true, "[::1]:110", "", "", "" },
    { "pop.example.org", true, "pop.example.org", "", "", "" },
    // A mail address is no server.
    { "lotse@127.0.0.1", false, "", "", "", "" },
    // RFC 2384 and its TLS twin.
    { "pop3://lotse@127.0.0.1:12310/1", true, "pop3://127.0.0.1:12310", "lotse", "", "1" },
    { "POP://anna;AUTH=+APOP@mail.example.org", true, "pop3://mail.example.org", "anna", "+APOP", "" },
    { "pop3s://a%40b.de;auth=scram-sha-256@[::1]:995/", true, "pop3s://[::1]:995", "a@b.de", "SCRAM-SHA-256", "" },
    { "pops://x;AUTH=*@h", true, "pop3s://h", "x", "*", "" },
    { "pop3://127.0.0.1:/", true, "pop3://127.0.0.1", "", "", "" },
    { "pop3://ho%73t", true, "pop3://host", "", "", "" },
    // Hostile or broken ones are refused, never looked up.
    { "pop3://a@b@127.0.0.1", false, "", "", "", "" },
    { "pop3://127.0.0.1%40evil", false, "", "", "", "" },
    { "pop3://a%0D%0ADELE%201@h", false, "", "", "", "" },
    { "pop3://%c3%a4@h", false, "", "", "", "" },
    { "pop3://a%@h", false, "", "", "", "" },
    { "pop3://@h", false, "", "", "", "" },
    { "pop3://a:secret@h", false, "", "", "", "" },
    { "pop3://a;AUTHX=PLAIN@h", false, "", "", "", "" },
    { "pop3://a;AUTH=@h", false, "", "", "", "" },
    { "pop3://a;AUTH=PL%20AIN@h", false, "", "", "", "" },
    { "pop3://h:0", false, "", "", "", "" },
    { "pop3://h:65536", false, "", "", "", "" },
    { "pop3://h:pop3", false, "", "", "", "" },
    { "pop3://h/RETR", false, "", "", "", "" },
    { "pop3://h/1234567890", false, "", "", "", "" },
    { "pop3://", false, "", "", "", "" },
    { "pop3://[::1", false, "", "", "", "" },
    { "pop3://[::1]x", false, "", "", "", "" },
    { "pop3://h o", false, "", "", "", "" },
};

TEST(ServerAddressTest, ParsesTypedTextAndRfc2384Addresses)
{
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Text);
        const TServerAddress Address = ParseServerAddress(Case.Text);
        EXPECT_EQ(Address.Valid, Case.Valid);
        if (!Case.Valid)
            continue;
        EXPECT_EQ(Address.Target, Case.Target);
        EXPECT_EQ(Address.User, Case.User);
        EXPECT_EQ(Address.Mechanism, Case.Mechanism);
        EXPECT_EQ(Address.Message, Case.Message);
    }
}

} // namespace
