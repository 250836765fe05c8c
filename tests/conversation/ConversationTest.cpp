// The conversation engine against a scripted server: transcripts of what the
// server sends, what the engine writes back, and what the window shows.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "conversation/POP3Conversation.h"
#include "tests/conversation/RecordingView.h"
#include "tests/support/ScriptedServer.h"

using testing::AllOf;
using testing::Contains;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::Not;
using testing::StartsWith;

namespace {

const char* const kGreeting = "+OK POP3 bereit\r\n";

class ConversationTest : public testing::Test {
protected:
    TRecordingView View;
    TSmartWinsock Socket;
    TPOP3Conversation Conversation { View, View.Recorder, Socket };
    ScriptedServer Server;

    void SetUp() override { Conversation.SetWaitTimeout(5); }

    // Connects to the scripted server, which has been given its script.
    void Connect()
    {
        Server.start();
        Conversation.ButtonVerbindenClick(Server.address());
        ASSERT_FALSE(Conversation.ErrorFlag()) << Conversation.ErrorMessage();
        ASSERT_TRUE(View.Connected);
    }

    bool WaitForData()
    {
        for (int I = 0; I < 300; ++I) {
            if (Socket.BytesAvailable() > 0)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
};

} // namespace

TEST(ConversationSocket, TalksPop3WithThirtySecondWaits)
{
    TRecordingView View;
    TSmartWinsock Socket;
    TPOP3Conversation Conversation(View, View.Recorder, Socket);
    EXPECT_EQ(Socket.TargetPort(), "pop3");
    EXPECT_EQ(Conversation.WaitTimeout(), 30);
    EXPECT_TRUE(static_cast<bool>(Socket.OnError));
    EXPECT_TRUE(Conversation.FormCloseQuery());
}

TEST_F(ConversationTest, ConnectWithPortTakesTheTargetAsTypedIntoHistoryAndShowsGreeting)
{
    Server.send(kGreeting);
    Connect();
    EXPECT_EQ(Socket.TargetHost(), "127.0.0.1");
    EXPECT_EQ(Socket.TargetPort(), std::to_string(Server.port()));
    EXPECT_THAT(View.Hosts, ElementsAre(Server.address()));
    EXPECT_THAT(View.LogLines(), ElementsAre("+OK POP3 bereit"));
    EXPECT_THAT(View.Guidance, StartsWith("Die Verbindung zum Server \"127.0.0.1\" wurde erfolgreich aufgebaut."));
    EXPECT_FALSE(View.GuidanceIsError);
    EXPECT_EQ(View.Title, "Brieflotse - [127.0.0.1]");
    EXPECT_EQ(View.StatusText, "Bereit");
    EXPECT_EQ(View.Picture, TStatusPicture::OnlineOff);
    EXPECT_EQ(View.Received, 17);
    EXPECT_FALSE(View.BusyCursor);
    EXPECT_FALSE(Conversation.Busy());
    EXPECT_THAT(View.StatusTexts, testing::IsSupersetOf({ "Verbindet mit 127.0.0.1 ...", "Wartet auf Antwort ..." }));
}

TEST_F(ConversationTest, SecondConnectionGetsASeparatorAndTheNextColour)
{
    View.Log.SetColorMode(TColorMode::Connection);
    View.Log.Append(TLogEntryKind::Status, "+OK old\r\n");
    Server.send(kGreeting);
    Connect();
    EXPECT_THAT(View.LogLines(), ElementsAre("+OK old", "", "+OK POP3 bereit"));
    EXPECT_EQ(View.Log.ServerColor(), TLogColour::Navy);
}

TEST_F(ConversationTest, ClearingAtConnectResetsLogAndCounters)
{
    View.Opts.ResetLogAtConnect = true;
    View.Opts.ResetCounterAtConnect = true;
    View.Log.Append(TLogEntryKind::Status, "+OK old\r\n");
    Server.send(kGreeting);
    Connect();
    EXPECT_THAT(View.LogLines(), ElementsAre("+OK POP3 bereit"));
    EXPECT_EQ(View.Received, 17);
    EXPECT_EQ(Conversation.ReceivedBase(), 0);
}

TEST_F(ConversationTest, RefusedConnectionShowsE1AndLeavesNoTrace)
{
    std::string Address;
    {
        ScriptedServer Gone;
        Address = Gone.address();
    }
    Conversation.ButtonVerbindenClick(Address);
    EXPECT_TRUE(Conversation.ErrorFlag());
    EXPECT_EQ(Conversation.ErrorMessage(), "Winsock-Fehler: 10061 - Connection refused");
    EXPECT_TRUE(View.GuidanceIsError);
    EXPECT_EQ(View.Guidance,
        "Winsock-Fehler: 10061 - Connection refused\r\n\r\nEs war nicht möglich, eine Verbindung "
        "zum Server \"127.0.0.1\" aufzubauen. Überprüfen Sie, ob es sich bei dem eingegebenen "
        "Namen wirklich um einen POP3-Server handelt, ob der Name korrekt geschrieben ist und ob "
        "Ihre TCP/IP-Anbindung funktioniert.");
    EXPECT_TRUE(View.LogLines().empty());
    EXPECT_TRUE(View.Hosts.empty());
    EXPECT_FALSE(View.Connected);
    EXPECT_EQ(View.StatusText, "Winsock-Fehler: 10061 - Connection refused");
    EXPECT_EQ(View.Title, "Brieflotse");
    EXPECT_EQ(View.Picture, TStatusPicture::Offline);
    EXPECT_FALSE(Conversation.Busy());
}

TEST_F(ConversationTest, MissingGreetingTimesOutButStaysConnected)
{
    Conversation.SetWaitTimeout(1);
    Server.holdOpen(3000);
    Server.start();
    Conversation.ButtonVerbindenClick(Server.address());
    EXPECT_EQ(Conversation.ErrorMessage(), "Winsock-Fehler: 12000 - Request timed out");
    EXPECT_TRUE(View.Connected);
    EXPECT_TRUE(View.GuidanceIsError);
    EXPECT_THAT(View.Guidance, HasSubstr("\r\n\r\nDie Kommunikation mit dem Server scheint gestört zu sein."));
    EXPECT_THAT(View.Hosts, ElementsAre(Server.address()));
    EXPECT_TRUE(View.LogLines().empty());
}

// A name with two addresses, the first refused: the log names it and the one
// connected to, or after a failed connect each address tried. That one is
// this machine, so no clear-text warning, whatever the name.
TEST_F(ConversationTest, NotesNameEveryAddressTriedAndTheOneConnectedTo)
{
    Socket.SetResolver([](const std::string&, std::vector<TPeerAddress>& Found) {
        Found.resize(2);
        return ParseNumericAddress("127.0.0.2", Found[0]) && ParseNumericAddress("127.0.0.1", Found[1]) ? 0 : 1;
    });
    Server.send(kGreeting).holdOpen(3000);
    Server.start();
    const std::string Port = std::to_string(Server.port());
    Conversation.ButtonVerbindenClick("mail.example.net:" + Port);
    const std::string Refused = "Brieflotse: Verbindungsversuch mit 127.0.0.2: Connection refused";
    EXPECT_THAT(View.Notes, ElementsAre(Refused, "Brieflotse: Verbunden mit 127.0.0.1 (Port " + Port + ")."));
    EXPECT_THAT(View.Guidance, testing::Not(HasSubstr("nicht verschlüsselt")));

    Conversation.CloseConnection();
    View.Notes.clear();
    uint16_t GonePort = 0;
    {
        ScriptedServer Gone;
        GonePort = Gone.port();
    }
    Conversation.ButtonVerbindenClick("mail.example.net:" + std::to_string(GonePort));
    EXPECT_EQ(Conversation.ErrorMessage(), "Winsock-Fehler: 10061 - Connection refused");
    EXPECT_THAT(View.Notes, ElementsAre(Refused, "Brieflotse: Verbindungsversuch mit 127.0.0.1: Connection refused"));
}

TEST_F(ConversationTest, EmptyHostReports10049WithAnEmptyServerName)
{
    Conversation.ButtonVerbindenClick("");
    EXPECT_EQ(Conversation.ErrorMessage(), "Winsock-Fehler: 10049 - Can't assign requested address");
    EXPECT_THAT(View.Guidance, HasSubstr("Verbindung zum Server \"\" aufzubauen"));
    EXPECT_TRUE(View.Hosts.empty());
}

TEST_F(ConversationTest, CommandsAreUpperCasedLoggedMaskedAndRemembered)
{
    Server.send(kGreeting)
        .expectLine()
        .send("+OK hallo anna\r\n")
        .expectLine()
        .send("+OK angemeldet\r\n")
        .expectLine()
        .send("+OK 2 320\r\n");
    Connect();
    Conversation.SendAction("user Anna");
    Conversation.SendAction("pass Geh eim");
    Conversation.SendAction("stat");
    ASSERT_TRUE(Server.waitFinished(5000)) << Server.error();
    EXPECT_EQ(Server.received(), "USER Anna\r\nPASS Geh eim\r\nSTAT\r\n");
    EXPECT_THAT(View.Commands, ElementsAre("USER Anna", "PASS Geh eim", "STAT"));
    EXPECT_THAT(View.LogLines(),
        ElementsAre("+OK POP3 bereit", "", "USER Anna", "+OK hallo anna", "", "PASS Schhh... nicht verraten!",
            "+OK angemeldet", "", "STAT", "+OK 2 320"));
    EXPECT_THAT(View.Guidance, StartsWith("Der Server hat statistische Daten"));
    EXPECT_EQ(View.Focus, "command");
    EXPECT_EQ(View.Sent, 31);
}

TEST_F(ConversationTest, EmptyListEndsWithoutWaiting)
{
    Conversation.SetWaitTimeout(1);
    // A read after the terminator would run into the silence and time out.
    Server.send(kGreeting).expectLine().send("+OK 0 messages\r\n.\r\n").holdOpen(3000);
    Connect();
    Conversation.SendAction("LIST");
    EXPECT_FALSE(Conversation.ErrorFlag()) << Conversation.ErrorMessage();
    EXPECT_THAT(View.LogLines(), ElementsAre("+OK POP3 bereit", "", "LIST", "+OK 0 messages", "."));
    EXPECT_THAT(View.Guidance, StartsWith("Der Server hat eine Liste der"));
}

TEST_F(ConversationTest, BodyInChunksIsLoggedLineByLine)
{
    Server.send(kGreeting)
        .expectLine()
        .send("+OK 2 messages\r")
        .pause(50)
        .send("\n1 12")
        .pause(50)
        .send("0\r\n2 200\r\n.")
        .pause(50)
        .send("\r\n");
    Connect();
    Conversation.SendAction("list");
    EXPECT_FALSE(Conversation.ErrorFlag()) << Conversation.ErrorMessage();
    EXPECT_THAT(View.LogLines(), ElementsAre("+OK POP3 bereit", "", "LIST", "+OK 2 messages", "1 120", "2 200", "."));
}

TEST_F(ConversationTest, NegativeStatusOfAMultiLineCommandReadsNoBody)
{
    Server.send(kGreeting).expectLine().send("-ERR no such message\r\n");
    Connect();
    Conversation.SendAction("RETR 9");
    EXPECT_FALSE(Conversation.ErrorFlag());
    EXPECT_THAT(View.LogLines(), ElementsAre("+OK POP3 bereit", "", "RETR 9", "-ERR no such message"));
    EXPECT_THAT(View.Guidance, StartsWith("Der Server konnte die angeforderte Nachricht nicht übermitteln."));
}

TEST_F(ConversationTest, EmptyStatusLineStillShowsAsALine)
{
    Server.send(kGreeting).expectLine().send("\r\n");
    Connect();
    Conversation.SendAction("UIDL");
    EXPECT_THAT(View.LogLines(), ElementsAre("+OK POP3 bereit", "", "UIDL", ""));
    EXPECT_THAT(View.Guidance, HasSubstr("Status-Code () beantwortet"));
}

TEST_F(ConversationTest, MultiLineAnswerToASingleLineCommandEndsAsUnexpectedData)
{
    Server.send(kGreeting).expectLine().send("+OK 2 messages\r\n").pause(200).send("1 120\r\n2 200\r\n.\r\n");
    Connect();
    Conversation.SendAction("LIST 1");
    EXPECT_THAT(View.Guidance, StartsWith("Der Server hat Nummer und Größe"));
    ASSERT_TRUE(WaitForData());
    Conversation.PollUnexpectedData();
    EXPECT_FALSE(Conversation.ErrorFlag());
    EXPECT_THAT(View.LogLines(), ElementsAre("+OK POP3 bereit", "", "LIST 1", "+OK 2 messages", "1 120", "2 200", "."));
    EXPECT_THAT(View.Guidance, StartsWith("Der Server hat das letzte Kommando mit einem Status-Code (1) beantwortet"));
    EXPECT_THAT(View.StatusTexts, testing::Contains("Empfängt unerwartete Daten ..."));
    EXPECT_EQ(View.StatusText, "Bereit");
    EXPECT_FALSE(Conversation.Busy());
}

TEST_F(ConversationTest, EmptyCommandLineSendsABareLineEnd)
{
    Server.send(kGreeting).expectLine().send("-ERR unknown command\r\n");
    Connect();
    Conversation.SendAction("");
    ASSERT_TRUE(Server.waitFinished(5000)) << Server.error();
    EXPECT_EQ(Server.received(), "\r\n");
    EXPECT_TRUE(View.Commands.empty());
    EXPECT_THAT(View.LogLines(), ElementsAre("+OK POP3 bereit", "", "", "-ERR unknown command"));
    EXPECT_THAT(View.Guidance, StartsWith("Der Server hat das letzte Kommando oder dessen Parameter abgewiesen"));
}

TEST_F(ConversationTest, TimeOutDuringABodyKeepsFlushedLinesAndTheConnection)
{
    Conversation.SetWaitTimeout(1);
    Server.send(kGreeting)
        .expectLine()
        .send("+OK 300 octets\r\n")
        .pause(50)
        .send("Subject: x\r\n\r\nHal")
        .holdOpen(4000);
    Connect();
    Conversation.SendAction("RETR 1");
    EXPECT_TRUE(Conversation.ErrorFlag());
    EXPECT_EQ(Conversation.ErrorMessage(), "Winsock-Fehler: 12000 - Request timed out");
    EXPECT_THAT(View.LogLines(), ElementsAre("+OK POP3 bereit", "", "RETR 1", "+OK 300 octets", "Subject: x", ""));
    EXPECT_TRUE(View.GuidanceIsError);
    EXPECT_EQ(View.Guidance,
        "Winsock-Fehler: 12000 - Request timed out\r\n\r\nDie Kommunikation mit dem Server scheint "
        "gestört zu sein. Senden Sie das NOOP-Kommando, um den Fortbestand der Verbindung zu "
        "testen, oder unterbrechen Sie die Verbindung notfalls durch einen Klick auf \"Trennen\".\r\n\r\n"
        "Die Antwort auf RETR 1 steht noch aus. Kommt sie später, zeigt Brieflotse sie als verspätete Antwort auf "
        "RETR 1 an (im Protokoll grau markiert); das nächste Kommando bekommt danach seine eigene Antwort.");
    EXPECT_TRUE(Conversation.Connected());
    EXPECT_TRUE(View.Connected);
    EXPECT_EQ(View.StatusText, "Winsock-Fehler: 12000 - Request timed out");
    // Nothing more has come: a poll reads nothing.
    Conversation.PollUnexpectedData();
    EXPECT_THAT(View.LogLines(), testing::SizeIs(6));
}

TEST_F(ConversationTest, ServerClosingInTheMiddleOfAReplyEndsTheReadWithAnError)
{
    Server.send(kGreeting).expectLine().send("+OK halb").close();
    Connect();
    Conversation.SendAction("NOOP");
    EXPECT_TRUE(Conversation.ErrorFlag());
    EXPECT_EQ(Conversation.ErrorMessage(), "Der Server hat die Verbindung beendet.");
    EXPECT_TRUE(View.GuidanceIsError);
    EXPECT_FALSE(View.Connected);
    EXPECT_FALSE(Conversation.Busy());
}

TEST_F(ConversationTest, PositiveQuitGoesOfflineEvenInLowerCase)
{
    View.Opts.UpperCaseCommands = false;
    Server.send(kGreeting).expectLine().send("+OK bye\r\n").close();
    Connect();
    Conversation.SendAction("quit");
    ASSERT_TRUE(Server.waitFinished(5000)) << Server.error();
    EXPECT_EQ(Server.received(), "quit\r\n");
    EXPECT_FALSE(Conversation.Connected());
    EXPECT_FALSE(View.Connected);
    EXPECT_EQ(View.Focus, "host");
    EXPECT_EQ(View.StatusText, "Offline");
    EXPECT_EQ(View.Title, "Brieflotse");
    EXPECT_THAT(View.Guidance, StartsWith("Der Server \"127.0.0.1\" hat den Kommunikationskanal"));
    EXPECT_THAT(View.LogLines(), ElementsAre("+OK POP3 bereit", "", "quit", "+OK bye"));
    EXPECT_TRUE(Conversation.FormCloseQuery());
    EXPECT_TRUE(View.Questions.empty());
}

TEST_F(ConversationTest, NegativeQuitStaysConnected)
{
    Server.send(kGreeting).expectLine().send("-ERR not now\r\n");
    Connect();
    Conversation.SendAction("QUIT");
    EXPECT_TRUE(Conversation.Connected());
    EXPECT_TRUE(View.Connected);
    EXPECT_EQ(View.Focus, "command");
}

TEST_F(ConversationTest, DisconnectAndCloseAskFirst)
{
    Server.send(kGreeting);
    Connect();
    View.Answer = false;
    EXPECT_FALSE(Conversation.FormCloseQuery());
    Conversation.ButtonTrennenClick();
    EXPECT_TRUE(Conversation.Connected());
    ASSERT_EQ(View.Questions.size(), 2u);
    EXPECT_EQ(View.Questions[0].first, "Brieflotse - Beenden");
    EXPECT_EQ(View.Questions[0].second,
        "Bevor Sie das Programm beenden, sollten Sie\r\ndie Verbindung mit dem aktuellen "
        "Mail-Server durch\r\ndas POP3-Kommando QUIT abschließen.\r\n\r\nTrotzdem jetzt "
        "beenden?");
    EXPECT_EQ(View.Questions[1].first, "Brieflotse - Trennen");
    EXPECT_EQ(View.Questions[1].second,
        "Sofern keine schwerwiegenden Protokoll- oder\r\nTCP/IP-Probleme vorliegen, "
        "sollten Sie die\r\nVerbindung mit dem aktuellen Mail-Server durch\r\ndas "
        "POP3-Kommando QUIT abschließen.\r\n\r\nTrotzdem jetzt trennen?");
    View.Answer = true;
    Conversation.ButtonTrennenClick();
    EXPECT_FALSE(Conversation.Connected());
    EXPECT_FALSE(View.Connected);
    EXPECT_THAT(View.Guidance, StartsWith("Sie haben die Verbindung zum Server \"127.0.0.1\" durch einen Klick"));
    EXPECT_THAT(View.StatusTexts, testing::Contains("Trennt von 127.0.0.1 ..."));
    EXPECT_EQ(View.StatusText, "Offline");
}

TEST_F(ConversationTest, WaitingHookCannotStartASecondExchange)
{
    Server.send(kGreeting).expectLine().pause(300).send("+OK\r\n");
    Connect();
    int Calls = 0;
    Conversation.SetWaitHook([&] {
        ++Calls;
        Conversation.PollUnexpectedData();
        Conversation.SendAction("NOOP");
        Conversation.ButtonVerbindenClick("elsewhere");
    });
    Conversation.SendAction("RSET");
    Conversation.SetWaitHook(nullptr);
    EXPECT_GT(Calls, 0);
    ASSERT_TRUE(Server.waitFinished(5000)) << Server.error();
    EXPECT_EQ(Server.received(), "RSET\r\n");
    EXPECT_THAT(View.LogLines(), ElementsAre("+OK POP3 bereit", "", "RSET", "+OK"));
    EXPECT_FALSE(Conversation.ErrorFlag());
}

TEST_F(ConversationTest, ResetCountersShowsZero)
{
    Server.send(kGreeting).expectLine().send("+OK\r\n");
    Connect();
    Conversation.SendAction("NOOP");
    EXPECT_EQ(View.Sent, 6);
    Conversation.ResetCounters();
    EXPECT_EQ(View.Sent, 0);
    EXPECT_EQ(View.Received, 0);
    EXPECT_EQ(Conversation.SentBase(), 6);
}

// Bytes a server sends behind its "+OK" to STLS precede TLS: they are no
// reply and no part of the handshake, and nobody waits for their line end.
TEST_F(ConversationTest, PlainTextBehindTheStlsReplyIsDroppedNotReadAsTls)
{
    Server.send(kGreeting).expectLine().send("+OK Begin TLS\r\nnoch Klartext").expectBytes(5).close();
    Connect();
    Conversation.SendAction("STLS");
    EXPECT_THAT(View.Notes,
        Contains("Brieflotse: 13 Bytes kamen hinter \"+OK\" noch unverschlüsselt und wurden verworfen: \"noch "
                 "Klartext\""));
    EXPECT_THAT(View.LogLines(), ElementsAre("+OK POP3 bereit", "", "STLS", "+OK Begin TLS"));
    // The handshake met the server's close, not the plain text.
    EXPECT_THAT(Conversation.ErrorMessage(), HasSubstr("12104"));
    EXPECT_THAT(View.Notes, Contains(StartsWith("Brieflotse: TLS gescheitert")));
    EXPECT_FALSE(View.Connected);
}

// A server that answers the handshake in plain text, after STLS and on the
// pop3s port: OpenSSL's reason, offline, and no NOOP for a connection that is gone.
TEST_F(ConversationTest, PlainAnswerToTheHandshakeExplainsItselfAndGoesOffline)
{
    Server.send(kGreeting).expectLine().send("+OK\r\n").expectBytes(5).send("-ERR what?\r\n").holdOpen(3000);
    Connect();
    ScriptedServer Plain;
    Plain.send(kGreeting).holdOpen(3000);
    Plain.start();
    for (const std::string& Action : { std::string("STLS"), "pop3s://" + Plain.address() }) {
        View.Notes.clear();
        Action == "STLS" ? Conversation.SendAction(Action) : Conversation.ButtonVerbindenClick(Action);
        EXPECT_THAT(
            View.Notes, ElementsAre("Brieflotse: TLS gescheitert, OpenSSL nennt als Grund: \"wrong version number\"."));
        EXPECT_FALSE(Conversation.Connected() || View.Connected);
        EXPECT_EQ(View.Title, "Brieflotse");
        EXPECT_TRUE(View.GuidanceIsError);
        EXPECT_THAT(View.Guidance, AllOf(StartsWith("Winsock-Fehler: 12105"), Not(HasSubstr("NOOP"))));
    }
}
