// Command and reply rules, log line splitting and the assembly of reply bodies.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "conversation/ReplyRules.h"
#include "conversation/RetrievedMessage.h"

namespace {

using Lines = std::vector<std::string>;

// Runs the body reader over Chunks (the first one is the status chunk's tail)
// and reports what went to the log and what was held back.
struct TBodyRun {
    std::vector<std::string> Logged;
    std::string Held;
    std::string Behind;
    bool Complete = false;
    size_t ChunksUsed = 0;
};

TBodyRun RunBody(const std::vector<std::string>& Chunks)
{
    TBodyRun Run;
    Run.Held = Chunks.empty() ? std::string() : Chunks[0];
    size_t Next = 1;
    Run.Complete = CollectBody(
        Run.Held,
        [&](std::string& Chunk) {
            // A socket never hands over an empty chunk while the peer is there.
            while (Next < Chunks.size() && Chunks[Next].empty())
                ++Next;
            if (Next >= Chunks.size())
                return false;
            Chunk = Chunks[Next++];
            return true;
        },
        [&](const std::string& Text) { Run.Logged.push_back(Text); }, Run.Behind);
    Run.ChunksUsed = Next;
    return Run;
}

std::string Joined(const TBodyRun& Run)
{
    std::string All;
    for (const std::string& Piece : Run.Logged)
        All += Piece;
    return All + Run.Held;
}

} // namespace

TEST(ReplyRules, PositiveRepliesAndStatusWords)
{
    EXPECT_TRUE(IsPositiveReply("+OK"));
    EXPECT_TRUE(IsPositiveReply("+ok 1 2"));
    EXPECT_TRUE(IsPositiveReply("+OKAY"));
    EXPECT_FALSE(IsPositiveReply("-ERR"));
    EXPECT_FALSE(IsPositiveReply("+O"));
    EXPECT_FALSE(IsPositiveReply(""));

    EXPECT_EQ(ReplyStatusWord("+OK 2 320\r\n"), "+OK");
    EXPECT_EQ(ReplyStatusWord("+OK\r\n1 2\r\n"), "+OK");
    EXPECT_EQ(ReplyStatusWord("-ERR"), "-ERR");
    EXPECT_EQ(ReplyStatusWord(""), "");
    EXPECT_EQ(ReplyStatusWord(" +OK"), "");
}

TEST(ReplyRules, UpperCasingTouchesOnlyTheCommandWord)
{
    EXPECT_EQ(UpperCaseCommandWord("retr 1"), "RETR 1");
    EXPECT_EQ(UpperCaseCommandWord("user MixedCase"), "USER MixedCase");
    EXPECT_EQ(UpperCaseCommandWord("noop"), "NOOP");
    EXPECT_EQ(UpperCaseCommandWord(""), "");
    EXPECT_EQ(UpperCaseCommandWord("pass s\xc3\xa4kret"), "PASS s\xc3\xa4kret");
    EXPECT_EQ(UpperCaseCommandWord("\xc3\xa4"
                                   "bc x"),
        "\xc3\xa4"
        "BC x");
}

TEST(ReplyRules, PasswordMaskOfTheLogCopy)
{
    EXPECT_EQ(LogCopyOfCommand("PASS geheim\r\n", true), "PASS Schhh... nicht verraten!\r\n");
    EXPECT_EQ(LogCopyOfCommand("pass geheim\r\n", true), "pass Schhh... nicht verraten!\r\n");
    EXPECT_EQ(LogCopyOfCommand("PASS geheim\r\n", false), "PASS geheim\r\n");
    EXPECT_EQ(LogCopyOfCommand("PASS\r\n", true), "PASS\r\n");
    EXPECT_EQ(LogCopyOfCommand("PASSWORD x\r\n", true), "PASSWORD x\r\n");
    EXPECT_EQ(LogCopyOfCommand("\r\n", true), "\r\n");
    // The digest of APOP and the initial response of AUTH are secrets too;
    // the words before them stay readable.
    EXPECT_EQ(LogCopyOfCommand("APOP bob c4c9334bac560ecc979e58001b3e22fb\r\n", true),
        "APOP bob Schhh... nicht verraten!\r\n");
    EXPECT_EQ(LogCopyOfCommand("auth PLAIN AGJvYgBwdw==\r\n", true), "auth PLAIN Schhh... nicht verraten!\r\n");
    EXPECT_EQ(LogCopyOfCommand("AUTH LOGIN\r\n", true), "AUTH LOGIN\r\n");
    EXPECT_EQ(LogCopyOfCommand("AUTH LOGIN \r\n", true), "AUTH LOGIN \r\n");
    EXPECT_EQ(LogCopyOfCommand("APOP bob\r\n", true), "APOP bob\r\n");
    EXPECT_EQ(LogCopyOfAnswer("cGVuY2ls\r\n", true), "Schhh... nicht verraten!\r\n");
    EXPECT_EQ(LogCopyOfAnswer("\r\n", true), "\r\n");
    EXPECT_EQ(LogCopyOfAnswer("*\r\n", true), "*\r\n") << "the cancel line is no secret";
    EXPECT_EQ(LogCopyOfAnswer("**\r\n", true), "Schhh... nicht verraten!\r\n");
    EXPECT_EQ(LogCopyOfAnswer("cGVuY2ls\r\n", false), "cGVuY2ls\r\n");
}

TEST(ReplyRules, DataBehindTheTerminatorEndsTheBodyWithoutWaiting)
{
    struct {
        std::vector<std::string> Chunks;
        std::string Logged;
        std::string Behind;
    } const Cases[] = {
        { { "1 120\r\n.\r\n+OK late\r\n" }, "1 120\r\n.\r\n", "+OK late\r\n" },
        { { ".\r\nx" }, ".\r\n", "x" },
        { { "a\r\nb", "\r\n.\r\n.\r\n" }, "a\r\nb\r\n.\r\n", ".\r\n" },
        { { "a\r\n.", "\r\n-ERR x\r\n", "never read\r\n" }, "a\r\n.\r\n", "-ERR x\r\n" },
    };
    for (const auto& Case : Cases) {
        const TBodyRun Run = RunBody(Case.Chunks);
        EXPECT_TRUE(Run.Complete);
        EXPECT_EQ(Joined(Run), Case.Logged);
        EXPECT_EQ(Run.Behind, Case.Behind);
        EXPECT_LE(Run.ChunksUsed, Case.Chunks.size() == 3 ? 2u : Case.Chunks.size());
    }
}

TEST(ReplyRules, ContinuationsAndResponseCodes)
{
    EXPECT_TRUE(IsContinuationReply("+ VXNlcm5hbWU6\r\n"));
    EXPECT_TRUE(IsContinuationReply("+\r\n"));
    EXPECT_FALSE(IsContinuationReply("+OK\r\n"));
    EXPECT_FALSE(IsContinuationReply("+"));
    EXPECT_EQ(ContinuationData("+ VXNlcm5hbWU6\r\n"), "VXNlcm5hbWU6");
    EXPECT_EQ(ContinuationData("+\r\n"), "");
    EXPECT_EQ(ResponseCode("-ERR [IN-USE] locked\r\n"), "IN-USE");
    EXPECT_EQ(ResponseCode("-ERR [SYS/TEMP] later"), "SYS/TEMP");
    EXPECT_EQ(ResponseCode("-ERR locked [IN-USE]\r\n"), "");
    EXPECT_EQ(ResponseCode("-ERR [IN-USE\r\n] x"), "") << "a code ends on its own line";
    EXPECT_EQ(ResponseCode("-ERR[IN-USE]"), "");
}

TEST(ReplyRules, LogLinesSplitAtCrLfOnly)
{
    EXPECT_EQ(SplitLogLines(""), Lines {});
    EXPECT_EQ(SplitLogLines("\r\n"), Lines { "" });
    EXPECT_EQ(SplitLogLines("\r\nUSER bob\r\n"), (Lines { "", "USER bob" }));
    EXPECT_EQ(SplitLogLines("+OK"), Lines { "+OK" });
    EXPECT_EQ(SplitLogLines("a\r\nb"), (Lines { "a", "b" }));
    EXPECT_EQ(SplitLogLines("a\nb\rc\r\n"), Lines { "a\nb\rc" });
    EXPECT_EQ(SplitLogLines("a\r\n\r\n.\r\n"), (Lines { "a", "", "." }));
    EXPECT_EQ(SplitLogLines("a\r\r\n"), Lines { "a\r" });

    EXPECT_TRUE(EndsWithLineEnd("+OK\r\n"));
    EXPECT_FALSE(EndsWithLineEnd("+OK\r"));
    EXPECT_FALSE(EndsWithLineEnd("+OK\n"));
    EXPECT_FALSE(EndsWithLineEnd(""));
}

TEST(ReplyRules, BodyCompletion)
{
    EXPECT_TRUE(IsBodyComplete(".\r\n"));
    EXPECT_TRUE(IsBodyComplete("1 120\r\n.\r\n"));
    EXPECT_TRUE(IsBodyComplete("\r\n.\r\n"));
    EXPECT_FALSE(IsBodyComplete(""));
    EXPECT_FALSE(IsBodyComplete(".\r"));
    EXPECT_FALSE(IsBodyComplete("..\r\n"));
    EXPECT_FALSE(IsBodyComplete("a\r\n.\r\nx"));
}

TEST(ReplyRules, FlushingTakesCompleteLinesAndHoldsTheLastBeforeTheTerminator)
{
    struct {
        const char* Rest;
        const char* Taken;
        const char* Held;
    } const Cases[] = {
        { ".\r\n", "", ".\r\n" },
        { "a\r\nb\r\n", "a\r\nb\r\n", "" },
        { "a\r\nb", "a\r\n", "b" },
        { "a\r\nb\r", "a\r\n", "b\r" },
        { "ab", "", "ab" },
        { "\r\n", "\r\n", "" },
        { "\r\nx", "\r\n", "x" },
        { "a\r\nb\r\n.\r\n", "a\r\n", "b\r\n.\r\n" },
        { "a\r\n.\r\n", "", "a\r\n.\r\n" },
        { "\r\n.\r\n", "", "\r\n.\r\n" },
        { "\r\n\r\n.\r\n", "\r\n", "\r\n.\r\n" },
        { "a\r\n.", "a\r\n", "." },
        { "", "", "" },
    };
    for (const auto& Case : Cases) {
        SCOPED_TRACE(Case.Rest);
        std::string Rest = Case.Rest;
        EXPECT_EQ(TakeCompleteBodyLines(Rest), Case.Taken);
        EXPECT_EQ(Rest, Case.Held);
    }
}

TEST(ReplyRules, BodyChunksEndingMidLineLogOnlyCompleteLines)
{
    TBodyRun Run = RunBody({ "1 12", "0\r\n2 2", "00\r\n", ".\r\n" });
    EXPECT_TRUE(Run.Complete);
    EXPECT_EQ(Run.Logged, (Lines { "1 120\r\n", "2 200\r\n" }));
    EXPECT_EQ(Run.Held, ".\r\n");

    // Nothing more comes: the complete lines are logged, the partial one held.
    TBodyRun Broken = RunBody({ "From: a\r\nSubj", "ect: b\r\nTo" });
    EXPECT_FALSE(Broken.Complete);
    EXPECT_EQ(Broken.Logged, (Lines { "From: a\r\n", "Subject: b\r\n" }));
    EXPECT_EQ(Broken.Held, "To");
}

// A hostile server may trickle one long line byte by byte: it must be
// assembled once, not searched again after every byte (that would take hours).
TEST(ReplyRules, LongLineTrickledBytewiseIsAssembledOnce)
{
    const std::string Line(1 << 20, 'x');
    std::vector<std::string> Chunks { "" };
    Chunks.reserve(Line.size() + 3);
    for (char Character : Line)
        Chunks.emplace_back(1, Character);
    Chunks.push_back("\r\nend\r\n");
    Chunks.push_back(".\r\n");
    TBodyRun Run = RunBody(Chunks);
    EXPECT_TRUE(Run.Complete);
    ASSERT_EQ(Run.Logged.size(), 1u);
    EXPECT_EQ(Run.Logged[0], Line + "\r\nend\r\n");
    EXPECT_EQ(Run.Held, ".\r\n");
}

TEST(ReplyRules, EmptyListEndsWithoutReading)
{
    TBodyRun Run = RunBody({ ".\r\n", "never read" });
    EXPECT_TRUE(Run.Complete);
    EXPECT_EQ(Run.ChunksUsed, 1u);
    EXPECT_TRUE(Run.Logged.empty());
    EXPECT_EQ(Run.Held, ".\r\n");
}

// Every body, split into two or three chunks at every position, ends at its
// terminator and logs each byte exactly once, in order.
TEST(ReplyRules, TerminatorSplitAtEveryPositionIsFound)
{
    const std::string Bodies[] = {
        ".\r\n",
        "\r\n.\r\n",
        "\r\n\r\n.\r\n",
        "1 120\r\n2 200\r\n.\r\n",
        "Subject: x\r\n\r\n..dot\r\n.\r\n",
        "a\r\n\r\n.\r\n",
        "..\r\n.\r\n",
        "a\rb\nc\r\n.\r\n",
    };
    for (const std::string& Body : Bodies) {
        for (size_t First = 0; First <= Body.size(); ++First) {
            for (size_t Second = First; Second <= Body.size(); ++Second) {
                SCOPED_TRACE(testing::Message() << Body << " at " << First << "/" << Second);
                std::vector<std::string> Chunks
                    = { Body.substr(0, First), Body.substr(First, Second - First), Body.substr(Second) };
                TBodyRun Run = RunBody(Chunks);
                EXPECT_TRUE(Run.Complete);
                EXPECT_EQ(Joined(Run), Body);
                for (const std::string& Piece : Run.Logged)
                    EXPECT_TRUE(EndsWithLineEnd(Piece));
                // The last data line and "." are logged together at the end.
                EXPECT_TRUE(Run.Held == ".\r\n" || IsBodyComplete(Run.Held));
            }
        }
    }
}

// The kept RETR/TOP body: dot-stuffing undone, the "." line dropped, bounded.
TEST(ReplyRules, RetrievedMessageKeepsTheBodyAsSent)
{
    struct TCase {
        Lines Chunks;
        size_t Max;
        bool Complete, Shown, LinesCut;
        std::string Kept;
        bool Available, Cut, LinesValid;
    };
    const TCase Cases[] = {
        { { "a\r\n..b\r\n", "...\r\n.\r\n" }, 100, true, true, false, "a\r\n.b\r\n..\r\n", true, false, true },
        { { "..\r\n.\r\n" }, 100, true, true, false, ".\r\n", true, false, true },
        { { ".\r\n" }, 100, true, true, false, "", true, false, true },
        // Past the bound the rest is counted as cut, the "." line still ends it.
        { { "abcdef\r\n", "gh\r\n.\r\n" }, 5, true, true, false, "abcde", true, true, true },
        { { "..abc\r\n.\r\n" }, 3, true, true, false, ".ab", true, true, true },
        // No "." line: nothing to take apart.
        { { "a\r\n" }, 100, false, true, false, "a\r\n", false, false, false },
        // A full log or an overlong line: the bytes stay, the line link or wholeness goes.
        { { "a\r\n.\r\n" }, 100, true, false, false, "a\r\n", true, false, false },
        { { "a\r\n.\r\n" }, 100, true, true, true, "a\r\n", true, true, true },
    };
    for (const TCase& Case : Cases) {
        TRetrievedMessage Message;
        Message.SetMaxBytes(Case.Max);
        Message.Start(7, true);
        for (const std::string& Chunk : Case.Chunks)
            Message.Add(Chunk);
        Message.Finish(Case.Complete, Case.Shown, Case.LinesCut);
        SCOPED_TRACE(Case.Chunks.front());
        EXPECT_EQ(Message.Bytes(), Case.Kept);
        EXPECT_EQ(Message.Available(), Case.Available);
        EXPECT_EQ(Message.Cut(), Case.Cut);
        EXPECT_EQ(Message.LinesValid(), Case.LinesValid);
        EXPECT_EQ(Message.FirstLogLine(), 7u);
    }
}
