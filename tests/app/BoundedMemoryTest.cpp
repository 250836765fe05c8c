// Whatever a server sends, the program's memory stays bounded: endless
// replies, endless lines and endless unasked data fill the log up to its
// limit, the rest is counted and noted, and the user can stop the wait.

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>
#include <iostream>

#include "tests/app/WindowTest.h"

namespace {

const std::string kGreeting = "+OK POP3 bereit\r\n";

// Resident memory of this process now and at its peak, in bytes.
qint64 MemoryField(const char* Field)
{
    QFile Status(QStringLiteral("/proc/self/status"));
    if (!Status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& Line : Status.readAll().split('\n'))
        if (Line.startsWith(Field))
            return Line.mid(static_cast<qsizetype>(strlen(Field))).trimmed().split(' ').first().toLongLong() * 1024;
    return 0;
}

class BoundedMemory : public WindowTest {
protected:
    void SetUp() override
    {
        WindowTest::SetUp();
        Main->Conversation().SetWaitTimeout(2);
        // The log's limit, scaled down so that a few seconds of data reach it.
        Main->ProtocolLog().SetMaxCharacters(8 << 20);
        Main->Conversation().SetMaxLineBytes(4 << 20);
    }
    QString LogText() const { return Child<TLogView>(*Main, "Log")->PlainText(); }

    // Presses Escape after Milliseconds and says yes to the stop question.
    void StopAfter(int Milliseconds)
    {
        TMessageBox::SetNextAnswer(QMessageBox::Yes);
        QTimer::singleShot(
            Milliseconds, Main.get(), [this] { QTest::keyClick(Child<TLogView>(*Main, "Log"), Qt::Key_Escape); });
    }

    template <typename Condition> bool RunEventsUntil(Condition Done, int Milliseconds)
    {
        QElapsedTimer Clock;
        Clock.start();
        while (!Done() && Clock.elapsed() < Milliseconds)
            QApplication::processEvents(QEventLoop::AllEvents, 50);
        return Done();
    }
};

} // namespace

TEST_F(BoundedMemory, EndlessDataOfEveryKindStaysWithinItsLimits)
{
    const std::string Lines = [] {
        std::string Text;
        while (Text.size() < 65536)
            Text += "Zeile einer endlosen Nachricht, die nie mit einem Punkt endet\r\n";
        return Text;
    }();
    const std::string NoLineEnd(65536, 'x');
    struct TCase {
        const char* Name;
        std::string Reply; // after the command
        std::string Pattern;
        bool Unasked;
    };
    const TCase Cases[] = {
        { "endless body", "+OK\r\n", Lines, false },
        { "endless body line", "+OK\r\n", NoLineEnd, false },
        { "endless status line", "+OK ", NoLineEnd, false },
        { "endless unasked data", "", NoLineEnd, true },
        { "endless unasked lines", "", Lines, true },
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        const qint64 Before = MemoryField("VmRSS:");
        ScriptedServer Server;
        Server.send(kGreeting);
        if (Case.Unasked)
            Server.pause(300);
        else
            Server.expectLine();
        Server.send(Case.Reply).stream(Case.Pattern, 6000);
        ConnectTo(Server);
        StopAfter(4000);
        if (Case.Unasked)
            RunEventsUntil([this] { return !Main->Conversation().Connected(); }, 8000);
        else
            Main->SendCommandLine(QStringLiteral("RETR 1"));
        EXPECT_FALSE(Main->Conversation().Connected()) << "stopped by Escape";
        const qint64 Growth = MemoryField("VmHWM:") - Before;
        EXPECT_LT(Growth, qint64(700) << 20);
        std::cout << Case.Name << ": peak resident memory grew by " << (Growth >> 20) << " MB\n";
        const QString Text = LogText();
        // Unasked lines fill the log, then are only counted: one note, not one per line.
        if (Case.Pattern == Lines && Case.Unasked)
            EXPECT_EQ(Text.count(QStringLiteral("Das Protokoll ist voll")), 1) << Text.right(600).toStdString();
        else
            EXPECT_TRUE(Text.contains(QStringLiteral("nicht angezeigt"))) << Text.right(300).toStdString();
        Main->ProtocolLog().Clear();
    }
}

// A very long line costs once: the next command is as quick as on a fresh log.
TEST_F(BoundedMemory, FiftyMegabyteLineDoesNotSlowTheNextCommand)
{
    ScriptedServer Server;
    // NOOP, RETR 1 (one line of 50 MB), NOOP.
    Server.send(kGreeting)
        .expectLine()
        .send("+OK\r\n")
        .expectLine()
        .send("+OK\r\n")
        .send(std::string(50 << 20, 'x') + "\r\n.\r\n")
        .expectLine()
        .send("+OK\r\n");
    ConnectTo(Server);
    QElapsedTimer Clock;
    Clock.start();
    Main->SendCommandLine(QStringLiteral("NOOP"));
    const qint64 Fresh = Clock.restart();
    Main->SendCommandLine(QStringLiteral("RETR 1"));
    EXPECT_TRUE(LogText().contains(QStringLiteral("Bytes dieser Zeile wurden empfangen, aber nicht angezeigt")));
    Clock.restart();
    Main->SendCommandLine(QStringLiteral("NOOP"));
    EXPECT_LT(Clock.elapsed(), Fresh + 300);
    EXPECT_TRUE(LogText().endsWith(QStringLiteral("NOOP\n+OK"))) << LogText().right(300).toStdString();
}
