// The main window against servers that misbehave: silence, missing line ends,
// resets and closes in the middle of a reply, huge lines, control and 8-bit
// bytes, trickled replies, a peer that never reads, and answers longer than
// the command asked for. In each case the window keeps working, tells the
// user in German, and the log holds exactly what arrived, once.

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLocale>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <functional>

#include <gtest/gtest.h>

#include "app/BrieflotseMain.h"
#include "dialogs/MessageBox.h"
#include "settings/SettingsStore.h"
#include "tests/app/WindowTest.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TempDir.h"

namespace {

const std::string kGreeting = "+OK POP3 bereit\r\n";
const QString kTimedOut = QStringLiteral("Winsock-Fehler: 12000 - Request timed out");
const QString kUnexpectedData = QStringLiteral("Der Server hat nach seiner letzten Antwort zusätzliche Daten");
const char* const kUnaskedNote = "Brieflotse: Unerwartete Daten, keine Antwort auf ein Kommando:";

// What the log shows of received bytes: characters outside TAB, LF, CR and
// 32..127 as blanks, one log line per CR LF, no line end after the last line.
QString Shown(const std::string& Bytes)
{
    std::string Text = Bytes;
    for (char& C : Text) {
        const auto U = static_cast<unsigned char>(C);
        if (!(U == 9 || U == 10 || U == 13 || (U >= 32 && U <= 127)))
            C = ' ';
    }
    if (Text.size() >= 2 && Text.compare(Text.size() - 2, 2, "\r\n") == 0)
        Text.resize(Text.size() - 2);
    QString Result = QString::fromLatin1(Text.data(), static_cast<qsizetype>(Text.size()));
    Result.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    Result.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return Result;
}

std::string Bytes(const char* Literal, size_t SizeWithNul)
{
    return std::string(Literal, SizeWithNul - 1);
}

class HostileServer : public WindowTest {
protected:
    void SetUp() override
    {
        WindowTest::SetUp();
        Main->Conversation().SetWaitTimeout(1);
    }

    // Lets the window pick up data that arrives between exchanges, until Done
    // holds or the bound runs out.
    template <typename Condition> bool RunEventsUntil(Condition Done, int Milliseconds = 5000)
    {
        QElapsedTimer Clock;
        Clock.start();
        while (!Done()) {
            if (Clock.elapsed() > Milliseconds)
                return false;
            QApplication::processEvents(QEventLoop::AllEvents, 20);
            QTest::qWait(5);
        }
        return true;
    }

    // The log after its first line, the program's note of the address connected to.
    QString LogText() const
    {
        const QString Text = Child<TLogView>(*Main, "Log")->PlainText();
        EXPECT_TRUE(Text.startsWith(QStringLiteral("Brieflotse: Verbunden mit 127.0.0.1 (Port ")))
            << Text.toStdString();
        return Text.section(QLatin1Char('\n'), 1);
    }
    QString Status() const { return Child<QLabel>(*Main, "StatusText")->text(); }
    QString Guidance() const { return Child<QPlainTextEdit>(*Main, "Hint")->toPlainText(); }
    QString ReceivedPanel(qlonglong Count) const
    {
        return QStringLiteral("Empfangen: ") + QLocale().toString(Count) + QStringLiteral(" Bytes");
    }
    // The log after connecting and sending one command.
    static QString AfterCommand(const char* Command, const std::string& Reply)
    {
        return Shown(kGreeting) + QStringLiteral("\n\n") + QLatin1String(Command) + QStringLiteral("\n") + Shown(Reply);
    }

    void ExpectErrorShown(const QString& Prefix)
    {
        EXPECT_TRUE(Status().startsWith(Prefix)) << Status().toStdString();
        EXPECT_TRUE(Guidance().startsWith(Prefix)) << Guidance().toStdString();
        EXPECT_TRUE(Main->Conversation().ErrorFlag());
        EXPECT_FALSE(Main->Conversation().Busy());
    }

    // A server that has gone takes the window offline, with a line that says so.
    void ExpectWentOffline(const QString& Prefix)
    {
        EXPECT_TRUE(Status().startsWith(Prefix)) << Status().toStdString();
        EXPECT_TRUE(Guidance().contains(QStringLiteral("Brieflotse ist jetzt offline"))) << Guidance().toStdString();
        EXPECT_FALSE(Main->Conversation().Connected());
        EXPECT_TRUE(Child<QPushButton>(*Main, "ButtonVerbinden")->isEnabled());
        EXPECT_FALSE(Child<QPushButton>(*Main, "ButtonSenden")->isEnabled());
        EXPECT_TRUE(LogText().endsWith(QStringLiteral("\nBrieflotse: Der Server hat die Verbindung beendet.")))
            << LogText().right(200).toStdString();
        EXPECT_FALSE(Main->Conversation().Busy());
    }

    // A connection that went bad can still be ended by the user.
    void ExpectTrennenStillWorks()
    {
        TMessageBox::SetNextAnswer(QMessageBox::Yes);
        Child<QPushButton>(*Main, "ButtonTrennen")->click();
        EXPECT_FALSE(Main->Conversation().Connected());
        EXPECT_EQ(Status(), QStringLiteral("Offline"));
        EXPECT_TRUE(Child<QPushButton>(*Main, "ButtonVerbinden")->isEnabled());
    }
};

} // namespace

TEST_F(HostileServer, GreetingThatNeverComesOrNeverEndsTimesOutConnected)
{
    {
        ScriptedServer Silent;
        Silent.holdOpen(5000);
        ConnectTo(Silent);
        ExpectErrorShown(kTimedOut);
        EXPECT_TRUE(Guidance().contains(QStringLiteral("NOOP-Kommando")));
        EXPECT_TRUE(Child<QPushButton>(*Main, "ButtonSenden")->isEnabled()) << "the window stays connected";
        EXPECT_EQ(LogText(), QString());
        ExpectTrennenStillWorks();
    }
    ScriptedServer NoLineEnd;
    NoLineEnd.send("+OK ohne Zeilenende").holdOpen(5000);
    ConnectTo(NoLineEnd);
    ExpectErrorShown(kTimedOut);
    EXPECT_FALSE(LogText().contains(QStringLiteral("ohne Zeilenende"))) << "an unfinished line is not logged";
    EXPECT_EQ(Child<QLabel>(*Main, "StatusReceived")->text(), ReceivedPanel(19));
}

TEST_F(HostileServer, ResetOrCloseInTheMiddleOfABodyKeepsTheLinesThatArrived)
{
    const std::string Reply = "+OK 120 octets\r\nZeile 1\r\nZeile 2\r\nhalbe Ze";
    for (const bool Abortive : { true, false }) {
        SCOPED_TRACE(Abortive ? "reset" : "orderly close");
        Child<QAction>(*Main, "MenuResetLogNow")->trigger();
        Child<QAction>(*Main, "MenuResetCounterNow")->trigger();
        ScriptedServer Server;
        Server.send(kGreeting).expectLine().send(Reply).pause(300);
        if (Abortive)
            Server.reset();
        else
            Server.close();
        ConnectTo(Server);
        Main->SendCommandLine(QStringLiteral("RETR 1"));

        // The end of the connection is seen at once, not after a time-out.
        ExpectWentOffline(Abortive ? QStringLiteral("Winsock-Fehler: 10054") : QStringLiteral("Der Server hat"));
        // The unfinished line is dropped; the complete ones stay, once each.
        EXPECT_EQ(LogText(),
            AfterCommand("RETR 1", "+OK 120 octets\r\nZeile 1\r\nZeile 2\r\n")
                + QStringLiteral("\nBrieflotse: Der Server hat die Verbindung beendet."));
        EXPECT_EQ(Child<QLabel>(*Main, "StatusReceived")->text(),
            ReceivedPanel(static_cast<qlonglong>(kGreeting.size() + Reply.size())));
    }
}

TEST_F(HostileServer, CloseRightAfterThePositiveStatus)
{
    ScriptedServer Server;
    Server.send(kGreeting).expectLine().send("+OK\r\n").close();
    ConnectTo(Server);
    Main->SendCommandLine(QStringLiteral("RETR 1"));
    // Offline at once: no command can go to the dead connection.
    ExpectWentOffline(QStringLiteral("Der Server hat die Verbindung beendet."));
    EXPECT_TRUE(Guidance().startsWith(QStringLiteral("Der Server \"127.0.0.1\" hat die Verbindung beendet, bevor")));
    EXPECT_EQ(LogText(),
        AfterCommand("RETR 1", "+OK\r\n") + QStringLiteral("\nBrieflotse: Der Server hat die Verbindung beendet."));
}

TEST_F(HostileServer, MegabyteLineWithoutLineEndIsHeldBackUntilTheWaitEnds)
{
    const std::string Huge(1024 * 1024, 'x');
    ScriptedServer Server;
    Server.send(kGreeting).expectLine().send("+OK\r\n" + Huge).holdOpen(8000);
    ConnectTo(Server);
    Main->SendCommandLine(QStringLiteral("RETR 1"));
    ExpectErrorShown(kTimedOut);
    EXPECT_EQ(LogText(), AfterCommand("RETR 1", "+OK\r\n"));
    const auto Total = static_cast<qlonglong>(kGreeting.size() + 5 + Huge.size());
    EXPECT_EQ(Child<QLabel>(*Main, "StatusReceived")->text(), ReceivedPanel(Total));
    EXPECT_EQ(Child<QLabel>(*Main, "StatusReceived")->text(), QStringLiteral("Empfangen: 1.048.598 Bytes"));
}

TEST_F(HostileServer, NulAndEightBitBytesShowAsBlanks)
{
    const std::string StatusLine = Bytes("+OK \0\x80\xE4\xFF Status\r\n", sizeof "+OK \0\x80\xE4\xFF Status\r\n");
    const std::string Body = Bytes("K\xF6rper \x01\x7F\x9F\xC3\xA4 Ende\r\n\0\r\n\t.x\r\n.\r\n",
        sizeof "K\xF6rper \x01\x7F\x9F\xC3\xA4 Ende\r\n\0\r\n\t.x\r\n.\r\n");
    const std::string Noop = Bytes("+OK \0\xFC\r\n", sizeof "+OK \0\xFC\r\n");
    ScriptedServer Server;
    Server.send(kGreeting).expectLine().send(StatusLine).pause(50).send(Body).expectLine().send(Noop).holdOpen(3000);
    ConnectTo(Server);
    Main->SendCommandLine(QStringLiteral("RETR 1"));
    EXPECT_FALSE(Main->Conversation().ErrorFlag()) << Main->Conversation().ErrorMessage();
    EXPECT_TRUE(Guidance().startsWith(QStringLiteral("Der Server hat die angeforderte Nachricht")));
    Main->SendCommandLine(QStringLiteral("NOOP"));
    EXPECT_FALSE(Main->Conversation().ErrorFlag());
    EXPECT_EQ(LogText(), AfterCommand("RETR 1", StatusLine + Body) + QStringLiteral("\n\nNOOP\n") + Shown(Noop));
    EXPECT_TRUE(LogText().contains(QStringLiteral("\n+OK      Status\nK rper ")));
    EXPECT_FALSE(LogText().contains(QChar(0)));
    EXPECT_FALSE(LogText().contains(QChar(0xE4)));
    EXPECT_EQ(Status(), QStringLiteral("Bereit"));
}

TEST_F(HostileServer, BodyOfOneHundredThousandOneByteWrites)
{
    std::string Body;
    for (int Line = 0; Body.size() < 100000 - 40; ++Line)
        Body += "Zeile " + std::to_string(Line) + " des Textes\r\n";
    Body += std::string(100000 - 3 - 2 - Body.size(), 'y') + "\r\n.\r\n";
    ASSERT_EQ(Body.size(), 100000u);

    ScriptedServer Server;
    Server.send(kGreeting).expectLine().send("+OK 100000 octets\r\n");
    for (const char C : Body)
        Server.send(std::string(1, C));
    Server.holdOpen(3000);
    Main->Conversation().SetWaitTimeout(5);
    ConnectTo(Server);
    Main->SendCommandLine(QStringLiteral("RETR 1"));
    EXPECT_FALSE(Main->Conversation().ErrorFlag()) << Main->Conversation().ErrorMessage();
    EXPECT_EQ(LogText(), AfterCommand("RETR 1", "+OK 100000 octets\r\n" + Body));
    EXPECT_EQ(Child<QLabel>(*Main, "StatusReceived")->text(),
        ReceivedPanel(static_cast<qlonglong>(kGreeting.size() + 19 + Body.size())));
    EXPECT_EQ(Status(), QStringLiteral("Bereit"));
}

TEST_F(HostileServer, DataWhileIdleThenResetIsShownAndTheNextCommandFails)
{
    const std::string Unexpected = "-ERR Zeit abgelaufen, Verbindung wird beendet\r\n";
    ScriptedServer Server;
    Server.send(kGreeting).pause(200).send(Unexpected).pause(300).reset();
    ConnectTo(Server);
    ASSERT_TRUE(RunEventsUntil([&] { return LogText().contains(QStringLiteral("Zeit abgelaufen")); }));
    EXPECT_TRUE(Guidance().startsWith(kUnexpectedData)) << Guidance().toStdString();
    ASSERT_TRUE(Server.waitFinished(3000)) << Server.error();

    // The reset alone logs nothing and does not keep the window busy.
    RunEventsUntil([] { return false; }, 300);
    const QString Before = Shown(kGreeting) + QStringLiteral("\n") + QString::fromUtf8(kUnaskedNote)
        + QStringLiteral("\n") + Shown(Unexpected);
    EXPECT_EQ(LogText(), Before);
    EXPECT_EQ(Status(), QStringLiteral("Bereit"));

    // The next command (or the socket, once it reads as closed) finds the
    // server gone at once, and nothing of the command is logged.
    QElapsedTimer Clock;
    Clock.start();
    Main->SendCommandLine(QStringLiteral("NOOP"));
    EXPECT_LT(Clock.elapsed(), 900);
    ExpectWentOffline(QString());
    EXPECT_EQ(LogText(), Before + QStringLiteral("\nBrieflotse: Der Server hat die Verbindung beendet."));
}

TEST_F(HostileServer, ReplySlowerThanTheWaitButEachChunkInTime)
{
    // Six pieces 400 ms apart with a one-second wait: 2.4 s in all, never 1 s of silence.
    const std::vector<std::string> Pieces
        = { "+OK 80 octets\r\n", "Subject: langsam\r\n", "\r\nErste ", "Zeile\r\nZweite Zeile\r\n", ".", "\r\n" };
    ScriptedServer Server;
    Server.send(kGreeting).expectLine();
    std::string Reply;
    for (const std::string& Piece : Pieces) {
        Server.pause(400).send(Piece);
        Reply += Piece;
    }
    Server.holdOpen(3000);
    ConnectTo(Server);
    QElapsedTimer Clock;
    Clock.start();
    Main->SendCommandLine(QStringLiteral("RETR 1"));
    EXPECT_GE(Clock.elapsed(), 2000);
    EXPECT_FALSE(Main->Conversation().ErrorFlag()) << Main->Conversation().ErrorMessage();
    EXPECT_EQ(LogText(), AfterCommand("RETR 1", Reply));
    EXPECT_TRUE(Guidance().startsWith(QStringLiteral("Der Server hat die angeforderte Nachricht")));
    EXPECT_EQ(Status(), QStringLiteral("Bereit"));
}

TEST_F(HostileServer, PeerThatNeverReadsEndsTheSendWithATimeOut)
{
    ScriptedServer Server;
    Server.setReceiveBuffer(4096);
    Server.send(kGreeting).holdOpen(10000);
    ConnectTo(Server);
    // More than both socket buffers hold: the send cannot finish.
    const std::string Line = "NOOP " + std::string(32 * 1024 * 1024, 'n');
    QElapsedTimer Clock;
    Clock.start();
    Main->Conversation().SendCommand(Line);
    EXPECT_LT(Clock.elapsed(), 5000);
    EXPECT_TRUE(Main->Conversation().ErrorFlag());
    EXPECT_EQ(Main->Conversation().ErrorMessage(), kTimedOut.toStdString());
    EXPECT_LT(Main->Conversation().BytesSent(), static_cast<int64_t>(Line.size() + 2));
    EXPECT_EQ(LogText(), Shown(kGreeting)) << "a command that did not go out is not logged";
    ExpectTrennenStillWorks();
}

TEST_F(HostileServer, HugeMultiLineAnswerToASingleLineCommandEndsAsUnexpectedData)
{
    std::string Rest;
    for (int Line = 0; Line < 5000; ++Line)
        Rest += "Zeile " + std::to_string(Line) + " einer Antwort, die niemand bestellt hat\r\n";
    Rest += ".\r\n";
    ScriptedServer Server;
    Server.send(kGreeting).expectLine().send("+OK\r\n").pause(100).send(Rest).holdOpen(5000);
    ConnectTo(Server);
    Main->SendCommandLine(QStringLiteral("NOOP"));
    ASSERT_TRUE(RunEventsUntil([&] { return LogText().endsWith(QStringLiteral("\n.")); }));
    EXPECT_FALSE(Main->Conversation().ErrorFlag()) << Main->Conversation().ErrorMessage();
    EXPECT_EQ(LogText(),
        AfterCommand("NOOP", "+OK\r\n") + QStringLiteral("\n") + QString::fromUtf8(kUnaskedNote) + QStringLiteral("\n")
            + Shown(Rest));
    // The last piece was read as unexpected data; it starts with a word that is no status.
    EXPECT_TRUE(
        Guidance().startsWith(QStringLiteral("Der Server hat das letzte Kommando mit einem Status-Code (Zeile)")))
        << Guidance().toStdString();
    EXPECT_EQ(Child<QLabel>(*Main, "StatusReceived")->text(),
        ReceivedPanel(static_cast<qlonglong>(kGreeting.size() + 5 + Rest.size())));
    EXPECT_EQ(Status(), QStringLiteral("Bereit"));
}

// Data that arrives between commands in several pieces is read piece by piece
// while idle, so the next command gets its own reply and not the leftovers.
TEST_F(HostileServer, UnaskedDataInSeveralWritesIsAllReadWhileIdle)
{
    ScriptedServer Server;
    Server.send(kGreeting)
        .pause(100)
        .send("+OK Capability list follows\r\n")
        .pause(300)
        .send("USER\r\nTOP\r\n")
        .pause(300)
        .send(".\r\n")
        .expectLine()
        .send("+OK Name angenommen\r\n")
        .holdOpen(3000);
    ConnectTo(Server);
    ASSERT_TRUE(RunEventsUntil([&] { return LogText().endsWith(QStringLiteral("\n.")); }));
    Main->SendCommandLine(QStringLiteral("USER kim"));
    EXPECT_TRUE(LogText().endsWith(QStringLiteral("USER kim\n+OK Name angenommen"))) << LogText().toStdString();
    EXPECT_TRUE(Guidance().startsWith(QStringLiteral("Der Server hat das USER-Kommando akzeptiert")))
        << Guidance().toStdString();
    EXPECT_EQ(Server.received(), "USER kim\r\n");
}

// A server that ends the connection while the program is idle (Dovecot does
// after its inactivity time-out) takes the window offline, in red.
TEST_F(HostileServer, CloseWhileIdleIsExplained)
{
    ScriptedServer Server;
    Server.send(kGreeting).pause(200).send("-ERR Disconnected for inactivity.\r\n").close();
    ConnectTo(Server);
    ASSERT_TRUE(RunEventsUntil([&] { return Guidance().contains(QStringLiteral("von sich aus beendet")); }))
        << Guidance().toStdString();
    EXPECT_TRUE(LogText().contains(QStringLiteral("-ERR Disconnected for inactivity.")));
    EXPECT_EQ(Child<QPlainTextEdit>(*Main, "Hint")->palette().color(QPalette::Text), QColor(255, 0, 0));
    ExpectWentOffline(QStringLiteral("Offline"));
    EXPECT_TRUE(Guidance().contains(QStringLiteral("\"Verbinden\"")));
}

// An unknown status word of a megabyte is quoted short, as the log shows it.
TEST_F(HostileServer, HugeUnknownStatusWordIsQuotedShort)
{
    const std::string Word = "\x01+HUH" + std::string(1 << 20, 'x') + "\xc3\xa4";
    ScriptedServer Server;
    Server.send(kGreeting).expectLine().send(Word + " ja\r\n").holdOpen(3000);
    ConnectTo(Server);
    QElapsedTimer Clock;
    Clock.start();
    Main->SendCommandLine(QStringLiteral("NOOP"));
    EXPECT_LT(Clock.elapsed(), 3000);
    EXPECT_TRUE(Guidance().contains(QStringLiteral("Status-Code ( +HUHxxx"))) << Guidance().left(200).toStdString();
    EXPECT_LT(Guidance().size(), 1000);
    EXPECT_FALSE(Guidance().contains(QChar(0xFFFD)));
    EXPECT_TRUE(Guidance().contains(QStringLiteral("x…)")));
}

// A reply trickled just inside each wait never ends by itself: Escape,
// "Trennen" and closing the window stop it (after a question), close the
// connection and keep what was logged.
TEST_F(HostileServer, TrickledReplyIsStoppedByEscapeTrennenOrClosing)
{
    const std::vector<std::pair<const char*, std::function<void(TPOP3Main&)>>> Ways = {
        { "Escape", [](TPOP3Main& Main) { QTest::keyClick(Child<QComboBox>(Main, "Command"), Qt::Key_Escape); } },
        { "Trennen",
            [](TPOP3Main& Main) { QTest::mouseClick(Child<QPushButton>(Main, "ButtonTrennen"), Qt::LeftButton); } },
        // As the window system delivers a click: to the window first.
        { "Trennen through the window",
            [](TPOP3Main& Main) {
                auto* Button = Child<QPushButton>(Main, "ButtonTrennen");
                QTest::mouseClick(
                    Main.windowHandle(), Qt::LeftButton, Qt::NoModifier, Button->mapTo(&Main, Button->rect().center()));
            } },
        { "close", [](TPOP3Main& Main) { Main.close(); } },
    };
    for (const auto& [Name, Press] : Ways) {
        SCOPED_TRACE(Name);
        Main->show();
        ScriptedServer Server;
        Server.send(kGreeting).expectLine().send("+OK 1 Nachricht\r\nZeile eins\r\n");
        for (int Piece = 0; Piece < 100; ++Piece)
            Server.send("x").pause(60);
        ConnectTo(Server);
        // A click elsewhere during the wait must not act later either.
        QTimer::singleShot(
            200, Main.get(), [this] { QTest::mouseClick(Child<QPushButton>(*Main, "ButtonNOOP"), Qt::LeftButton); });
        QTimer::singleShot(400, Main.get(), [this, Press = Press] { Press(*Main); });
        TMessageBox::ResetRecord();
        TMessageBox::SetNextAnswer(QMessageBox::Yes);
        QElapsedTimer Clock;
        Clock.start();
        Main->SendCommandLine(QStringLiteral("RETR 1"));
        EXPECT_LT(Clock.elapsed(), 2000);
        EXPECT_EQ(TMessageBox::LastTitle(), QStringLiteral("Brieflotse - Abbrechen"));
        EXPECT_FALSE(Main->Conversation().Connected());
        EXPECT_TRUE(Guidance().contains(QStringLiteral("abgebrochen"))) << Guidance().toStdString();
        EXPECT_TRUE(LogText().endsWith(
            QStringLiteral("RETR 1\n+OK 1 Nachricht\nZeile eins\nBrieflotse: Verbindung nach dem Abbruch getrennt.")))
            << LogText().toStdString();
        RunEventsUntil([] { return false; }, 300);
        EXPECT_EQ(Server.received(), "RETR 1\r\n") << "the NOOP click was dropped";
        EXPECT_EQ(Status(), QStringLiteral("Offline"));
    }
}
