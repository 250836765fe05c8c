// The finder road end to end: the user asks for a domain's mail server, the
// name server (dnsmasq) names one, "Verbinden" hands it to the main window,
// which connects at once and shows the greeting of the real POP3 server.

#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include "app/BrieflotseMain.h"
#include "dialogs/BrieflotseLookup.h"
#include "dialogs/MessageBox.h"
#include "protocollog/LogView.h"
#include "settings/SettingsStore.h"
#include "tests/support/DnsmasqHarness.h"
#include "tests/support/DovecotHarness.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/qt/Child.h"

namespace {

void Type(QWidget* Target, const QString& Text)
{
    for (const QChar Character : Text) {
        QKeyEvent Press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(Character));
        QApplication::sendEvent(Target, &Press);
    }
}

// The main window with its finder, asking the given dnsmasq.
struct TFinderWindow {
    explicit TFinderWindow(const DnsmasqHarness& Dns)
        : Store(QString::fromStdString(Dir.file("settings.json")))
        , Main(Store)
        , Finder(Store, &Main)
    {
        TMessageBox::ResetRecord();
        Main.SetDialogs(&Finder, nullptr, nullptr);
        Finder.NSLookup().SetTargetHost("127.0.0.1");
        Finder.NSLookup().SetTargetPort(std::to_string(Dns.port()));
    }
    ~TFinderWindow() { Main.Conversation().DropConnection(); }

    TempDir Dir;
    TSettingsStore Store;
    TPOP3Main Main;
    TPOP3Lookup Finder;
};

TEST(FinderConnect, ChosenMailServerIsConnectedAtOnce)
{
    if (!DovecotHarness::available())
        GTEST_SKIP() << "Dovecot is not installed";
    DovecotHarness Dovecot;
    std::string Why;
    ASSERT_TRUE(Dovecot.start(&Why)) << Why;
    DnsmasqHarness Dns;
    Dns.addMx("kiosko.test", "127.0.0.1", 10);
    ASSERT_TRUE(Dns.start()) << Dns.error();

    TFinderWindow Window(Dns);
    TPOP3Main& Main = Window.Main;
    TPOP3Lookup& Finder = Window.Finder;
    // The server name from the finder carries no port: the last one stays in force.
    Main.Conversation().SetServerPort(std::to_string(Dovecot.port()));
    Main.show();

    bool Driven = false;
    QTimer::singleShot(0, &Finder, [&] {
        auto* Name = Child<QLineEdit>(Finder, "NameEdit");
        auto* Next = Child<QPushButton>(Finder, "NextButton");
        Name->clear();
        Type(Name, QStringLiteral("kiosko.test"));
        Next->click(); // "Weiter >": the query
        auto* Hosts = Child<QTreeWidget>(Finder, "MXHosts");
        Driven = Hosts->topLevelItemCount() == 1 && Next->isEnabled();
        Next->click(); // "Verbinden"
    });
    Child<QPushButton>(Main, "ButtonSuchen")->click();

    ASSERT_TRUE(Driven) << "the finder did not list the mail server";
    EXPECT_TRUE(Main.Conversation().Connected()) << Child<QPlainTextEdit>(Main, "Hint")->toPlainText().toStdString();
    EXPECT_EQ(Child<QComboBox>(Main, "HostCombo")->itemText(0), QStringLiteral("127.0.0.1"));
    EXPECT_TRUE(
        Child<TLogView>(Main, "Log")
            ->PlainText()
            .startsWith(QStringLiteral("Brieflotse: Verbunden mit 127.0.0.1 (Port %1).\n+OK").arg(Dovecot.port())));
}

// A domain that names its POP3 server by an SRV record of "_pop3s._tcp":
// the window is handed "pop3s://host:port" and connects encrypted.
TEST(FinderConnect, ServiceRecordLeadsToAnEncryptedConnection)
{
    if (!DovecotHarness::available() || !TestCertificates::available())
        GTEST_SKIP() << "Dovecot or the openssl tool is not installed";
    std::string Why;
    const TestCertificates* Certificates = TestCertificates::shared(&Why);
    ASSERT_NE(Certificates, nullptr) << Why;
    Certificates->trustInThisProcess();
    DovecotHarness::Options Options;
    Options.tlsCertificate = Certificates->certificateFile(TestCertificates::Kind::Good);
    Options.tlsKey = Certificates->keyFile();
    DovecotHarness Dovecot(Options);
    ASSERT_TRUE(Dovecot.start(&Why)) << Why;
    DnsmasqHarness Dns;
    Dns.addSrv("_pop3s._tcp.tls.test", "localhost", Dovecot.tlsPort(), 10, 10);
    Dns.addMx("tls.test", "mx.tls.test", 10);
    ASSERT_TRUE(Dns.start()) << Dns.error();

    TFinderWindow Window(Dns);
    TPOP3Main& Main = Window.Main;
    TPOP3Lookup& Finder = Window.Finder;
    Main.show();

    QTimer::singleShot(0, &Finder, [&] {
        auto* Name = Child<QLineEdit>(Finder, "NameEdit");
        auto* Next = Child<QPushButton>(Finder, "NextButton");
        Name->clear();
        Type(Name, QStringLiteral("tls.test"));
        Next->click(); // the queries; the SRV entry comes first and is chosen
        Next->click(); // "Verbinden"
    });
    Child<QPushButton>(Main, "ButtonSuchen")->click();

    ASSERT_TRUE(Main.Conversation().Connected()) << Child<QPlainTextEdit>(Main, "Hint")->toPlainText().toStdString();
    EXPECT_TRUE(Main.Conversation().Transport().Encrypted());
    EXPECT_EQ(Child<QComboBox>(Main, "HostCombo")->itemText(0),
        QStringLiteral("pop3s://localhost:%1").arg(Dovecot.tlsPort()));
    EXPECT_TRUE(Child<TLogView>(Main, "Log")->PlainText().contains(QStringLiteral("TLS-verschlüsselt")));
}

} // namespace
