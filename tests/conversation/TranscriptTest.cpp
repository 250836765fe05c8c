// The reply reader as transcripts on a scripted transport: the test decides
// how the server's bytes are cut into reads and where a failure strikes, and
// reads back the log, the bytes written and what is left unread.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include "auth/Pop3Auth.h"
#include "auth/SaslClient.h"
#include "auth/SaslServer.h"
#include "conversation/POP3Conversation.h"
#include "tests/conversation/RecordingView.h"
#include "tests/support/FakeTransport.h"

using testing::Contains;
using testing::ElementsAre;
using testing::ElementsAreArray;
using testing::HasSubstr;
using testing::IsEmpty;

namespace {

using TLines = std::vector<std::string>;
using TChunks = std::vector<std::string>;

// One conversation on a scripted transport, connected after its greeting.
struct TSession {
    TFakeTransport Server;
    TRecordingView View;
    TPOP3Conversation Conversation { View, View.Recorder, Server };

    // Tls: encrypted from the first byte. Clear text is allowed when asked.
    explicit TSession(const TChunks& Reply = {}, bool Tls = false)
    {
        View.Answer = true;
        if (Tls)
            Server.EncryptAtConnect();
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
}

// What follows a reply is no part of it: lines in the same read are logged
// at once as unasked data (under one note), an unfinished line and later
// pieces when they come (the poll), never taken for the next reply.
TEST(Transcript, WhatFollowsAReplyIsLeftAsUnaskedData)
{
    struct {
        const char* Command;
        TChunks Chunks;
        TLines Reply;
        TLines Polled;
    } const Cases[] = {
        { "LIST", { "+OK\r\n1 120\r\n.\r\n+OK surprise\r\n" }, { "+OK", "1 120", ".", "+OK surprise" }, {} },
        { "LIST", { "+OK\r\n1 1", "20\r\n.\r\n+OK surprise\r\n" }, { "+OK", "1 120", ".", "+OK surprise" }, {} },
        { "RETR 1", { "+OK\r\nx\r\n.\r\n-ERR", " tail\r\n" }, { "+OK", "x", "." }, { "-ERR tail" } },
        { "RETR 2", { "-ERR gone\r\n1 x\r\n" }, { "-ERR gone", "1 x" }, {} },
        { "RETR 2", { "-ERR gone\r\n1 ", "x\r\n" }, { "-ERR gone" }, { "1 x" } },
        { "LIST 1", { "+OK 2 messages\r\n", "1 120\r\n2 200\r\n.\r\n" }, { "+OK 2 messages" },
            { "1 120", "2 200", "." } },
        { "NOOP", { "+OK\r\n", "1 x\r\n2 ", "y\r\n", ".\r\n" }, { "+OK" }, { "1 x", "2 y", "." } },
    };
    for (const auto& Case : Cases) {
        SCOPED_TRACE(std::string(Case.Command) + " as " + Joined(Case.Chunks));
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
        EXPECT_EQ(Session.View.Notes.back(), "Brieflotse: Unerwartete Daten, keine Antwort auf ein Kommando:");
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
            { "+OK 300 octets", "Subject: x", "" }, "Winsock-Fehler: 12000 - Request timed out" },
        { "RETR 1", { "+OK 300 octets\r\n", "Subject: x\r\n\r\nHal" }, TFailure::Reset,
            { "+OK 300 octets", "Subject: x", "" }, "Winsock-Fehler: 10054 - Connection reset by peer" },
        { "RETR 1", { "+OK 300 octets\r\n", "Subject: x\r\n\r\nHal" }, TFailure::Close,
            { "+OK 300 octets", "Subject: x", "" }, "Der Server hat die Verbindung beendet." },
        // The line end completes the line even when nothing follows it.
        { "LIST", { "+OK 2\r\n1 1\r", "\n" }, TFailure::TimeOut, { "+OK 2", "1 1" },
            "Winsock-Fehler: 12000 - Request timed out" },
        // A terminator without its line end is no terminator.
        { "LIST", { "+OK 2\r\n1 1\r\n." }, TFailure::TimeOut, { "+OK 2", "1 1" },
            "Winsock-Fehler: 12000 - Request timed out" },
        { "LIST", { "+OK 2 mess" }, TFailure::TimeOut, {}, "Winsock-Fehler: 12000 - Request timed out" },
        { "NOOP", { "+OK hal" }, TFailure::Close, {}, "Der Server hat die Verbindung beendet." },
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
        EXPECT_EQ(Session.Conversation.ErrorMessage(), Case.Error);
        EXPECT_TRUE(Session.View.GuidanceIsError);
        // A time-out keeps the connection (the reply is owed); a server that
        // is gone takes it with it.
        EXPECT_EQ(Session.View.Connected, Case.Failure == TFailure::TimeOut);
        EXPECT_FALSE(Session.Conversation.Busy());
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

TEST(Transcript, CapabilityListSplitAtEveryPositionIsLoggedAndExplained)
{
    const std::string Reply = "+OK Capability list follows\r\nTOP\r\nSASL PLAIN SCRAM-SHA-256\r\nRESP-CODES\r\n"
                              "X-WEIRD 1\r\n.\r\n";
    for (const TChunks& Chunks : Chunkings(Reply)) {
        SCOPED_TRACE(Joined(Chunks));
        TSession Session(Chunks);
        EXPECT_THAT(Session.Send("capa"),
            ElementsAre(
                "+OK Capability list follows", "TOP", "SASL PLAIN SCRAM-SHA-256", "RESP-CODES", "X-WEIRD 1", "."));
        EXPECT_EQ(Session.Server.StepsLeft(), 0u);
        EXPECT_THAT(Session.Conversation.Capabilities().SaslMechanisms(), ElementsAre("PLAIN", "SCRAM-SHA-256"));
        const std::string& Guidance = Session.View.Guidance;
        EXPECT_NE(Guidance.find("\u2022 SASL PLAIN SCRAM-SHA-256: Anmeldung mit dem Kommando AUTH"), std::string::npos)
            << Guidance;
        EXPECT_NE(Guidance.find("\u2022 X-WEIRD 1: eine Fähigkeit, die Brieflotse nicht kennt"), std::string::npos);
    }
}

TEST(Transcript, CapaRefusedByAnOldServerIsExplained)
{
    TSession Session({ "-ERR unknown command\r\n" });
    EXPECT_THAT(Session.Send("CAPA"), ElementsAre("-ERR unknown command"));
    EXPECT_NE(Session.View.Guidance.find("kennt das Kommando CAPA nicht"), std::string::npos);
    EXPECT_TRUE(Session.Conversation.Capabilities().All().empty());
}

TEST(Transcript, AuthTypedByHandTakesAnswersAsLinesNotCommands)
{
    TSession Session({ "+ VXNlcm5hbWU6\r\n", "+ UGFzc3dvcmQ6\r\n", "+OK Logged in.\r\n" });
    Session.View.Opts.HidePasswords = true;
    EXPECT_THAT(Session.Send("auth LOGIN"), ElementsAre("+ VXNlcm5hbWU6"));
    EXPECT_TRUE(Session.Conversation.AwaitingAnswer());
    EXPECT_NE(Session.View.Guidance.find("setzt die Anmeldung fort"), std::string::npos);
    EXPECT_THAT(Session.View.Notes, ElementsAre("Brieflotse: Der Server fragt (Base64 dekodiert): \"Username:\""));
    Session.Send("dXNlcg==");
    Session.Send("cGVuY2ls");
    // Not upper-cased, not remembered, masked in the log.
    EXPECT_EQ(Session.Server.Sent(), "AUTH LOGIN\r\ndXNlcg==\r\ncGVuY2ls\r\n");
    EXPECT_THAT(Session.View.Commands, ElementsAre("AUTH LOGIN"));
    EXPECT_THAT(Session.View.LogLines(),
        ElementsAre("+OK bereit", "", "AUTH LOGIN", "+ VXNlcm5hbWU6", "", "Schhh... nicht verraten!", "+ UGFzc3dvcmQ6",
            "", "Schhh... nicht verraten!", "+OK Logged in."));
    EXPECT_FALSE(Session.Conversation.AwaitingAnswer());
    EXPECT_NE(Session.View.Guidance.find("Anmeldung mit AUTH angenommen"), std::string::npos);
}

TEST(Transcript, CancelledAuthAndAPlusOutsideAuthAreNoExchange)
{
    TSession Session({ "+ \r\n", "-ERR [AUTH] Authentication cancelled\r\n", "+ what\r\n" });
    Session.Send("AUTH PLAIN");
    EXPECT_TRUE(Session.Conversation.AwaitingAnswer());
    Session.Send("*");
    EXPECT_FALSE(Session.Conversation.AwaitingAnswer());
    EXPECT_NE(Session.View.Guidance.find("Anmeldung mit AUTH abgelehnt"), std::string::npos);
    EXPECT_NE(Session.View.Guidance.find("[AUTH]: Die Anmeldedaten selbst waren falsch"), std::string::npos);
    // A "+ " to NOOP opens no exchange: the next line is a command again.
    Session.Send("noop");
    EXPECT_FALSE(Session.Conversation.AwaitingAnswer());
    EXPECT_EQ(Session.Server.Sent(), "AUTH PLAIN\r\n*\r\nNOOP\r\n");
}

TEST(Transcript, AssistantClientAnswersEveryRoundInOneAction)
{
    TSession Session({ "+ VXNlcm5hbWU6\r\n", "+ UGFzc3dvcmQ6\r\n", "+OK Logged in.\r\n" });
    auto Client = std::make_unique<TSaslClient>(TSaslMechanism::Login, "user", "pencil");
    const TSaslStep First = Client->Start();
    Session.Conversation.SetSaslClient(std::move(Client), First.Explanation);
    Session.Send(First.Line);
    EXPECT_EQ(Session.Server.Sent(), "AUTH LOGIN\r\ndXNlcg==\r\ncGVuY2ls\r\n");
    EXPECT_FALSE(Session.Conversation.AwaitingAnswer());
    EXPECT_EQ(Session.View.Notes.size(), 4u) << "two challenges decoded, two answers explained";
    EXPECT_NE(Session.View.Guidance.find("Anmeldung mit AUTH angenommen"), std::string::npos);
}

// Microsoft's servers refuse XOAUTH2 with the token on the AUTH line; the
// assistant tries once more in two steps, and only once.
TEST(Transcript, TokenRefusedOnTheAuthLineIsSentAgainInTwoSteps)
{
    const std::string Token = Base64Encode(std::string("user=anna\x01") + "auth=Bearer t\x01\x01");
    const std::pair<TChunks, std::string> Cases[] = {
        { { "-ERR Authentication failed\r\n", "+ \r\n", "+OK Logged in\r\n" },
            "AUTH XOAUTH2 " + Token + "\r\nAUTH XOAUTH2\r\n" + Token + "\r\n" },
        { { "-ERR no\r\n", "-ERR still no\r\n" }, "AUTH XOAUTH2 " + Token + "\r\nAUTH XOAUTH2\r\n" },
        { { "+OK Logged in\r\n" }, "AUTH XOAUTH2 " + Token + "\r\n" },
    };
    for (const auto& [Script, Sent] : Cases) {
        SCOPED_TRACE(Joined(Script));
        TSession Session(Script);
        auto Client = std::make_unique<TSaslClient>(TSaslMechanism::XOAuth2, "anna", "t");
        const TSaslStep First = Client->Start();
        Session.Conversation.SetSaslClient(std::move(Client), "");
        Session.Send(First.Line);
        EXPECT_EQ(Session.Server.Sent(), Sent);
        EXPECT_EQ(Session.View.Guidance.find("angenommen") != std::string::npos, Script.back().rfind("+OK", 0) == 0)
            << Session.View.Guidance;
    }
}

TEST(Transcript, ServerThatNeverStopsAskingCannotHoldTheAssistant)
{
    TChunks Endless(50, "+ VXNlcm5hbWU6\r\n");
    TSession Session(Endless);
    auto Client = std::make_unique<TSaslClient>(TSaslMechanism::Login, "user", "pencil");
    Session.Conversation.SetSaslClient(std::move(Client), "");
    Session.Send("AUTH LOGIN");
    // A bounded number of answers, the last ones cancelling; the user has the line again.
    const std::string Sent = Session.Server.Sent();
    EXPECT_LE(std::count(Sent.begin(), Sent.end(), '\n'), 10);
    EXPECT_NE(Sent.find("*\r\n"), std::string::npos);
    EXPECT_FALSE(Session.Conversation.Busy());
}

TEST(Transcript, ScramLogInCountsOnlyWithTheServersProof)
{
    // What a real server sends to this nonce: "+ ", its first message, its final one.
    const std::string Nonce = "fyko+d2lbbFgONRv9qkxdawL";
    TSaslClient Mirror(TSaslMechanism::ScramSha256, "anna", "geheim");
    Mirror.SetClientNonce(Nonce);
    Mirror.Start();
    TSaslServer Server(TSaslMechanism::ScramSha256, "anna", "geheim");
    TChunks L;
    for (TSaslServerStep Step = Server.Start(""); Step.Verdict == TSaslVerdict::Continue;
         Step = Server.Answer(Mirror.Answer(Step.Line.substr(2)).Line))
        L.push_back(Step.Line + "\r\n");
    ASSERT_EQ(L.size(), 3u);
    const std::string Forged = "+ " + Base64Encode("v=" + Base64Encode(std::string(32, 'x'))) + "\r\n";
    const std::pair<TChunks, const char*> Cases[] = {
        { { L[0], L[1], L[2], "+OK\r\n" }, "Anmeldung mit AUTH angenommen" },
        { { "+OK\r\n" }, "ohne seine Server-Signatur" },
        { { L[0], "+OK\r\n" }, "ohne seine Server-Signatur" },
        { { L[0], L[1], "+OK\r\n" }, "ohne seine Server-Signatur" },
        { { L[0], L[1], Forged, "-ERR\r\n" }, "Server-Signatur (\"v=\") stimmt nicht" },
        { { L[0], L[1], Forged, "+OK\r\n" }, "Server-Signatur (\"v=\") stimmt nicht" },
    };
    for (const auto& [Script, Says] : Cases) {
        SCOPED_TRACE(Joined(Script));
        TSession Session(Script);
        auto Client = std::make_unique<TSaslClient>(TSaslMechanism::ScramSha256, "anna", "geheim");
        Client->SetClientNonce(Nonce);
        Session.Conversation.SetSaslClient(std::move(Client), "");
        Session.Send("AUTH SCRAM-SHA-256");
        const std::string& Guidance = Session.View.Guidance;
        const bool Proven = Script.size() == 4 && Script[2] == L[2];
        EXPECT_NE(Guidance.find(Says), std::string::npos) << Guidance;
        EXPECT_EQ(Session.View.GuidanceIsError, !Proven);
        EXPECT_EQ(Guidance.rfind("Der Server hat nicht bewiesen, daß er Ihr Paßwort kennt.", 0) == 0, !Proven);
        EXPECT_EQ(Guidance.find("angenommen") == std::string::npos, !Proven);
    }
}

TEST(Transcript, ResponseCodesGetASentenceAfterTheRowText)
{
    struct {
        std::string Reply;
        const char* Expected;
        bool Leads;
    } const Cases[] = {
        { "-ERR [IN-USE] Mailbox locked\r\n", "[IN-USE]: Die Mailbox ist gerade geöffnet", true },
        { "-ERR [LOGIN-DELAY] wait\r\n", "[LOGIN-DELAY]: Sie haben sich zu bald", true },
        { "-ERR [sys/temp] try later\r\n", "[SYS/TEMP]: Ein vorübergehendes Problem", true },
        { "-ERR [AUTH] wrong\r\n", "[AUTH]: Die Anmeldedaten selbst waren falsch", false },
        { "-ERR [X-FOO/BAR] eh\r\n", "[X-FOO/BAR]: ein Antwort-Code, den Brieflotse nicht kennt", false },
        { "-ERR [" + std::string(100000, 'A') + "] x\r\n", "AAAA\u2026]: ein Antwort-Code", false },
    };
    for (const auto& Case : Cases) {
        TSession Session({ Case.Reply });
        Session.Send("PASS x");
        const std::string& Guidance = Session.View.Guidance;
        // A locked mailbox or a server problem is the news, so it comes first.
        const size_t Row = Guidance.find("Der Server hat das übermittelte Paßwort abgelehnt.");
        const size_t Code = Guidance.find(Case.Expected);
        ASSERT_NE(Row, std::string::npos) << Guidance;
        ASSERT_NE(Code, std::string::npos) << Guidance.substr(0, 2000);
        EXPECT_EQ(Code < Row, Case.Leads) << Guidance.substr(0, 2000);
        EXPECT_LT(Guidance.size(), 2000u);
    }
}

TEST(Transcript, CompleteLineBeforeAnUnfinishedOneIsTheReply)
{
    // The reply ends at its line end; the start of another line waits for
    // its rest and is then shown as unasked data, with a note.
    TSession Session({ "+OK fine\r\nhal", "f\r\n" });
    EXPECT_THAT(Session.Send("NOOP"), ElementsAre("+OK fine"));
    EXPECT_FALSE(Session.Conversation.ErrorFlag()) << Session.Conversation.ErrorMessage();
    EXPECT_NE(Session.View.Guidance.find("NOOP-Kommando bestätigt"), std::string::npos);
    Session.Conversation.PollUnexpectedData();
    EXPECT_EQ(Session.View.LogLines().back(), "half");
    EXPECT_EQ(Session.View.Notes.back(), "Brieflotse: Unerwartete Daten, keine Antwort auf ein Kommando:");
    EXPECT_EQ(Session.View.Received, Session.Server.BytesReceived());
}

TEST(Transcript, ReplyAfterATimeOutBelongsToItsCommand)
{
    struct {
        const char* Name;
        TChunks Before; // what came of the late reply before the wait ran out
        const char* LateCommand;
        TChunks Late;
        TLines LateLines; // logged once the late reply is complete
        const char* LateNote;
    } const Cases[] = {
        { "status line", {}, "STAT", { "+OK 2 320\r\n" }, { "+OK 2 320" },
            "Brieflotse: Die Antwort auf STAT kam nach der Wartezeit:" },
        { "half a status line", { "+OK 2" }, "STAT", { " 320\r\n" }, { "+OK 2 320" },
            "Brieflotse: Die Antwort auf STAT kam nach der Wartezeit:" },
        { "inside a body", { "+OK\r\nSubject: x\r\n\r\nHal" }, "RETR 1", { "lo\r\n.\r\n" }, { "Hallo", "." },
            "Brieflotse: Der Rest der Antwort auf RETR 1 kam nach der Wartezeit:" },
        { "terminator only", { "+OK\r\n1 120\r\n" }, "LIST", { ".\r\n" }, { "." },
            "Brieflotse: Der Rest der Antwort auf LIST kam nach der Wartezeit:" },
    };
    for (const bool Idle : { true, false }) {
        for (const auto& Case : Cases) {
            SCOPED_TRACE(std::string(Case.Name) + (Idle ? ", while idle" : ", before the next reply"));
            TSession Session(Case.Before);
            Session.Server.TimeOut();
            for (const std::string& Chunk : Case.Late)
                Session.Server.Chunk(Chunk);
            Session.Server.Chunk("+OK noop\r\n");
            Session.Send(Case.LateCommand);
            EXPECT_EQ(Session.Conversation.OwedReplies(), 1u);
            EXPECT_NE(Session.View.Guidance.find("steht noch aus"), std::string::npos) << Session.View.Guidance;
            const size_t Before = Session.View.LogLines().size();
            if (Idle) {
                Session.Conversation.PollUnexpectedData();
                EXPECT_EQ(Session.View.Guidance.rfind("Diese Antwort kam zu spät: Sie gehört zu", 0), 0u);
            }
            Session.Send("NOOP");
            const TLines All = Session.View.LogLines();
            TLines Expected = Idle ? Case.LateLines : TLines { "", "NOOP" };
            const TLines Second = Idle ? TLines { "", "NOOP" } : Case.LateLines;
            Expected.insert(Expected.end(), Second.begin(), Second.end());
            Expected.push_back("+OK noop");
            EXPECT_THAT(
                TLines(All.begin() + static_cast<std::ptrdiff_t>(Before), All.end()), ElementsAreArray(Expected));
            EXPECT_NE(std::find(Session.View.Notes.begin(), Session.View.Notes.end(), Case.LateNote),
                Session.View.Notes.end());
            EXPECT_NE(Session.View.Guidance.find("NOOP-Kommando bestätigt"), std::string::npos)
                << Session.View.Guidance;
            EXPECT_EQ(Session.Conversation.OwedReplies(), 0u);
            EXPECT_FALSE(Session.Conversation.ErrorFlag());
            EXPECT_EQ(Session.Server.StepsLeft(), 0u);
        }
    }
}

TEST(Transcript, ServerThatHangsUpTakesTheWindowOffline)
{
    enum class TEnd { Close, Reset };
    struct {
        const char* Command;
        TChunks Chunks;
        TEnd End;
        TLines Logged;
        const char* GuidanceStart;
    } const Cases[] = {
        // popa3d after a wrong password: a whole reply, then the close.
        { "PASS wrong", { "-ERR denied\r\n" }, TEnd::Close, { "-ERR denied" },
            "Der Server hat das übermittelte Paßwort abgelehnt." },
        { "RETR 1", { "+OK\r\nSubject: x\r\n" }, TEnd::Close, { "+OK", "Subject: x" },
            "Der Server \"pop.example\" hat die Verbindung beendet, bevor seine Antwort vollständig war" },
        { "RETR 1", { "+OK\r\nSubject: x\r\n" }, TEnd::Reset, { "+OK", "Subject: x" },
            "Winsock-Fehler: 10054 - Connection reset by peer" },
    };
    for (const auto& Case : Cases) {
        SCOPED_TRACE(Case.Command);
        TSession Session(Case.Chunks);
        if (Case.End == TEnd::Close)
            Session.Server.Close();
        else
            Session.Server.Reset();
        EXPECT_THAT(Session.Send(Case.Command), ElementsAreArray(Case.Logged));
        EXPECT_FALSE(Session.View.Connected);
        EXPECT_FALSE(Session.Server.Connected());
        EXPECT_EQ(Session.View.Notes.back(), "Brieflotse: Der Server hat die Verbindung beendet.");
        EXPECT_TRUE(Session.View.GuidanceIsError);
        EXPECT_EQ(Session.View.Guidance.rfind(Case.GuidanceStart, 0), 0u) << Session.View.Guidance;
        EXPECT_NE(Session.View.Guidance.find("Brieflotse ist jetzt offline"), std::string::npos);
        EXPECT_EQ(Session.View.Guidance.find("NOOP-Kommando, um den Fortbestand"), std::string::npos);
        EXPECT_EQ(Session.View.Title, "Brieflotse");
    }
}

TEST(Transcript, NothingIsSentToAServerThatHasClosed)
{
    TSession Session;
    Session.Server.Close();
    const int64_t Sent = Session.Server.BytesSent();
    Session.Send("NOOP");
    EXPECT_EQ(Session.Server.BytesSent(), Sent);
    EXPECT_EQ(Session.View.Sent, 0);
    EXPECT_TRUE(Session.View.Commands.empty());
    EXPECT_FALSE(Session.View.Connected);
    EXPECT_THAT(Session.View.LogLines(), ElementsAre("+OK bereit"));
}

TEST(Transcript, ConnectionEndsAreMarkedInTheLog)
{
    TSession Quit({ "+OK bye\r\n" });
    Quit.Send("QUIT");
    EXPECT_EQ(Quit.View.Notes.back(), "Brieflotse: Verbindung mit QUIT beendet.");
    TSession Cut;
    Cut.View.Answer = true;
    Cut.Conversation.ButtonTrennenClick();
    EXPECT_EQ(Cut.View.Notes.back(), "Brieflotse: Verbindung mit \"Trennen\" getrennt.");
}

TEST(Transcript, UnaskedFloodIsNotedOnceWhenTheLogIsFull)
{
    TSession Session;
    Session.View.Log.SetMaxCharacters(1000);
    std::string Lines;
    while (Lines.size() < 300)
        Lines += "Flut ohne Ende\r\n";
    for (int Chunk = 0; Chunk < 200; ++Chunk)
        Session.Server.Chunk(Lines);
    for (int Polls = 0; Session.Server.BytesAvailable() > 0 && Polls < 300; ++Polls)
        Session.Conversation.PollUnexpectedData();
    EXPECT_EQ(Session.Server.StepsLeft(), 0u);
    const auto Full = std::count_if(Session.View.Notes.begin(), Session.View.Notes.end(),
        [](const std::string& Note) { return Note.find("Das Protokoll ist voll") != std::string::npos; });
    EXPECT_EQ(Full, 1);
    EXPECT_LT(Session.View.Notes.size(), 4u);
}

// The clear-text warning after the greeting follows the address connected to.
TEST(Transcript, ClearTextWarningFollowsTheAddressNotTheName)
{
    const struct {
        const char* Name;
        const char* Peer;
        bool Warns;
    } Cases[] = {
        { "127.mail.example.net", "192.0.2.7", true },
        { "mail.example.net", "127.0.0.1", false },
        { "localhost", "::1", false },
    };
    for (const auto& Case : Cases) {
        TFakeTransport Server;
        Server.SetPeerAddress(Case.Peer);
        Server.Chunk("+OK bereit\r\n");
        TRecordingView View;
        TPOP3Conversation Conversation(View, View.Recorder, Server);
        Conversation.ButtonVerbindenClick(Case.Name);
        EXPECT_EQ(
            View.Guidance.find("Achtung: Diese Verbindung ist nicht verschlüsselt") != std::string::npos, Case.Warns)
            << Case.Name << " at " << Case.Peer;
    }
}

// A server the finder chose for its STLS: the guidance after that greeting
// (on loopback too) asks for STLS first; the next connection's does not.
TEST(Transcript, FinderStlsAdviceCountsForOneConnection)
{
    TFakeTransport Server;
    Server.SetPeerAddress("127.0.0.1");
    Server.Chunk("+OK bereit\r\n");
    TRecordingView View;
    TPOP3Conversation Conversation(View, View.Recorder, Server);
    Conversation.AdviseStlsFirst();
    Conversation.ButtonVerbindenClick("127.0.0.1:2110");
    EXPECT_THAT(View.Guidance, HasSubstr("Senden Sie als erstes STLS")) << View.Guidance;
    Conversation.ButtonTrennenClick();
    Server.Chunk("+OK bereit\r\n");
    Conversation.ButtonVerbindenClick("127.0.0.1:2110");
    EXPECT_TRUE(Conversation.Connected());
    EXPECT_THAT(View.Guidance, Not(HasSubstr("STLS"))) << View.Guidance;
}

TEST(Transcript, StlsGoesByItsWordAndNeverInsideTls)
{
    // Servers split at the first blank: "STLS " starts TLS as well.
    TSession Plain({ "+OK Begin TLS\r\n" });
    Plain.Send("stls ");
    EXPECT_EQ(Plain.Server.StartTlsCount(), 1);
    EXPECT_EQ(Plain.View.Guidance.rfind("Der Server hat STLS angenommen", 0), 0u) << Plain.View.Guidance;

    // Courier lists STLS on its pop3s port and answers "+OK": not sent, and
    // the next reply stays the next command's.
    TSession Encrypted({ "+OK\r\n" }, true);
    EXPECT_THAT(Encrypted.Send("STLS"), IsEmpty());
    EXPECT_EQ(Encrypted.Server.Sent(), "");
    EXPECT_THAT(Encrypted.View.Notes, Contains(HasSubstr("STLS nicht gesendet")));
    EXPECT_EQ(Encrypted.View.Guidance.rfind("Die Verbindung ist bereits mit TLS verschlüsselt", 0), 0u);
    EXPECT_THAT(Encrypted.Send("NOOP"), ElementsAre("+OK"));
    EXPECT_EQ(Encrypted.Server.StartTlsCount(), 0);
    EXPECT_EQ(Encrypted.View.StatusText, "Bereit (TLS-verschlüsselt)");
}

TEST(Transcript, PasswordInClearToAnotherMachineAsksOncePerConnection)
{
    TSession Session({ "+OK\r\n", "+OK\r\n" });
    Session.View.Answer = false;
    Session.Send("USER anna");
    EXPECT_EQ(Session.Server.Sent(), "") << "refused: nothing sent";
    Session.View.Answer = true;
    Session.Send("USER anna");
    Session.Send("PASS geheim");
    ASSERT_EQ(Session.View.Questions.size(), 2u) << "agreed once, not asked for PASS again";
    EXPECT_EQ(Session.View.Questions[0].first, "Brieflotse - Unverschlüsselt");
    EXPECT_NE(Session.View.Questions[0].second.find("\"pop.example\""), std::string::npos);
    EXPECT_EQ(Session.Server.Sent(), "USER anna\r\nPASS geheim\r\n");

    TSession Encrypted({ "+OK\r\n" }, true);
    Encrypted.Send("AUTH PLAIN AGFubmEAZ2VoZWlt");
    EXPECT_THAT(Encrypted.View.Questions, IsEmpty());
}

TEST(Transcript, BrokenTlsSessionGoesOfflineWithOpenSslsReason)
{
    TSession Session({}, true);
    Session.Server.TlsFailure("decryption failed or bad record mac");
    Session.Send("NOOP");
    EXPECT_FALSE(Session.Server.Connected() || Session.View.Connected);
    EXPECT_THAT(Session.View.Notes,
        Contains("Brieflotse: TLS gescheitert, OpenSSL nennt als Grund: \"decryption failed or bad record mac\"."));
    EXPECT_TRUE(Session.View.GuidanceIsError);
    EXPECT_NE(
        Session.View.Guidance.find("Verschlüsselung mit dem Server \"pop.example\" ist gescheitert"), std::string::npos)
        << Session.View.Guidance;
    EXPECT_EQ(Session.View.Guidance.find("NOOP"), std::string::npos);
}

TEST(Transcript, TlsShowsInTheStatusOnlyOnceTheCertificateIsAccepted)
{
    TFakeTransport Server;
    Server.EncryptAtConnect();
    Server.Chunk("+OK bereit\r\n");
    TRecordingView View;
    View.Opts.ResetCounterAtConnect = true; // shows the status before the certificate's check
    TPOP3Conversation(View, View.Recorder, Server).ButtonVerbindenClick("pop.example");
    EXPECT_EQ(View.TitleAtCertificate + " / " + View.StatusAtCertificate, "Brieflotse - [pop.example] / Bereit");
    EXPECT_EQ(View.Title + " / " + View.StatusText, "Brieflotse - [pop.example] (TLS) / Bereit (TLS-verschlüsselt)");
}
