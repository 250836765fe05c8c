// Logging in through the real window and the assistant against Dovecot with
// every mechanism it offers: APOP and AUTH (PLAIN, LOGIN, CRAM-MD5,
// SCRAM-SHA-256), right and wrong passwords, and CAPA explained.

#include <QAction>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

#include "dialogs/BrieflotseEdit.h"
#include "tests/app/WindowTest.h"
#include "tests/support/DovecotHarness.h"

namespace {

class LogInWindowTest : public WindowTest {
protected:
    static void SetUpTestSuite()
    {
        if (!DovecotHarness::available())
            return;
        DovecotHarness::Options Options;
        Options.authMechanisms = "plain login cram-md5 scram-sha-256 apop";
        Dovecot = new DovecotHarness(Options);
        std::string Why;
        if (!Dovecot->start(&Why)) {
            ADD_FAILURE() << Why;
            delete Dovecot;
            Dovecot = nullptr;
        }
    }
    static void TearDownTestSuite()
    {
        delete Dovecot;
        Dovecot = nullptr;
    }

    void SetUp() override
    {
        if (!Dovecot)
            GTEST_SKIP() << "Dovecot is not installed";
        WindowTest::SetUp();
        Assistant = std::make_unique<TPOP3Edit>(*Store, Main.get());
        Main->SetDialogs(nullptr, Assistant.get(), nullptr);
        Child<QComboBox>(*Main, "HostCombo")->setEditText(QStringLiteral("127.0.0.1:%1").arg(Dovecot->port()));
        Child<QPushButton>(*Main, "ButtonVerbinden")->click();
        ASSERT_TRUE(Main->Conversation().Connected()) << Hint();
    }

    void TearDown() override
    {
        Assistant.reset();
        if (Main)
            WindowTest::TearDown();
    }

    std::string Hint() const { return Child<QPlainTextEdit>(*Main, "Hint")->toPlainText().toStdString(); }
    std::string LogText() const { return Child<TLogView>(*Main, "Log")->PlainText().toStdString(); }

    // Opens the assistant from the menu entry, fills its panel and presses "Senden".
    void LogInWith(const char* Entry, const QString& Mechanism, const QString& Password)
    {
        QTimer::singleShot(0, Assistant.get(), [this, Mechanism, Password] {
            if (!Mechanism.isEmpty()) {
                auto* Combo = Child<QComboBox>(*Assistant, "ComboMechanism");
                Combo->setCurrentIndex(Combo->findText(Mechanism));
                Child<QLineEdit>(*Assistant, "EditAuthUser")->setText(QString::fromStdString(Dovecot->user()));
                Child<QLineEdit>(*Assistant, "EditAuthSecret")->setText(Password);
            } else {
                Child<QLineEdit>(*Assistant, "EditAPOPUser")->setText(QString::fromStdString(Dovecot->user()));
                Child<QLineEdit>(*Assistant, "EditAPOPPass")->setText(Password);
            }
            Child<QPushButton>(*Assistant, "ButtonSend")->click();
        });
        Child<QAction>(*Main, Entry)->trigger();
    }

    static DovecotHarness* Dovecot;
    std::unique_ptr<TPOP3Edit> Assistant;
};

DovecotHarness* LogInWindowTest::Dovecot = nullptr;

const QString kRight = QStringLiteral("geheim");

TEST_F(LogInWindowTest, EveryAuthMechanismLogsInAndExplainsItself)
{
    for (const char* Mechanism : { "PLAIN", "LOGIN", "CRAM-MD5", "SCRAM-SHA-256" }) {
        SCOPED_TRACE(Mechanism);
        if (!Main->Conversation().Connected())
            Child<QPushButton>(*Main, "ButtonVerbinden")->click();
        LogInWith("MenuAUTH", QString::fromLatin1(Mechanism), kRight);
        EXPECT_EQ(Hint().rfind("Der Server hat die Anmeldung mit AUTH angenommen", 0), 0u) << Hint();
        EXPECT_EQ(LogText().find("geheim"), std::string::npos) << "the password never shows";
        Main->SendCommandLine(QStringLiteral("STAT"));
        const std::string Stat = "+OK " + std::to_string(Dovecot->messages().size()) + " ";
        EXPECT_EQ(LogText().substr(LogText().rfind('\n') + 1).rfind(Stat, 0), 0u) << LogText();
        Main->SendCommandLine(QStringLiteral("QUIT"));
    }
    EXPECT_NE(LogText().find("Server-Signatur stimmt"), std::string::npos) << "SCRAM checked the server";
    EXPECT_EQ(TMessageBox::ShownCount(), 0) << "connected to 127.0.0.1: PLAIN and LOGIN ask nothing";
}

TEST_F(LogInWindowTest, WrongPasswordIsRefusedWithEveryMechanism)
{
    for (const char* Mechanism : { "PLAIN", "LOGIN", "CRAM-MD5", "SCRAM-SHA-256", "" }) {
        SCOPED_TRACE(Mechanism);
        if (!Main->Conversation().Connected())
            Child<QPushButton>(*Main, "ButtonVerbinden")->click();
        LogInWith(*Mechanism ? "MenuAUTH" : "MenuAPOP", QString::fromLatin1(Mechanism), QStringLiteral("falsch"));
        const std::string Expected = *Mechanism ? "Der Server hat die Anmeldung mit AUTH abgelehnt"
                                                : "Der Server hat die Anmeldung mit APOP abgelehnt";
        EXPECT_EQ(Hint().rfind(Expected, 0), 0u) << Hint();
        EXPECT_FALSE(Main->Conversation().AwaitingAnswer());
    }
}

TEST_F(LogInWindowTest, ApopFromTheGreetingsTimestamp)
{
    EXPECT_NE(Hint().find("Der Server bietet APOP an"), std::string::npos) << Hint();
    LogInWith("MenuAPOP", QString(), kRight);
    EXPECT_EQ(Hint().rfind("Der Server hat die Anmeldung mit APOP angenommen", 0), 0u) << Hint();
    EXPECT_NE(LogText().find("APOP anna Schhh... nicht verraten!"), std::string::npos) << LogText();
}

TEST_F(LogInWindowTest, CapaListsAndExplainsWhatDovecotCan)
{
    Child<QAction>(*Main, "MenuCAPA")->trigger();
    EXPECT_NE(LogText().find("\nSASL PLAIN LOGIN"), std::string::npos) << LogText();
    EXPECT_TRUE(LogText().size() > 2 && LogText().substr(LogText().size() - 2) == "\n.");
    EXPECT_NE(Hint().find("\u2022 SASL PLAIN LOGIN"), std::string::npos) << Hint();
    EXPECT_NE(Hint().find("\u2022 UIDL: dauerhafte Kennungen"), std::string::npos) << Hint();
    EXPECT_FALSE(Main->Conversation().Busy());
}

} // namespace

namespace {

// What no real server does on demand: a CAPA list in pieces with pauses, cut
// inside a line and inside the terminator, then a refusal with a code.
TEST_F(WindowTest, CapaInPiecesAndAResponseCodeOverARealSocket)
{
    ScriptedServer Server;
    Server.send("+OK ready\r\n")
        .expectLine()
        .send("+OK list follows\r\nTOP\r\nSA")
        .pause(150)
        .send("SL PLAIN\r\nSTLS\r\n.")
        .pause(150)
        .send("\r\n")
        .expectLine()
        .send("-ERR [IN-USE] locked\r\n");
    ConnectTo(Server);
    Main->SendCommandLine(QStringLiteral("CAPA"));
    const QString Hint = Child<QPlainTextEdit>(*Main, "Hint")->toPlainText();
    EXPECT_TRUE(Hint.contains(QStringLiteral("\u2022 SASL PLAIN: Anmeldung mit dem Kommando AUTH")))
        << Hint.toStdString();
    EXPECT_TRUE(Hint.contains(QStringLiteral("\u2022 STLS: Die Verbindung läßt sich")));
    Main->SendCommandLine(QStringLiteral("PASS x"));
    ASSERT_TRUE(Server.waitFinished(5000));
    EXPECT_TRUE(Child<QPlainTextEdit>(*Main, "Hint")
                    ->toPlainText()
                    .contains(QStringLiteral("[IN-USE]: Die Mailbox ist gerade geöffnet")));
    EXPECT_TRUE(Child<TLogView>(*Main, "Log")
                    ->PlainText()
                    .endsWith(QStringLiteral("STLS\n.\n\nPASS Schhh... nicht verraten!\n-ERR [IN-USE] locked")));
}

} // namespace
