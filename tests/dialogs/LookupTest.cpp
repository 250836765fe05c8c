// The mail-server finder, offscreen, asking a real dnsmasq over TCP.
#include "app/SettingsStore.h"
#include "dialogs/BrieflotseLookup.h"
#include "dialogs/MessageBox.h"
#include "tests/support/DnsmasqHarness.h"
#include "tests/support/TempDir.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fstream>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A loopback port with nobody listening on it.
uint16_t ClosedPort()
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

class LookupDialog : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        server = new DnsmasqHarness;
        server->addMailTestZone();
        started = server->start();
    }
    static void TearDownTestSuite()
    {
        delete server;
        server = nullptr;
    }

    void SetUp() override
    {
        ASSERT_TRUE(started) << server->error();
        MessageBox::resetRecord();
        store = std::make_unique<TSettingsStore>(StorePath());
        dialog = Create();
    }
    void TearDown() override
    {
        dialog.reset();
        TSmartNSLookup::SetResolverConfig("");
        MessageBox::resetRecord();
    }

    QString StorePath() const { return QString::fromStdString(dir.file("settings.json")); }

    std::unique_ptr<TPOP3Lookup> Create()
    {
        auto finder = std::make_unique<TPOP3Lookup>(*store);
        finder->NSLookup().SetTargetHost("127.0.0.1");
        finder->NSLookup().SetTargetPort(std::to_string(server->port()));
        finder->SetTimeout(5);
        return finder;
    }

    template <typename T> T* Child(const char* name) const
    {
        T* child = dialog->findChild<T*>(name);
        EXPECT_NE(child, nullptr) << name;
        return child;
    }
    QLineEdit* NameEdit() const { return Child<QLineEdit>("NameEdit"); }
    QPushButton* Next() const { return Child<QPushButton>("NextButton"); }
    QPushButton* Back() const { return Child<QPushButton>("BackButton"); }
    QTreeWidget* Hosts() const { return Child<QTreeWidget>("MXHosts"); }
    bool Showing(const char* page) const { return Child<QWidget>(page)->isVisible(); }

    static void Type(QWidget* target, const QString& text)
    {
        for (const QChar c : text) {
            QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
            QApplication::sendEvent(target, &press);
        }
    }
    static void PressBackspace(QWidget* target)
    {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Backspace, Qt::NoModifier);
        QApplication::sendEvent(target, &press);
    }

    // Opens the wizard, replaces the name and presses "Weiter".
    void Query(const QString& name)
    {
        if (!dialog->isVisible()) {
            dialog->Prepare(nullptr);
            dialog->show();
        }
        NameEdit()->clear();
        Type(NameEdit(), name);
        ASSERT_TRUE(Next()->isEnabled());
        Next()->click();
        ASSERT_EQ(dialog->Step(), 2);
    }

    std::vector<std::pair<QString, QString>> Rows() const
    {
        std::vector<std::pair<QString, QString>> rows;
        for (int i = 0; i < Hosts()->topLevelItemCount(); ++i)
            rows.emplace_back(Hosts()->topLevelItem(i)->text(0), Hosts()->topLevelItem(i)->text(1));
        return rows;
    }

    static DnsmasqHarness* server;
    static bool started;
    TempDir dir;
    std::unique_ptr<TSettingsStore> store;
    std::unique_ptr<TPOP3Lookup> dialog;
};
DnsmasqHarness* LookupDialog::server = nullptr;
bool LookupDialog::started = false;

using RowList = std::vector<std::pair<QString, QString>>;

} // namespace

TEST_F(LookupDialog, StepOneEnablesWeiterOnlyWithAName)
{
    dialog->Prepare(nullptr);
    dialog->show();
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Brieflotse - Mail-Server suchen (Schritt 1 von 2)"));
    EXPECT_TRUE(Showing("PanelWelcome"));
    EXPECT_EQ(Next()->text(), QStringLiteral("&Weiter >"));
    EXPECT_FALSE(Next()->isEnabled());
    EXPECT_FALSE(Back()->isEnabled());
    EXPECT_FALSE(Back()->isDefault());
    Type(NameEdit(), "x");
    EXPECT_TRUE(Next()->isEnabled());
    EXPECT_TRUE(Next()->isDefault());
    PressBackspace(NameEdit());
    EXPECT_FALSE(Next()->isEnabled());
    EXPECT_FALSE(Next()->isDefault());
    EXPECT_FALSE(Back()->isDefault());
}

TEST_F(LookupDialog, KeyFilterAndLengthLimit)
{
    dialog->Prepare(nullptr);
    dialog->show();
    Type(NameEdit(), QStringLiteral("mä\u00F6il.tüßest\t"));
    EXPECT_EQ(NameEdit()->text(), "mil.test");
    NameEdit()->clear();
    Type(NameEdit(), QString(40, 'a'));
    EXPECT_EQ(NameEdit()->text(), QString(32, 'a'));
}

TEST_F(LookupDialog, ListsMxInAnswerOrderWithTheFirstPreselected)
{
    dialog->SetTimeout(7);
    Query("mail.test");
    EXPECT_EQ(dialog->NSLookup().Timeout(), 7);
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Brieflotse - Mail-Server suchen (Schritt 2 von 2)"));
    EXPECT_TRUE(Showing("PanelSelect"));
    EXPECT_EQ(Rows(), (RowList { { "mx20.mail.test", "20" }, { "mx10.mail.test", "10" }, { "mx30.mail.test", "30" } }));
    EXPECT_EQ(Hosts()->headerItem()->text(1), QStringLiteral("Priorität"));
    EXPECT_TRUE(Hosts()->topLevelItem(0)->isSelected());
    EXPECT_TRUE(Hosts()->hasFocus() || !QApplication::focusWidget());
    EXPECT_EQ(Next()->text(), QStringLiteral("&Verbinden"));
    EXPECT_TRUE(Next()->isDefault());
    EXPECT_TRUE(Back()->isEnabled());

    Hosts()->setCurrentItem(Hosts()->topLevelItem(2));
    Next()->click();
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->ServerName(), "mx30.mail.test");
}

TEST_F(LookupDialog, AliasRecordIsNotListed)
{
    Query("alias.test");
    EXPECT_EQ(Rows().size(), 3u);
    EXPECT_EQ(dialog->ServerCount(), 3);
    EXPECT_EQ(Rows().front().first, "mx20.mail.test");
}

TEST_F(LookupDialog, NoMxOffersTheTypedName)
{
    Query("plain.test");
    EXPECT_TRUE(Showing("PanelNoMX"));
    EXPECT_EQ(dialog->ServerCount(), 0);
    EXPECT_TRUE(Next()->isEnabled());
    EXPECT_TRUE(Next()->isDefault());
    Next()->click();
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    EXPECT_EQ(dialog->ServerName(), "plain.test");
}

TEST_F(LookupDialog, UnknownDomainShowsNameError)
{
    Query("nothere.test");
    EXPECT_TRUE(Showing("PanelError"));
    EXPECT_EQ(Child<QLabel>("ErrorLabel")->text(), "3 - Name Error");
    EXPECT_FALSE(Next()->isEnabled());
    EXPECT_EQ(Next()->text(), QStringLiteral("&Verbinden"));
    EXPECT_TRUE(Back()->isEnabled());
    EXPECT_TRUE(Back()->isDefault());
    EXPECT_EQ(MessageBox::shownCount(), 0);
}

TEST_F(LookupDialog, UnreachableNameServerShowsTheSocketError)
{
    dialog->NSLookup().SetTargetPort(std::to_string(ClosedPort()));
    Query("mail.test");
    EXPECT_TRUE(Showing("PanelError"));
    EXPECT_EQ(Child<QLabel>("ErrorLabel")->text(), "10061 - Connection refused");
}

TEST_F(LookupDialog, DeselectingDisablesVerbinden)
{
    Query("mail.test");
    Hosts()->clearSelection();
    EXPECT_FALSE(Next()->isEnabled());
    EXPECT_TRUE(Back()->isDefault());
    EXPECT_FALSE(Next()->isDefault());
    Hosts()->topLevelItem(1)->setSelected(true);
    EXPECT_TRUE(Next()->isEnabled());
    EXPECT_TRUE(Next()->isDefault());
    EXPECT_FALSE(Back()->isDefault());
}

TEST_F(LookupDialog, BackKeepsTheNameAndASecondQueryClearsTheList)
{
    Query("mail.test");
    Back()->click();
    EXPECT_EQ(dialog->Step(), 1);
    EXPECT_TRUE(Showing("PanelWelcome"));
    EXPECT_EQ(NameEdit()->text(), "mail.test");
    EXPECT_EQ(Next()->text(), QStringLiteral("&Weiter >"));
    EXPECT_FALSE(Back()->isEnabled());
    EXPECT_EQ(Rows().size(), 3u); // kept until the next query

    Next()->click();
    EXPECT_EQ(Rows().size(), 3u);
    Back()->click();
    Query("plain.test");
    EXPECT_TRUE(Rows().empty());
}

TEST_F(LookupDialog, DomainIsRememberedAfterCancel)
{
    dialog->Prepare(nullptr);
    dialog->show();
    Type(NameEdit(), "mail.test");
    Child<QPushButton>("CancelButton")->click();
    EXPECT_EQ(dialog->result(), QDialog::Rejected);
    EXPECT_EQ(dialog->ServerName(), "");

    // As after a restart: a new store on the same file, a new wizard.
    dialog.reset();
    store = std::make_unique<TSettingsStore>(StorePath());
    dialog = Create();
    EXPECT_EQ(NameEdit()->text(), "mail.test");
    dialog->Prepare(nullptr);
    EXPECT_TRUE(Next()->isEnabled());
}

TEST_F(LookupDialog, DomainOfTheWrongKindIsReportedAndDropped)
{
    ASSERT_TRUE(store->OpenKey(TPOP3Lookup::SettingsKey, true));
    store->WriteInteger("Domain", 5);
    store->CloseKey();
    MessageBox::setNextAnswer(QMessageBox::Ok);
    dialog = Create();
    EXPECT_EQ(MessageBox::shownCount(), 1);
    EXPECT_EQ(NameEdit()->text(), "");
}

TEST_F(LookupDialog, FallbackNameServerWhenNoneIsConfigured)
{
    const std::string empty = dir.file("resolv.conf");
    std::ofstream(empty) << "search test\n";
    TSmartNSLookup::SetResolverConfig(empty);
    TPOP3Lookup finder(*store);
    EXPECT_EQ(finder.NSLookup().TargetHost(), LookupRules::FallbackNameServer);
    EXPECT_EQ(finder.NSLookup().TargetPort(), "domain");
}
