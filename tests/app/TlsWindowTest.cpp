// Encrypted connections through the real window against Dovecot: TLS from the
// first byte and STLS, certificates that fail and the user's decision on
// them, remembered and changed fingerprints.

#include <QComboBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>

#include <gtest/gtest.h>
#include <memory>

#include "tests/app/WindowTest.h"
#include "tests/support/DovecotHarness.h"
#include "tests/support/TestCertificates.h"

namespace {

using Kind = TestCertificates::Kind;

class TlsWindow : public WindowTest {
protected:
    void SetUp() override
    {
        if (!DovecotHarness::available() || !TestCertificates::available())
            GTEST_SKIP() << "dovecot or the openssl tool is not installed";
        std::string Why;
        Certificates = TestCertificates::shared(&Why);
        ASSERT_NE(Certificates, nullptr) << Why;
        Certificates->trustInThisProcess();
        WindowTest::SetUp();
        Main->Conversation().SetWaitTimeout(10);
    }

    std::unique_ptr<DovecotHarness> Start(Kind Certificate)
    {
        DovecotHarness::Options Options;
        Options.tlsCertificate = Certificates->certificateFile(Certificate);
        Options.tlsKey = Certificates->keyFile();
        auto Server = std::make_unique<DovecotHarness>(Options);
        std::string Why;
        EXPECT_TRUE(Server->start(&Why)) << Why;
        return Server;
    }

    void Connect(const QString& Host)
    {
        Child<QComboBox>(*Main, "HostCombo")->setEditText(Host);
        Child<QPushButton>(*Main, "ButtonVerbinden")->click();
    }
    void Send(const char* Line) { Main->SendCommandLine(QLatin1String(Line)); }
    bool Connected() { return Main->Conversation().Connected(); }
    QString LogText() { return Child<TLogView>(*Main, "Log")->PlainText(); }
    QString Guidance() { return Child<QPlainTextEdit>(*Main, "Hint")->toPlainText(); }

    // USER, PASS, STAT, RETR 1 and QUIT; every reply positive.
    void WholeSession()
    {
        for (const char* Line : { "USER anna", "PASS geheim", "STAT", "RETR 1" }) {
            Send(Line);
            EXPECT_FALSE(Main->Conversation().ErrorFlag()) << Line << ": " << Guidance().toStdString();
        }
        EXPECT_TRUE(LogText().contains(QStringLiteral("+OK Logged in."))) << LogText().toStdString();
        EXPECT_TRUE(LogText().endsWith(QStringLiteral("\n."))) << LogText().right(200).toStdString();
        Send("QUIT");
        EXPECT_FALSE(Connected());
    }

    const TestCertificates* Certificates = nullptr;
};

} // namespace

TEST_F(TlsWindow, VerifiedSessionsFromTheFirstByteAndAfterStls)
{
    auto Server = Start(Kind::Good);
    Connect(QStringLiteral("pop3s://localhost:%1").arg(Server->tlsPort()));
    ASSERT_TRUE(Connected()) << Guidance().toStdString();
    EXPECT_EQ(TMessageBox::ShownCount(), 0) << "a verified certificate asks nothing";
    EXPECT_EQ(Main->windowTitle(), QStringLiteral("Brieflotse - [localhost] (TLS)"));
    EXPECT_TRUE(LogText().contains(QStringLiteral("Brieflotse: TLS-verschlüsselt mit TLSv1.")));
    EXPECT_TRUE(LogText().contains(QStringLiteral("Brieflotse: SHA-256-Fingerabdruck ")
        + QString::fromStdString(Certificates->fingerprint(Kind::Good))));
    EXPECT_TRUE(Guidance().contains(QStringLiteral("mit TLS verschlüsselt"))) << Guidance().toStdString();
    WholeSession();
    // Remembered as typed, so it is reached by TLS again.
    EXPECT_EQ(Child<QComboBox>(*Main, "HostCombo")->itemText(0),
        QStringLiteral("pop3s://localhost:%1").arg(Server->tlsPort()));

    Connect(QStringLiteral("localhost:%1").arg(Server->port()));
    ASSERT_TRUE(Connected());
    Send("STLS");
    EXPECT_TRUE(Guidance().startsWith(QStringLiteral("Der Server hat STLS angenommen"))) << Guidance().toStdString();
    EXPECT_EQ(Main->windowTitle(), QStringLiteral("Brieflotse - [localhost] (TLS)"));
    WholeSession();
}

TEST_F(TlsWindow, FailedCertificatesAskAndTheAnswerIsRemembered)
{
    for (const Kind Fault :
        { Kind::Expired, Kind::WrongHost, Kind::SelfSigned, Kind::UnknownCa, Kind::MissingIntermediate }) {
        SCOPED_TRACE(static_cast<int>(Fault));
        auto Server = Start(Fault);
        const QString Host = QStringLiteral("pop3s://localhost:%1").arg(Server->tlsPort());
        TMessageBox::ResetRecord();
        TMessageBox::SetNextAnswer(QMessageBox::No);
        Connect(Host);
        EXPECT_EQ(TMessageBox::LastTitle(), QStringLiteral("Brieflotse - Zertifikat"));
        EXPECT_TRUE(TMessageBox::LastText().contains(QStringLiteral("nicht bestanden")));
        EXPECT_EQ(TMessageBox::LastText().contains(QStringLiteral("unvollständige Zertifikatskette")),
            Fault == Kind::MissingIntermediate);
        EXPECT_FALSE(Connected()) << "the default answer cancels";
        EXPECT_TRUE(Guidance().contains(QStringLiteral("nicht vertraut"))) << Guidance().toStdString();

        TMessageBox::SetNextAnswer(QMessageBox::Yes);
        Connect(Host);
        ASSERT_TRUE(Connected());
        Send("QUIT");
        TMessageBox::ResetRecord();
        Connect(Host);
        EXPECT_TRUE(Connected());
        EXPECT_EQ(TMessageBox::ShownCount(), 0) << "trusted once, asked no more";
        Send("QUIT");
    }
}

TEST_F(TlsWindow, ChangedFingerprintIsAStrongWarning)
{
    auto Server = Start(Kind::SelfSigned);
    // Trusted before: another certificate at the same server and port.
    ASSERT_TRUE(Store->OpenKey(QStringLiteral("\\Software\\Ravelko\\Brieflotse\\Certificates\\"), true));
    Store->WriteString(QStringLiteral("localhost:%1").arg(Server->tlsPort()),
        QString::fromStdString(Certificates->fingerprint(Kind::Expired)));
    ASSERT_TRUE(Store->CloseKey());
    TMessageBox::SetNextAnswer(QMessageBox::No);
    Connect(QStringLiteral("pop3s://localhost:%1").arg(Server->tlsPort()));
    EXPECT_TRUE(TMessageBox::LastText().startsWith(QStringLiteral("WARNUNG: Das Zertifikat")))
        << TMessageBox::LastText().toStdString();
    EXPECT_FALSE(Connected());
}

TEST_F(TlsWindow, ExceptionTheCheckNoLongerNeedsIsSaidOnceAndForgotten)
{
    auto Server = Start(Kind::Good);
    const QString Target = QStringLiteral("localhost:%1").arg(Server->tlsPort());
    ASSERT_TRUE(Store->OpenKey(QStringLiteral("\\Software\\Ravelko\\Brieflotse\\Certificates\\"), true));
    Store->WriteString(Target, QString::fromStdString(Certificates->fingerprint(Kind::SelfSigned)));
    ASSERT_TRUE(Store->CloseKey());
    for (int Round = 0; Round < 2; ++Round) {
        Connect(QStringLiteral("pop3s://") + Target);
        ASSERT_TRUE(Connected()) << Guidance().toStdString();
        Send("QUIT");
    }
    EXPECT_EQ(TMessageBox::ShownCount(), 0);
    EXPECT_EQ(LogText().count(QStringLiteral("die gemerkte Ausnahme (SHA-256 %1) wird nicht mehr gebraucht")
                                  .arg(QString::fromStdString(Certificates->fingerprint(Kind::SelfSigned)))),
        1)
        << LogText().toStdString();
}

// A server that refuses STLS keeps the plain connection; the guidance says
// what that means for the password.
TEST_F(WindowTest, RefusedStlsKeepsThePlainConnectionAndSaysWhy)
{
    ScriptedServer Server;
    Server.send("+OK bereit\r\n").expectLine().send("-ERR STLS not available\r\n").holdOpen(3000);
    ConnectTo(Server);
    Main->SendCommandLine(QStringLiteral("STLS"));
    EXPECT_TRUE(Main->Conversation().Connected());
    EXPECT_FALSE(Main->Conversation().Transport().Encrypted());
    EXPECT_TRUE(Child<QPlainTextEdit>(*Main, "Hint")
                    ->toPlainText()
                    .startsWith(QStringLiteral("Der Server hat STLS abgelehnt")));
    EXPECT_EQ(Server.received(), "STLS\r\n");
}
