// How a command line is read, once, when it is sent.
#include <gtest/gtest.h>

#include <string>

#include "conversation/Command.h"

namespace {

constexpr size_t kNone = std::string::npos;

TEST(ParseCommand, ReadsEachLineTheWayServersDo)
{
    const std::string Long253 = "NOOP " + std::string(248, 'x');
    struct {
        std::string Line;
        TCommandKind Kind;
        const char* Word;
        int32_t Number;
        size_t SecretStart;
        bool MultiLine;
    } const Cases[] = {
        // Servers split at the first blank: a trailing blank is still STLS.
        { "STLS", TCommandKind::Stls, "STLS", 0, kNone, false },
        { "STLS ", TCommandKind::Stls, "STLS", 0, kNone, false },
        { "stls", TCommandKind::Stls, "STLS", 0, kNone, false },
        { "QUITX", TCommandKind::Other, "QUITX", 0, kNone, false },
        { "quit\r\n", TCommandKind::Quit, "QUIT", 0, kNone, false },
        { "QUIT now", TCommandKind::Quit, "QUIT", 0, kNone, false },
        { "QUI", TCommandKind::Other, "QUI", 0, kNone, false },
        // What the program uses for its own events is a word like any other.
        { "conn", TCommandKind::Other, "CONN", 0, kNone, false },
        { "WELC", TCommandKind::Other, "WELC", 0, kNone, false },
        { "", TCommandKind::Empty, "", 0, kNone, false },
        { "LIST", TCommandKind::List, "LIST", 0, kNone, true },
        { "LIST 2", TCommandKind::List, "LIST", 2, kNone, false },
        { "LIST r", TCommandKind::List, "LIST", 0, kNone, true },
        { "UIDL 0", TCommandKind::Uidl, "UIDL", 0, kNone, true },
        { "RETR 12", TCommandKind::Retr, "RETR", 12, kNone, true },
        { "RETR", TCommandKind::Retr, "RETR", 0, kNone, false },
        { "RETR x", TCommandKind::Retr, "RETR", 0, kNone, false },
        { "RETR 1x", TCommandKind::Retr, "RETR", 0, kNone, false },
        { "RETR 99999999999", TCommandKind::Retr, "RETR", 0, kNone, false },
        { "LIST  3", TCommandKind::List, "LIST", 0, kNone, true },
        { "list -1", TCommandKind::List, "LIST", -1, kNone, true },
        { "dele +7", TCommandKind::Dele, "DELE", 7, kNone, false },
        { "r\xc3\xa4tr 1", TCommandKind::Other, "R\xc3\xa4TR", 1, kNone, false },
        { "TOP 3 0", TCommandKind::Top, "TOP", 3, kNone, true },
        { "CAPAX", TCommandKind::Other, "CAPAX", 0, kNone, false },
        { "TOP", TCommandKind::Top, "TOP", 0, kNone, false },
        { "LISTX", TCommandKind::Other, "LISTX", 0, kNone, false },
        { "CAPA", TCommandKind::Capa, "CAPA", 0, kNone, true },
        { "AUTH", TCommandKind::Auth, "AUTH", 0, kNone, true },
        { "AUTH  ", TCommandKind::Auth, "AUTH", 0, kNone, true },
        { "AUTH PLAIN", TCommandKind::Auth, "AUTH", 0, kNone, false },
        { "AUTH PLAIN ", TCommandKind::Auth, "AUTH", 0, kNone, false },
        { "AUTH PLAIN AGtpbQBwdw==", TCommandKind::Auth, "AUTH", 0, 11, false },
        { "AUTH XOAUTH2 dXNlcj1", TCommandKind::Auth, "AUTH", 0, 13, false },
        { "PASS geheim", TCommandKind::Pass, "PASS", 0, 5, false },
        { "PASS", TCommandKind::Pass, "PASS", 0, kNone, false },
        { "APOP kim c4c9334bac560ecc979e58001b3e22fb", TCommandKind::Apop, "APOP", 0, 9, false },
        { "APOP kim", TCommandKind::Apop, "APOP", 0, kNone, false },
        // The longest lines the command field can send.
        { Long253, TCommandKind::Noop, "NOOP", 0, kNone, false },
        { Long253 + "x", TCommandKind::Noop, "NOOP", 0, kNone, false },
    };
    for (const auto& Case : Cases) {
        SCOPED_TRACE(Case.Line.substr(0, 40));
        const TCommand Command = ParseCommand(Case.Line);
        EXPECT_EQ(Command.Kind, Case.Kind);
        EXPECT_EQ(Command.Word, Case.Word);
        EXPECT_EQ(Command.Number, Case.Number);
        EXPECT_EQ(Command.SecretStart, Case.SecretStart);
        EXPECT_EQ(Command.MultiLine, Case.MultiLine);
    }
}

} // namespace
