// The main window as a user meets it: enabling of controls and menu entries by
// connection state, option handlers acting on the log and the socket, keys
// typed into the log, closing while connected, and a whole conversation with
// a real Dovecot server.

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusTipEvent>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include "app/BrieflotseMain.h"
#include "dialogs/BrieflotseAbout.h"
#include "dialogs/MessageBox.h"
#include "settings/SettingsStore.h"
#include "tests/app/WindowTest.h"
#include "tests/support/DovecotHarness.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TempDir.h"

namespace {

class MainWindowTest : public WindowTest {
protected:
    QString LogText() const { return Child<TLogView>(*Main, "Log")->PlainText(); }
};

TEST_F(MainWindowTest, OfflineAndConnectedStatesEnableTheirControls)
{
    EXPECT_TRUE(Child<QComboBox>(*Main, "HostCombo")->isEnabled());
    EXPECT_TRUE(Child<QPushButton>(*Main, "ButtonVerbinden")->isEnabled());
    EXPECT_FALSE(Child<QPushButton>(*Main, "ButtonSenden")->isEnabled());
    EXPECT_FALSE(Child<QPushButton>(*Main, "ButtonQUIT")->isEnabled());
    EXPECT_FALSE(Child<QMenu>(*Main, "MenuKommandos")->menuAction()->isVisible());
    EXPECT_EQ(Main->windowTitle(), QStringLiteral("Brieflotse"));
    EXPECT_EQ(Child<QLabel>(*Main, "StatusText")->text(), QStringLiteral("Offline"));
    EXPECT_EQ(Child<QLabel>(*Main, "StatusSent")->text(), QStringLiteral("Gesendet: 0 Bytes"));

    ScriptedServer Server;
    Server.send("+OK bereit\r\n").holdOpen(3000);
    ConnectTo(Server);

    EXPECT_FALSE(Child<QComboBox>(*Main, "HostCombo")->isEnabled());
    EXPECT_FALSE(Child<QPushButton>(*Main, "ButtonSuchen")->isEnabled());
    EXPECT_TRUE(Child<QPushButton>(*Main, "ButtonSenden")->isEnabled());
    EXPECT_TRUE(Child<QPushButton>(*Main, "ButtonTrennen")->isEnabled());
    EXPECT_TRUE(Child<QMenu>(*Main, "MenuKommandos")->menuAction()->isVisible());
    EXPECT_EQ(Main->windowTitle(), QStringLiteral("Brieflotse - [127.0.0.1]"));
    EXPECT_EQ(Child<QLabel>(*Main, "StatusText")->text(), QStringLiteral("Bereit"));
    EXPECT_EQ(Child<QLabel>(*Main, "StatusReceived")->text(), QStringLiteral("Empfangen: 12 Bytes"));
    EXPECT_EQ(Child<QComboBox>(*Main, "HostCombo")->itemText(0), QString::fromStdString(Server.address()));

    emit Child<QMenu>(*Main, "MenuServer")->aboutToShow();
    EXPECT_FALSE(Child<QAction>(*Main, "MenuVerbinden")->isEnabled());
    EXPECT_FALSE(Child<QAction>(*Main, "MenuSuchen")->isEnabled());
    EXPECT_TRUE(Child<QAction>(*Main, "MenuTrennen")->isEnabled());

    emit Child<QMenu>(*Main, "MenuOptionen")->aboutToShow();
    EXPECT_FALSE(Child<QMenu>(*Main, "MenuLog")->menuAction()->isEnabled());
    EXPECT_FALSE(Child<QMenu>(*Main, "MenuCounter")->menuAction()->isEnabled());
    EXPECT_FALSE(Child<QAction>(*Main, "MenuColorStatus")->isEnabled());
    EXPECT_FALSE(Child<QAction>(*Main, "MenuColorHost")->isEnabled());
    EXPECT_TRUE(Child<QAction>(*Main, "MenuColorGreen")->isEnabled());
    EXPECT_TRUE(Child<QAction>(*Main, "MenuColorOff")->isEnabled());

    // Closing while connected asks first; No keeps window and connection.
    TMessageBox::SetNextAnswer(QMessageBox::No);
    Child<QAction>(*Main, "MenuBeenden")->trigger();
    EXPECT_EQ(TMessageBox::LastTitle(), QStringLiteral("Brieflotse - Beenden"));
    EXPECT_TRUE(Main->isVisible());
    EXPECT_TRUE(Main->Conversation().Connected());

    // "Trennen" asks too; Yes goes offline with the forced-disconnect guidance.
    TMessageBox::SetNextAnswer(QMessageBox::Yes);
    Child<QPushButton>(*Main, "ButtonTrennen")->click();
    EXPECT_EQ(TMessageBox::LastTitle(), QStringLiteral("Brieflotse - Trennen"));
    EXPECT_FALSE(Main->Conversation().Connected());
    EXPECT_TRUE(Child<QPushButton>(*Main, "ButtonVerbinden")->isEnabled());
    EXPECT_TRUE(Child<QPlainTextEdit>(*Main, "Hint")
                    ->toPlainText()
                    .startsWith(QStringLiteral("Sie haben die Verbindung zum Server")));

    emit Child<QMenu>(*Main, "MenuDatei")->aboutToShow();
    EXPECT_TRUE(Child<QAction>(*Main, "MenuSpeichern")->isEnabled());
}

TEST_F(MainWindowTest, FileEntriesNeedALogLine)
{
    emit Child<QMenu>(*Main, "MenuDatei")->aboutToShow();
    EXPECT_FALSE(Child<QAction>(*Main, "MenuSpeichern")->isEnabled());
    EXPECT_FALSE(Child<QAction>(*Main, "MenuDrucken")->isEnabled());
    Main->ProtocolLog().Append(TLogEntryKind::Status, "+OK\r\n");
    emit Child<QMenu>(*Main, "MenuDatei")->aboutToShow();
    EXPECT_TRUE(Child<QAction>(*Main, "MenuSpeichern")->isEnabled());
    EXPECT_TRUE(Child<QAction>(*Main, "MenuDrucken")->isEnabled());
}

TEST_F(MainWindowTest, OptionHandlersReachLogAndSocket)
{
    Main->MenuTimeoutClick(Child<QAction>(*Main, "Menu40Sek"));
    EXPECT_EQ(Main->Conversation().WaitTimeout(), 40);
    EXPECT_TRUE(Child<QAction>(*Main, "Menu40Sek")->isChecked());
    EXPECT_FALSE(Child<QAction>(*Main, "Menu30Sek")->isChecked());

    Main->ProtocolLog().Append(TLogEntryKind::Status, "+OK erste Zeile\r\n");
    Main->MenuFontMonoClick();
    EXPECT_TRUE(QFontInfo(Child<TLogView>(*Main, "Log")->font()).fixedPitch());
    EXPECT_EQ(Child<TLogView>(*Main, "Log")->CaretPosition(), Child<TLogView>(*Main, "Log")->EndPosition());
    Main->MenuFontPropClick();
    EXPECT_TRUE(Child<QAction>(*Main, "MenuFontProp")->isChecked());

    // A fixed colour acts on the next server text.
    Main->MenuColorClick(Child<QAction>(*Main, "MenuColorRed"));
    EXPECT_EQ(Main->ProtocolLog().ServerColor(), TLogColour::Red);
    Main->ProtocolLog().Append(TLogEntryKind::Status, "+OK rot\r\n");
    const TLogStore& LogStore = Child<TLogView>(*Main, "Log")->Store();
    const TLogLineText Last = ReadLogLine(LogStore, LogStore.LineCount() - 1);
    EXPECT_EQ(Last.Text, QStringLiteral("+OK rot"));
    EXPECT_EQ(QColor::fromRgba(Last.Spans.front().Style.Colour), QColor(255, 0, 0));

    // Without "Kommandos fett" a command line is logged without bold.
    Child<QAction>(*Main, "MenuCmdBold")->trigger();
    Main->ProtocolLog().Append(TLogEntryKind::Command, "\r\nNOOP");
    EXPECT_NE(ReadLogLine(LogStore, LogStore.LineCount() - 1).Spans.front().Style.Bold() ? QFont::Bold : QFont::Normal,
        QFont::Bold);
    Child<QAction>(*Main, "MenuCmdUpper")->trigger();
    EXPECT_FALSE(Main->Options().UpperCaseCommands);

    Child<QAction>(*Main, "MenuResetLogNow")->trigger();
    EXPECT_FALSE(Main->ProtocolLog().HasLines());
}

TEST_F(MainWindowTest, KeysTypedInTheLogContinueInTheCommandLine)
{
    Child<TLogView>(*Main, "Log")->setFocus();
    QTest::keyClick(Child<TLogView>(*Main, "Log"), Qt::Key_N, Qt::NoModifier);
    QApplication::processEvents();
    EXPECT_TRUE(Child<QComboBox>(*Main, "Command")->currentText().isEmpty()) << "offline: the key does nothing";

    ScriptedServer Server;
    Server.send("+OK\r\n").holdOpen(3000);
    ConnectTo(Server);
    Child<TLogView>(*Main, "Log")->setFocus();
    QTest::keyClicks(Child<TLogView>(*Main, "Log"), QStringLiteral("n"));
    QApplication::processEvents();
    EXPECT_EQ(Child<QComboBox>(*Main, "Command")->currentText(), QStringLiteral("n"));
    EXPECT_TRUE(Child<QComboBox>(*Main, "Command")->lineEdit()->hasFocus());
}

TEST_F(MainWindowTest, HintsShowInTheFirstStatusPanel)
{
    QStatusTipEvent Enter(Child<QPushButton>(*Main, "ButtonVerbinden")->statusTip());
    QApplication::sendEvent(Child<QPushButton>(*Main, "ButtonVerbinden"), &Enter);
    EXPECT_EQ(Child<QLabel>(*Main, "StatusText")->text(), QStringLiteral("Verbindet mit dem gewählten Mail-Server"));
    QStatusTipEvent Leave((QString()));
    QApplication::sendEvent(Child<QPushButton>(*Main, "ButtonVerbinden"), &Leave);
    EXPECT_EQ(Child<QLabel>(*Main, "StatusText")->text(), QStringLiteral("Offline"));

    // The about box's links show their address here too.
    TPOP3About About(Main.get());
    Main->SetDialogs(nullptr, nullptr, &About);
    QWidget* Link = Child<QWidget>(About, "rfc1939");
    ASSERT_NE(Link, nullptr);
    QStatusTipEvent OverLink(Link->statusTip());
    QApplication::sendEvent(Link, &OverLink);
    EXPECT_TRUE(Child<QLabel>(*Main, "StatusText")->text().startsWith(QStringLiteral("Öffnet ")));
    EXPECT_TRUE(Child<QLabel>(*Main, "StatusText")->text().endsWith(QStringLiteral("/rfc/rfc1939.txt")));
    Main->SetDialogs(nullptr, nullptr, nullptr);
}

TEST_F(MainWindowTest, ClickOnTheStatusPictureOpensTheAboutBox)
{
    TPOP3About About(Main.get());
    Main->SetDialogs(nullptr, nullptr, &About);
    bool Shown = false;
    QTimer::singleShot(0, &About, [&] {
        Shown = About.isVisible();
        About.accept();
    });
    QTest::mouseClick(Child<QLabel>(*Main, "StatusPic"), Qt::LeftButton);
    EXPECT_TRUE(Shown);
    Main->SetDialogs(nullptr, nullptr, nullptr);
}

TEST_F(MainWindowTest, FreeTextFieldsTakeNoUmlauts)
{
    QLineEdit* Field = Child<QComboBox>(*Main, "HostCombo")->lineEdit();
    Field->setFocus();
    for (const QChar Character : QStringLiteral("pöp.exämple")) {
        QKeyEvent Press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(Character));
        QApplication::sendEvent(Field, &Press);
    }
    EXPECT_EQ(Child<QComboBox>(*Main, "HostCombo")->currentText(), QStringLiteral("pp.exmple"));
}

TEST_F(MainWindowTest, WholeConversationWithDovecot)
{
    if (!DovecotHarness::available())
        GTEST_SKIP() << "Dovecot is not installed";
    DovecotHarness Dovecot;
    std::string Why;
    ASSERT_TRUE(Dovecot.start(&Why)) << Why;

    Child<QComboBox>(*Main, "HostCombo")->setEditText(QStringLiteral("127.0.0.1:%1").arg(Dovecot.port()));
    Child<QPushButton>(*Main, "ButtonVerbinden")->click();
    ASSERT_TRUE(Main->Conversation().Connected()) << Child<QPlainTextEdit>(*Main, "Hint")->toPlainText().toStdString();

    Main->SendCommandLine(QStringLiteral("user ") + QString::fromStdString(Dovecot.user()));
    Main->SendCommandLine(QStringLiteral("PASS ") + QString::fromStdString(Dovecot.password()));
    EXPECT_TRUE(Child<QPlainTextEdit>(*Main, "Hint")
                    ->toPlainText()
                    .startsWith(QStringLiteral("Der Server hat das übermittelte Paßwort akzeptiert")));
    Child<QPushButton>(*Main, "ButtonSTAT")->click();
    Main->SendCommandLine(QStringLiteral("LIST"));
    Main->SendCommandLine(QStringLiteral("RETR 2"));
    EXPECT_TRUE(Child<QPlainTextEdit>(*Main, "Hint")
                    ->toPlainText()
                    .startsWith(QStringLiteral("Der Server hat die angeforderte Nachricht")));
    Child<QPushButton>(*Main, "ButtonQUIT")->click();

    EXPECT_FALSE(Main->Conversation().Connected());
    EXPECT_EQ(Child<QLabel>(*Main, "StatusText")->text(), QStringLiteral("Offline"));
    EXPECT_EQ(Child<QComboBox>(*Main, "HostCombo")->itemText(0), QStringLiteral("127.0.0.1:%1").arg(Dovecot.port()));
    EXPECT_TRUE(Child<QComboBox>(*Main, "HostCombo")->hasFocus() || !QApplication::focusWidget());
    EXPECT_EQ(Child<QComboBox>(*Main, "Command")->itemText(0), QStringLiteral("QUIT"));
    EXPECT_EQ(Child<QComboBox>(*Main, "Command")->itemText(5),
        QStringLiteral("USER ") + QString::fromStdString(Dovecot.user()));

    const QString Text = LogText();
    EXPECT_TRUE(Text.contains(QStringLiteral("PASS Schhh... nicht verraten!")));
    EXPECT_FALSE(Text.contains(QString::fromStdString(Dovecot.password())));
    const std::string Message = DovecotHarness::defaultMessages().at(1);
    // Every line of the message arrives in the log as sent.
    const QString Body = QString::fromStdString(Message).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    EXPECT_TRUE(Text.contains(Body.left(200))) << "start of the message body is missing";
    EXPECT_TRUE(
        Text.trimmed().endsWith(QStringLiteral("QUIT\n+OK Logging out.\nBrieflotse: Verbindung mit QUIT beendet.")));
}

} // namespace
