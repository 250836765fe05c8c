// "Postfach-Übersicht" against Dovecot: a mailbox of 1,000 messages through
// the menu entry (the question above 100 answered), DELE and RSET followed,
// and a later session matched to the first by UIDL.

#include <QAction>
#include <QTableWidget>

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

} // namespace
