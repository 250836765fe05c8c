// Command entry in the main window: the command history, the assistant's line
// going through the whole send path, and where the focus lands.

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

#include "app/BrieflotseMain.h"
#include "dialogs/BrieflotseEdit.h"
#include "dialogs/MessageBox.h"
#include "settings/SettingsStore.h"
#include "tests/app/WindowTest.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TempDir.h"

namespace {

class CommandEntryTest : public WindowTest {
protected:
    void SetUp() override
    {
        WindowTest::SetUp();
        Assistant = std::make_unique<TPOP3Edit>(*Store, Main.get());
        Main->SetDialogs(nullptr, Assistant.get(), nullptr);
    }

    void TearDown() override
    {
        // The assistant is a child of the main window: it goes first.
        Assistant.reset();
        WindowTest::TearDown();
    }

    std::unique_ptr<TPOP3Edit> Assistant;
};

TEST_F(CommandEntryTest, HistoryKeepsOneEntryPerLineAndAtMostSixtyFour)
{
    ScriptedServer Server;
    Server.send("+OK\r\n");
    for (int Index = 0; Index < 67; ++Index)
        Server.expectLine().send("+OK\r\n");
    ConnectTo(Server);

    Main->SendCommandLine(QStringLiteral("noop"));
    Main->SendCommandLine(QStringLiteral("NOOP"));
    EXPECT_EQ(Child<QComboBox>(*Main, "Command")->count(), 1);
    EXPECT_EQ(Child<QComboBox>(*Main, "Command")->itemText(0), QStringLiteral("NOOP"));
    EXPECT_TRUE(Child<QComboBox>(*Main, "Command")->currentText().isEmpty()) << "the field is emptied after sending";

    for (int Index = 1; Index <= 65; ++Index)
        Main->SendCommandLine(QStringLiteral("X%1").arg(Index));
    EXPECT_EQ(Child<QComboBox>(*Main, "Command")->count(), 64);
    EXPECT_EQ(Child<QComboBox>(*Main, "Command")->itemText(0), QStringLiteral("X65"));
    EXPECT_EQ(Child<QComboBox>(*Main, "Command")->itemText(63), QStringLiteral("X2"));
    EXPECT_TRUE(Child<QComboBox>(*Main, "Command")->lineEdit()->hasFocus() || !QApplication::focusWidget());
}

TEST_F(CommandEntryTest, AssistantLineGoesThroughTheWholeSendPath)
{
    ScriptedServer Server;
    Server.send("+OK\r\n").expectLine().send("+OK 1 octets\r\n");
    ConnectTo(Server);

    QTimer::singleShot(0, Assistant.get(), [this] {
        Child<QLineEdit>(*Assistant, "EditLIST")->setText(QStringLiteral("1"));
        Child<QPushButton>(*Assistant, "ButtonSend")->click();
    });
    Child<QPushButton>(*Main, "ButtonLIST")->click();
    ASSERT_TRUE(Server.waitFinished(5000));
    EXPECT_EQ(Server.received(), "LIST 1\r\n");
    EXPECT_EQ(Child<QComboBox>(*Main, "Command")->itemText(0), QStringLiteral("LIST 1"));
    EXPECT_TRUE(Child<TLogView>(*Main, "Log")->PlainText().endsWith(QStringLiteral("LIST 1\n+OK 1 octets")));
    EXPECT_TRUE(Child<QPlainTextEdit>(*Main, "Hint")
                    ->toPlainText()
                    .startsWith(QStringLiteral("Der Server hat Nummer und Größe")));
}

TEST_F(CommandEntryTest, StlsEntryOfTheCommandMenuGoesThroughTheAssistant)
{
    ScriptedServer Server;
    Server.send("+OK\r\n").expectLine().send("-ERR nicht hier\r\n");
    ConnectTo(Server);
    QString Title;
    QTimer::singleShot(0, Assistant.get(), [this, &Title] {
        Title = Assistant->windowTitle();
        Child<QPushButton>(*Assistant, "ButtonSend")->click();
    });
    Child<QAction>(*Main, "MenuSTLS")->trigger();
    ASSERT_TRUE(Server.waitFinished(5000));
    EXPECT_EQ(Title, QStringLiteral("Brieflotse - STLS"));
    EXPECT_EQ(Server.received(), "STLS\r\n");
}

// UIDL and TOP open the assistant on the LIST and RETR pages with their variant chosen.
TEST_F(CommandEntryTest, UidlAndTopEntriesOfTheCommandMenuChooseTheirVariant)
{
    ScriptedServer Server;
    Server.send("+OK\r\n").expectLine().send("+OK 2 x\r\n").expectLine().send("+OK\r\n.\r\n");
    ConnectTo(Server);
    for (const char* Entry : { "MenuUIDL", "MenuTOP" }) {
        QTimer::singleShot(0, Assistant.get(), [this] {
            Child<QLineEdit>(*Assistant, "EditLIST")->setText(QStringLiteral("2"));
            Child<QLineEdit>(*Assistant, "EditRETR")->setText(QStringLiteral("1"));
            Child<QLineEdit>(*Assistant, "EditTOP")->setText(QStringLiteral("5"));
            Child<QPushButton>(*Assistant, "ButtonSend")->click();
        });
        Child<QAction>(*Main, Entry)->trigger();
    }
    ASSERT_TRUE(Server.waitFinished(5000));
    EXPECT_EQ(Server.received(), "UIDL 2\r\nTOP 1 5\r\n");
}

// A pop3:// address with a user name (RFC 2384) reaches host and port, and
// the name lands in the assistant; a name with '@' is refused unresolved.
TEST_F(CommandEntryTest, AddressWithAUserNameConnectsAndFillsTheAssistant)
{
    ScriptedServer Server;
    Server.send("+OK\r\n").holdOpen(2000);
    Server.start();
    Main->ConnectTo(QStringLiteral("pop3://lot%73e;AUTH=CRAM-MD5@127.0.0.1:%1/1").arg(Server.port()));
    ASSERT_TRUE(Main->Conversation().Connected()) << Child<QPlainTextEdit>(*Main, "Hint")->toPlainText().toStdString();
    EXPECT_EQ(
        Child<QComboBox>(*Main, "HostCombo")->itemText(0), QStringLiteral("pop3://127.0.0.1:%1").arg(Server.port()));
    EXPECT_EQ(Child<QLineEdit>(*Assistant, "EditUSER")->text(), QStringLiteral("lotse"));
    EXPECT_EQ(Child<QLineEdit>(*Assistant, "EditAuthUser")->text(), QStringLiteral("lotse"));
    EXPECT_EQ(Child<QComboBox>(*Assistant, "ComboMechanism")->currentText(), QStringLiteral("CRAM-MD5"));
    Main->Conversation().DropConnection();
    Main->SetConnectedState(false);

    for (const QString& Refused : { QStringLiteral("lotse@127.0.0.1"), QStringLiteral("pop3://a@b@127.0.0.1"),
             QStringLiteral("pop3://x%0D%0A@h") }) {
        SCOPED_TRACE(Refused.toStdString());
        Main->ConnectTo(Refused);
        EXPECT_FALSE(Main->Conversation().Connected());
        EXPECT_TRUE(Child<QPlainTextEdit>(*Main, "Hint")
                        ->toPlainText()
                        .contains(QStringLiteral("keine Adresse eines Mail-Servers")));
        EXPECT_NE(Child<QComboBox>(*Main, "HostCombo")->itemText(0), Refused);
        EXPECT_EQ(Child<QComboBox>(*Main, "HostCombo")->lineEdit()->selectedText(), Refused);
    }
}

TEST_F(CommandEntryTest, CancelledAssistantSendsNothing)
{
    ScriptedServer Server;
    Server.send("+OK\r\n").holdOpen(2000);
    ConnectTo(Server);
    QTimer::singleShot(0, Assistant.get(), [this] { Assistant->reject(); });
    Child<QPushButton>(*Main, "ButtonDELE")->click();
    EXPECT_EQ(Child<QComboBox>(*Main, "Command")->count(), 0);
    EXPECT_EQ(Server.received(), "");
}

TEST_F(CommandEntryTest, PositiveQuitPutsTheFocusIntoTheHostField)
{
    ScriptedServer Server;
    Server.send("+OK\r\n").expectLine().send("+OK bye\r\n").holdOpen(2000);
    ConnectTo(Server);
    QApplication::setActiveWindow(Main.get());
    Child<QPushButton>(*Main, "ButtonQUIT")->click();
    EXPECT_FALSE(Child<QComboBox>(*Main, "Command")->isEnabled());
    EXPECT_TRUE(Child<QComboBox>(*Main, "HostCombo")->isEnabled());
    QWidget* Focus = QApplication::focusWidget();
    EXPECT_TRUE(
        Focus == Child<QComboBox>(*Main, "HostCombo") || Focus == Child<QComboBox>(*Main, "HostCombo")->lineEdit());
}

} // namespace
