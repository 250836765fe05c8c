// "Postfach-Übersicht" against Dovecot: a mailbox of 1,000 messages through
// the menu entry (the question above 100 answered), DELE and RSET followed,
// and a later session matched to the first by UIDL; against a scripted
// server without PIPELINING and UIDL: "Abbrechen" sends nothing more.

#include <QAction>
#include <QProgressDialog>
#include <QTableWidget>
#include <QTest>
#include <QTimer>

#include "app/MailboxMapWindow.h"
#include "tests/app/WindowTest.h"
#include "tests/support/DovecotHarness.h"

namespace {

class MailboxMapTest : public WindowTest {
protected:
    void LogIn(const DovecotHarness& Dovecot)
    {
        Child<QComboBox>(*Main, "HostCombo")->setEditText(QStringLiteral("127.0.0.1:%1").arg(Dovecot.port()));
        Child<QPushButton>(*Main, "ButtonVerbinden")->click();
        Main->SendCommandLine(QStringLiteral("USER ") + QString::fromStdString(Dovecot.user()));
        Main->SendCommandLine(QStringLiteral("PASS ") + QString::fromStdString(Dovecot.password()));
    }

    QTableWidget* OpenMap()
    {
        TMessageBox::SetNextAnswer(QMessageBox::Yes);
        Child<QAction>(*Main, "MenuPostfach")->trigger();
        auto* Window = Main->findChild<TMailboxMapWindow*>(QStringLiteral("MailboxMap"));
        return Window ? Window->findChild<QTableWidget*>(QStringLiteral("MailboxTable")) : nullptr;
    }

    QString LogText() const { return Child<TLogView>(*Main, "Log")->PlainText(); }
    static QString Cell(QTableWidget* Table, int Row, int Column) { return Table->item(Row, Column)->text(); }
};

TEST_F(MailboxMapTest, ThousandMessagesFollowedAndMatchedByUidl)
{
    if (!DovecotHarness::available())
        GTEST_SKIP() << "Dovecot is not installed";
    DovecotHarness::Options Options;
    Options.messages
        = { "From: =?ISO-8859-1?Q?J=FCrgen?= <j@example.org>\r\n"
            "Subject: =?UTF-8?Q?Gr=C3=BC=C3=9Fe?=\r\nDate: Mon, 7 Dec 2026 22:00:00 +0100\r\n\r\nHallo\r\n" };
    Options.extraMessages = 999;
    DovecotHarness Dovecot(Options);
    std::string Why;
    ASSERT_TRUE(Dovecot.start(&Why)) << Why;
    LogIn(Dovecot);

    QTableWidget* Table = OpenMap();
    ASSERT_TRUE(Table);
    EXPECT_TRUE(TMessageBox::LastText().contains(QStringLiteral("1.000 Nachrichten")));
    ASSERT_EQ(Table->rowCount(), 1000);
    EXPECT_EQ(Cell(Table, 0, 5), QStringLiteral("Grüße"));
    EXPECT_EQ(Cell(Table, 0, 4), QStringLiteral("Jürgen <j@example.org>"));
    EXPECT_EQ(Cell(Table, 0, 3), QStringLiteral("2026-12-07 22:00 +0100"));
    EXPECT_EQ(Cell(Table, 999, 0), QStringLiteral("1000"));
    EXPECT_TRUE(LogText().contains(QStringLiteral("TOP 1000 0")));
    const QString SecondUidl = Cell(Table, 1, 1);
    EXPECT_FALSE(SecondUidl.isEmpty());

    Main->SendCommandLine(QStringLiteral("DELE 2"));
    EXPECT_EQ(Cell(Table, 1, 6), QStringLiteral("gelöscht (DELE)"));
    Main->SendCommandLine(QStringLiteral("RSET"));
    EXPECT_EQ(Cell(Table, 1, 6), QString());

    // Message 1 goes for good; in the next session message 2 is number 1.
    Main->SendCommandLine(QStringLiteral("DELE 1"));
    Main->SendCommandLine(QStringLiteral("QUIT"));
    LogIn(Dovecot);
    Table = OpenMap();
    ASSERT_TRUE(Table);
    ASSERT_EQ(Table->rowCount(), 1000); // 999 there, one gone
    EXPECT_EQ(Cell(Table, 0, 1), SecondUidl);
    EXPECT_EQ(Cell(Table, 0, 6), QStringLiteral("vorher Nr. 2"));
    EXPECT_EQ(Cell(Table, 999, 6), QStringLiteral("nicht mehr auf dem Server (vorher Nr. 1)"));
    EXPECT_EQ(Cell(Table, 999, 0), QString());
}

// A server without PIPELINING and without UIDL (and a LIST line with a
// number too large), slow on the second TOP: "Abbrechen" during that wait
// sends no third TOP, the second reply is still read, the connection stays.
TEST_F(MailboxMapTest, AbbrechenSendsNothingMoreAndKeepsTheConnection)
{
    ScriptedServer Server;
    Server.send("+OK ready\r\n")
        .expectLine()
        .send("+OK\r\nTOP\r\nUSER\r\n.\r\n")
        .expectLine()
        .send("+OK 3 messages\r\n1 10\r\n2 20\r\n99999999999 5\r\n3 30\r\n.\r\n")
        .expectLine()
        .send("-ERR no UIDL here\r\n")
        .expectLine()
        .send("+OK\r\nSubject: eins\r\n\r\n.\r\n")
        .expectLine()
        .pause(600)
        .send("+OK\r\nSubject: zwei\r\n\r\n.\r\n")
        .holdOpen(3000);
    ConnectTo(Server);
    // "Abbrechen" until the progress window takes it: a click outside a
    // wait's turn is dropped, as the guard drops all input then.
    QTimer Presser;
    QObject::connect(&Presser, &QTimer::timeout, Main.get(), [this, &Presser, &Server] {
        auto* Progress = Main->findChild<QProgressDialog*>();
        if (Progress && Progress->labelText().startsWith(QStringLiteral("Abgebrochen")))
            return Presser.stop();
        if (Progress && Server.received().find("TOP 2 0") != std::string::npos)
            QTest::mouseClick(Progress->findChild<QPushButton*>(QStringLiteral("MailboxMapCancel")), Qt::LeftButton);
    });
    Presser.start(20);
    QTableWidget* Table = OpenMap();
    ASSERT_TRUE(Table);
    ASSERT_EQ(Table->rowCount(), 3);
    EXPECT_EQ(Cell(Table, 1, 5), QStringLiteral("zwei"));
    EXPECT_EQ(Cell(Table, 2, 5), QString());
    EXPECT_EQ(Cell(Table, 2, 1), QString());
    EXPECT_EQ(Server.received(), "CAPA\r\nLIST\r\nUIDL\r\nTOP 1 0\r\nTOP 2 0\r\n");
    EXPECT_FALSE(LogText().contains(QStringLiteral("TOP 3")));
    EXPECT_TRUE(Main->Conversation().Connected());
    EXPECT_EQ(TMessageBox::ShownCount(), 0);
}

} // namespace
