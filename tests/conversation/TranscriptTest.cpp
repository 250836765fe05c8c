// The reply reader as transcripts on a scripted transport: the test decides
// how the server's bytes are cut into reads and where a failure strikes, and
// reads back the log, the bytes written and what is left unread.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include "conversation/POP3Conversation.h"
#include "tests/conversation/RecordingView.h"
#include "tests/support/FakeTransport.h"

using testing::ElementsAre;
using testing::ElementsAreArray;

namespace {

using TLines = std::vector<std::string>;
using TChunks = std::vector<std::string>;

// One conversation on a scripted transport, connected after its greeting.
struct TSession {
    TFakeTransport Server;
    TRecordingView View;
    TPOP3Conversation Conversation { View, Server };

    explicit TSession(const TChunks& Reply = {})
    {
        Server.Chunk("+OK bereit\r\n");
        for (const std::string& Chunk : Reply)
            Server.Chunk(Chunk);
        Conversation.ButtonVerbindenClick("pop.example");
    }

    // The log lines an action added after the command line.
    TLines Send(const std::string& Command)
    {
        const size_t Before = View.LogLines().size() + 2;
        Conversation.SendAction(Command);
        const TLines Lines = View.LogLines();
        return TLines(Lines.begin() + static_cast<std::ptrdiff_t>(std::min(Before, Lines.size())), Lines.end());
    }
};

// Every cut into two reads, and one read per byte.
std::vector<TChunks> Chunkings(const std::string& Bytes)
{
    std::vector<TChunks> All;
    for (size_t Cut = 1; Cut < Bytes.size(); ++Cut)
        All.push_back({ Bytes.substr(0, Cut), Bytes.substr(Cut) });
    TChunks Bytewise;
    for (char C : Bytes)
        Bytewise.push_back(std::string(1, C));
    All.push_back(Bytewise);
    return All;
}

std::string Joined(const TChunks& Chunks)
{
    std::string All;
    for (const std::string& Chunk : Chunks)
        All += Chunk + "|";
    return All;
}

struct TReplyCase {
    const char* Command;
    std::string Reply;
    TLines Logged;
};

// Every case checks the same: the reply logged once and whole, the next
// read left for the next command, the counters equal to the bytes.
void ExpectExchange(const TReplyCase& Case, const TChunks& Chunks)
{
    SCOPED_TRACE(std::string(Case.Command) + " as " + Joined(Chunks));
    TChunks Script = Chunks;
    Script.push_back("+OK\r\n");
    TSession Session(Script);
    EXPECT_THAT(Session.Send(Case.Command), ElementsAreArray(Case.Logged));
    EXPECT_FALSE(Session.Conversation.ErrorFlag()) << Session.Conversation.ErrorMessage();
    EXPECT_EQ(Session.Server.StepsLeft(), 1u);
    EXPECT_THAT(Session.Send("NOOP"), ElementsAre("+OK"));
    EXPECT_EQ(Session.Server.Sent(), std::string(Case.Command) + "\r\nNOOP\r\n");
    EXPECT_EQ(Session.View.Received, Session.Server.BytesReceived());
    EXPECT_EQ(Session.View.StatusText, "Bereit");
}

} // namespace

TEST(Transcript, HandedInTransportGetsThePop3Settings)
{
    TSession Session;
    EXPECT_EQ(Session.Server.TargetPort(), "pop3");
    EXPECT_EQ(Session.Server.Timeout(), 30);
    EXPECT_EQ(Session.Server.TargetHost(), "pop.example");
    EXPECT_THAT(Session.View.LogLines(), ElementsAre("+OK bereit"));
}

TEST(Transcript, SingleLineReplySplitAtEveryPosition)
{
    const TReplyCase Cases[] = {
        { "STAT", "+OK 2 320\r\n", { "+OK 2 320" } },
        { "DELE 1", "-ERR no such message\r\n", { "-ERR no such message" } },
        { "NOOP", "\r\n", { "" } },
        // A lone CR is no line end, even at the end of a read.
        { "RSET", "+OK a\rb\r\n", { "+OK a\u2028b" } },
    };
    for (const TReplyCase& Case : Cases)
        for (const TChunks& Chunks : Chunkings(Case.Reply))
            ExpectExchange(Case, Chunks);
}

TEST(Transcript, MultiLineReplySplitAtEveryPosition)
{
    const TReplyCase Cases[] = {
        { "LIST", "+OK 2 messages\r\n1 120\r\n2 200\r\n.\r\n", { "+OK 2 messages", "1 120", "2 200", "." } },
        // Stuffed dots, a dot with text and an empty line are body lines.
        { "RETR 1", "+OK 30 octets\r\nSubject: x\r\n\r\n..\r\n.x\r\n.\r\n",
            { "+OK 30 octets", "Subject: x", "", "..", ".x", "." } },
        { "UIDL", "+OK\r\n.\r\n", { "+OK", "." } },
    };
    for (const TReplyCase& Case : Cases) {
        for (const TChunks& Chunks : Chunkings(Case.Reply))
            ExpectExchange(Case, Chunks);
        // The terminator in three reads, cut at every pair of places.
        const size_t Body = Case.Reply.size() - 5;
        for (size_t First = 1; First < 5; ++First)
            for (size_t Second = First + 1; Second < 5; ++Second)
                ExpectExchange(Case,
                    { Case.Reply.substr(0, Body + First), Case.Reply.substr(Body + First, Second - First),
                        Case.Reply.substr(Body + Second) });
    }
}

TEST(Transcript, StatusAndTerminatorInOneReadEndTheReply)
{
    const TReplyCase Cases[] = {
        { "LIST", "+OK 0 messages\r\n.\r\n", { "+OK 0 messages", "." } },
        { "UIDL", "+OK\r\n.\r\n", { "+OK", "." } },
        { "RETR 1", "+OK\r\nx\r\n.\r\n", { "+OK", "x", "." } },
    };
    for (const TReplyCase& Case : Cases)
        ExpectExchange(Case, { Case.Reply });
}

TEST(Transcript, NegativeStatusToAMultiLineCommandReadsNoBody)
{
    const TReplyCase Cases[] = {
        { "RETR 9", "-ERR no such message\r\n", { "-ERR no such message" } },
        { "LIST", "-ERR not now\r\n", { "-ERR not now" } },
        { "TOP 1 0", "-ERR\r\n", { "-ERR" } },
    };
    for (const TReplyCase& Case : Cases)
        ExpectExchange(Case, { Case.Reply });
    // What came in the same read as the status line is logged, not dropped.
    const TReplyCase Behind { "RETR 2", "-ERR gone\r\n1 x\r\n", { "-ERR gone", "1 x" } };
    ExpectExchange(Behind, { Behind.Reply });
    ExpectExchange(Behind, { "-ERR gone\r\n1 ", "x\r\n" });
}

TEST(Transcript, MultiLineAnswerToASingleLineCommandIsLeftForThePoll)
{
    struct {
        const char* Command;
        TChunks Chunks;
        TLines Reply;
        TLines Polled;
    } const Cases[] = {
        { "LIST 1", { "+OK 2 messages\r\n", "1 120\r\n2 200\r\n.\r\n" }, { "+OK 2 messages" },
            { "1 120", "2 200", "." } },
        { "NOOP", { "+OK\r\n", "1 x\r\n2 ", "y\r\n", ".\r\n" }, { "+OK" }, { "1 x", "2 y", "." } },
    };
    for (const auto& Case : Cases) {
        SCOPED_TRACE(Case.Command);
        TSession Session(Case.Chunks);
        EXPECT_THAT(Session.Send(Case.Command), ElementsAreArray(Case.Reply));
        TLines Polled;
        for (int Polls = 0; Session.Server.BytesAvailable() > 0 && Polls < 10; ++Polls) {
            const size_t Before = Session.View.LogLines().size();
            Session.Conversation.PollUnexpectedData();
            const TLines Lines = Session.View.LogLines();
            Polled.insert(Polled.end(), Lines.begin() + static_cast<std::ptrdiff_t>(Before), Lines.end());
        }
        EXPECT_THAT(Polled, ElementsAreArray(Case.Polled));
        EXPECT_FALSE(Session.Conversation.ErrorFlag()) << Session.Conversation.ErrorMessage();
        EXPECT_EQ(Session.Server.StepsLeft(), 0u);
        EXPECT_EQ(Session.View.Received, Session.Server.BytesReceived());
    }
}

TEST(Transcript, FailureInAReplyKeepsTheFlushedLinesAndDropsThePartialOne)
{
    enum class TFailure { TimeOut, Reset, Close };
    struct {
        const char* Command;
        TChunks Chunks;
        TFailure Failure;
        TLines Logged;
        const char* Error;
    } const Cases[] = {
        { "RETR 1", { "+OK 300 octets\r\n", "Subject: x\r\n\r\nHal" }, TFailure::TimeOut,
            { "+OK 300 octets", "Subject: x", "" }, "12000 - Request timed out" },
        { "RETR 1", { "+OK 300 octets\r\n", "Subject: x\r\n\r\nHal" }, TFailure::Reset,
            { "+OK 300 octets", "Subject: x", "" }, "10054 - Connection reset by peer" },
        { "RETR 1", { "+OK 300 octets\r\n", "Subject: x\r\n\r\nHal" }, TFailure::Close,
            { "+OK 300 octets", "Subject: x", "" }, "10057 - Socket is not connected" },
        // The line end completes the line even when nothing follows it.
        { "LIST", { "+OK 2\r\n1 1\r", "\n" }, TFailure::TimeOut, { "+OK 2", "1 1" }, "12000 - Request timed out" },
        // A terminator without its line end is no terminator.
        { "LIST", { "+OK 2\r\n1 1\r\n." }, TFailure::TimeOut, { "+OK 2", "1 1" }, "12000 - Request timed out" },
        { "LIST", { "+OK 2 mess" }, TFailure::TimeOut, {}, "12000 - Request timed out" },
        { "NOOP", { "+OK hal" }, TFailure::Close, {}, "10057 - Socket is not connected" },
    };
    for (const auto& Case : Cases) {
        SCOPED_TRACE(std::string(Case.Command) + " as " + Joined(Case.Chunks));
        TSession Session(Case.Chunks);
        switch (Case.Failure) {
        case TFailure::TimeOut:
            Session.Server.TimeOut();
            break;
        case TFailure::Reset:
            Session.Server.Reset();
            break;
        case TFailure::Close:
            Session.Server.Close();
            break;
        }
        Session.Server.Chunk("late\r\n");
        EXPECT_THAT(Session.Send(Case.Command), ElementsAreArray(Case.Logged));
        EXPECT_EQ(Session.Conversation.ErrorMessage(), std::string("Winsock-Fehler: ") + Case.Error);
        EXPECT_TRUE(Session.View.GuidanceIsError);
        EXPECT_TRUE(Session.View.Connected);
        EXPECT_FALSE(Session.Conversation.Busy());
        // Nothing read after the failure, and polling waits for the next action.
        EXPECT_EQ(Session.Server.StepsLeft(), 1u);
        Session.Conversation.PollUnexpectedData();
        EXPECT_EQ(Session.Server.StepsLeft(), 1u);
    }
}

TEST(Transcript, AcceptedQuitClosesTheConnection)
{
    struct {
        const char* Command;
        const char* Reply;
        bool Closes;
    } const Cases[] = {
        { "QUIT", "+OK bye\r\n", true },
        { "quit", "+OKAY\r\n", true },
        { "QUIT", "-ERR not now\r\n", false },
    };
    for (const auto& Case : Cases) {
        SCOPED_TRACE(Case.Reply);
        TSession Session({ Case.Reply });
        Session.Send(Case.Command);
        EXPECT_EQ(Session.Server.Sent(), "QUIT\r\n");
        EXPECT_EQ(Session.Server.Connected(), !Case.Closes);
        EXPECT_EQ(Session.View.Connected, !Case.Closes);
        EXPECT_EQ(Session.View.StatusText, Case.Closes ? "Offline" : "Bereit");
        EXPECT_FALSE(Session.Conversation.ErrorFlag()) << Session.Conversation.ErrorMessage();
    }
}
