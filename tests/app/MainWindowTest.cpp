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
#include <QTest>
#include <QTimer>
#include <QStatusTipEvent>
#include <QTextBlock>

#include <gtest/gtest.h>

#include "app/BrieflotseMain.h"
#include "app/settings/SettingsStore.h"
#include "dialogs/BrieflotseAbout.h"
#include "dialogs/MessageBox.h"
#include "tests/support/DovecotHarness.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TempDir.h"
#include "tests/app/WindowTest.h"

namespace {

class MainWindowTest : public WindowTest {
protected:
    QString LogText() const { return Main->Log->toPlainText(); }
};

TEST_F(MainWindowTest, OfflineAndConnectedStatesEnableTheirControls)
{
    EXPECT_TRUE(Main->HostCombo->isEnabled());
    EXPECT_TRUE(Main->ButtonVerbinden->isEnabled());
    EXPECT_FALSE(Main->ButtonSenden->isEnabled());
    EXPECT_FALSE(Main->ButtonQUIT->isEnabled());
    EXPECT_FALSE(Main->MenuKommandos->menuAction()->isVisible());
    EXPECT_EQ(Main->windowTitle(), QStringLiteral("Brieflotse"));
    EXPECT_EQ(Main->StatusPanels[0]->text(), QStringLiteral("Offline"));
    EXPECT_EQ(Main->StatusPanels[1]->text(), QStringLiteral("Gesendet: 0 Bytes"));

    ScriptedServer Server;
    Server.send("+OK bereit\r\n").holdOpen(3000);
    ConnectTo(Server);

    EXPECT_FALSE(Main->HostCombo->isEnabled());
    EXPECT_FALSE(Main->ButtonSuchen->isEnabled());
    EXPECT_TRUE(Main->ButtonSenden->isEnabled());
    EXPECT_TRUE(Main->ButtonTrennen->isEnabled());
    EXPECT_TRUE(Main->MenuKommandos->menuAction()->isVisible());
    EXPECT_EQ(Main->windowTitle(), QStringLiteral("Brieflotse - [127.0.0.1]"));
    EXPECT_EQ(Main->StatusPanels[0]->text(), QStringLiteral("Bereit"));
    EXPECT_EQ(Main->StatusPanels[2]->text(), QStringLiteral("Empfangen: 12 Bytes"));
    EXPECT_EQ(Main->HostCombo->itemText(0), QStringLiteral("127.0.0.1"));

    emit Main->MenuServer->aboutToShow();
    EXPECT_FALSE(Main->MenuVerbinden->isEnabled());
    EXPECT_FALSE(Main->MenuSuchen->isEnabled());
    EXPECT_TRUE(Main->MenuTrennen->isEnabled());

    emit Main->MenuOptionen->aboutToShow();
    EXPECT_FALSE(Main->MenuLog->menuAction()->isEnabled());
    EXPECT_FALSE(Main->MenuCounter->menuAction()->isEnabled());
    EXPECT_FALSE(Main->MenuColorStatus->isEnabled());
    EXPECT_FALSE(Main->MenuColorHost->isEnabled());
    EXPECT_TRUE(Main->MenuColorGreen->isEnabled());
    EXPECT_TRUE(Main->MenuColorOff->isEnabled());

    // Closing while connected asks first; No keeps window and connection.
    MessageBox::setNextAnswer(QMessageBox::No);
    Main->MenuBeenden->trigger();
    EXPECT_EQ(MessageBox::lastTitle(), QStringLiteral("Brieflotse - Beenden"));
    EXPECT_TRUE(Main->isVisible());
    EXPECT_TRUE(Main->Conversation().Winsock().Connected());

    // "Trennen" asks too; Yes goes offline with the forced-disconnect guidance.
    MessageBox::setNextAnswer(QMessageBox::Yes);
    Main->ButtonTrennen->click();
    EXPECT_EQ(MessageBox::lastTitle(), QStringLiteral("Brieflotse - Trennen"));
    EXPECT_FALSE(Main->Conversation().Winsock().Connected());
    EXPECT_TRUE(Main->ButtonVerbinden->isEnabled());
    EXPECT_TRUE(Main->Hint->toPlainText().startsWith(QStringLiteral("Sie haben die Verbindung zum Server")));

    emit Main->MenuDatei->aboutToShow();
    EXPECT_TRUE(Main->MenuSpeichern->isEnabled());
}

TEST_F(MainWindowTest, FileEntriesNeedALogLine)
{
    emit Main->MenuDatei->aboutToShow();
    EXPECT_FALSE(Main->MenuSpeichern->isEnabled());
    EXPECT_FALSE(Main->MenuDrucken->isEnabled());
    Main->AppendToLog("+OK\r\n", true, false);
    emit Main->MenuDatei->aboutToShow();
    EXPECT_TRUE(Main->MenuSpeichern->isEnabled());
    EXPECT_TRUE(Main->MenuDrucken->isEnabled());
}

TEST_F(MainWindowTest, OptionHandlersReachLogAndSocket)
{
    Main->MenuTimeoutClick(Main->Menu40Sek);
    EXPECT_EQ(Main->Conversation().Winsock().Timeout(), 40);
    EXPECT_TRUE(Main->Menu40Sek->isChecked());
    EXPECT_FALSE(Main->Menu30Sek->isChecked());

    Main->AppendToLog("+OK erste Zeile\r\n", true, false);
    Main->MenuFontMonoClick();
    EXPECT_TRUE(QFontInfo(Main->Log->font()).fixedPitch());
    EXPECT_EQ(Main->Log->textCursor().position(), Main->Log->document()->characterCount() - 1);
    Main->MenuFontPropClick();
    EXPECT_TRUE(Main->MenuFontProp->isChecked());

    // A fixed colour acts on the next server text.
    Main->MenuColorClick(Main->MenuColorRed);
    EXPECT_EQ(Main->ProtocolLog().ServerColor(), 3);
    Main->AppendToLog("+OK rot\r\n", true, false);
    const QTextBlock Last = Main->Log->document()->lastBlock();
    EXPECT_EQ(Last.text(), QStringLiteral("+OK rot"));
    EXPECT_EQ(Last.begin().fragment().charFormat().foreground().color(), QColor(255, 0, 0));

    // Without "Kommandos fett" a command line is logged without bold.
    Main->MenuCmdBold->trigger();
    Main->AppendToLog("\r\nNOOP", false, false);
    EXPECT_NE(Main->Log->document()->lastBlock().begin().fragment().charFormat().fontWeight(), QFont::Bold);
    Main->MenuCmdUpper->trigger();
    EXPECT_FALSE(Main->Options().UpperCaseCommands);

    Main->MenuResetLogNow->trigger();
    EXPECT_FALSE(Main->LogHasLines());
}

TEST_F(MainWindowTest, KeysTypedInTheLogContinueInTheCommandLine)
{
    Main->Log->setFocus();
    QTest::keyClick(Main->Log, Qt::Key_N, Qt::NoModifier);
    QApplication::processEvents();
    EXPECT_TRUE(Main->Command->currentText().isEmpty()) << "offline: the key does nothing";

    ScriptedServer Server;
    Server.send("+OK\r\n").holdOpen(3000);
    ConnectTo(Server);
    Main->Log->setFocus();
    QTest::keyClicks(Main->Log, QStringLiteral("n"));
    QApplication::processEvents();
    EXPECT_EQ(Main->Command->currentText(), QStringLiteral("n"));
    EXPECT_TRUE(Main->Command->lineEdit()->hasFocus());
}

TEST_F(MainWindowTest, HintsShowInTheFirstStatusPanel)
{
    QStatusTipEvent Enter(Main->ButtonVerbinden->statusTip());
    QApplication::sendEvent(Main->ButtonVerbinden, &Enter);
    EXPECT_EQ(Main->StatusPanels[0]->text(), QStringLiteral("Verbindet mit dem gewählten Mail-Server"));
    QStatusTipEvent Leave((QString()));
    QApplication::sendEvent(Main->ButtonVerbinden, &Leave);
    EXPECT_EQ(Main->StatusPanels[0]->text(), QStringLiteral("Offline"));

    // The about box's links show their address here too.
    TPOP3About About(Main.get());
    Main->SetDialogs(nullptr, nullptr, &About);
    QWidget* Link = About.findChild<QWidget*>(QStringLiteral("rfc1939"));
    ASSERT_NE(Link, nullptr);
    QStatusTipEvent OverLink(Link->statusTip());
    QApplication::sendEvent(Link, &OverLink);
    EXPECT_TRUE(Main->StatusPanels[0]->text().startsWith(QStringLiteral("Öffnet ")));
    EXPECT_TRUE(Main->StatusPanels[0]->text().endsWith(QStringLiteral("/rfc/rfc1939.txt")));
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
    QTest::mouseClick(Main->StatusPic, Qt::LeftButton);
    EXPECT_TRUE(Shown);
    Main->SetDialogs(nullptr, nullptr, nullptr);
}

TEST_F(MainWindowTest, FreeTextFieldsTakeNoUmlauts)
{
    QLineEdit* Field = Main->HostCombo->lineEdit();
    Field->setFocus();
    for (const QChar Character : QStringLiteral("pöp.exämple")) {
        QKeyEvent Press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(Character));
        QApplication::sendEvent(Field, &Press);
    }
    EXPECT_EQ(Main->HostCombo->currentText(), QStringLiteral("pp.exmple"));
}

TEST_F(MainWindowTest, WholeConversationWithDovecot)
{
    if (!DovecotHarness::available())
        GTEST_SKIP() << "Dovecot is not installed";
    DovecotHarness Dovecot;
    std::string Why;
    ASSERT_TRUE(Dovecot.start(&Why)) << Why;

    Main->HostCombo->setEditText(QStringLiteral("127.0.0.1:%1").arg(Dovecot.port()));
    Main->ButtonVerbinden->click();
    ASSERT_TRUE(Main->Conversation().Winsock().Connected()) << Main->Hint->toPlainText().toStdString();

    Main->SendCommandLine(QStringLiteral("user ") + QString::fromStdString(Dovecot.user()));
    Main->SendCommandLine(QStringLiteral("PASS ") + QString::fromStdString(Dovecot.password()));
    EXPECT_TRUE(Main->Hint->toPlainText().startsWith(QStringLiteral("Der Server hat das übermittelte Paßwort akzeptiert")));
    Main->ButtonSTAT->click();
    Main->SendCommandLine(QStringLiteral("LIST"));
    Main->SendCommandLine(QStringLiteral("RETR 2"));
    EXPECT_TRUE(Main->Hint->toPlainText().startsWith(QStringLiteral("Der Server hat die angeforderte Nachricht")));
    Main->ButtonQUIT->click();

    EXPECT_FALSE(Main->Conversation().Winsock().Connected());
    EXPECT_EQ(Main->StatusPanels[0]->text(), QStringLiteral("Offline"));
    EXPECT_EQ(Main->HostCombo->itemText(0), QStringLiteral("127.0.0.1"));
    EXPECT_TRUE(Main->HostCombo->hasFocus() || !QApplication::focusWidget());
    EXPECT_EQ(Main->Command->itemText(0), QStringLiteral("QUIT"));
    EXPECT_EQ(Main->Command->itemText(5), QStringLiteral("USER ") + QString::fromStdString(Dovecot.user()));

    const QString Text = LogText();
    EXPECT_TRUE(Text.contains(QStringLiteral("PASS Schhh... nicht verraten!")));
    EXPECT_FALSE(Text.contains(QString::fromStdString(Dovecot.password())));
    const std::string Message = DovecotHarness::defaultMessages().at(1);
    // Every line of the message arrives in the log as sent.
    const QString Body = QString::fromStdString(Message).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    EXPECT_TRUE(Text.contains(Body.left(200))) << "start of the message body is missing";
    EXPECT_TRUE(Text.trimmed().endsWith(QStringLiteral("QUIT\n+OK Logging out.")));
}

} // namespace
