// The mail-server finder, offscreen, asking a real dnsmasq over TCP.
#include "app/settings/SettingsStore.h"
#include "dialogs/BrieflotseLookup.h"
#include "dialogs/MessageBox.h"
#include "tests/support/DnsmasqHarness.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TempDir.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

static void PrintTo(const QString& Value, std::ostream* Out) { *Out << '"' << Value.toStdString() << '"'; }

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

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// The length of the query for `name` on the wire: prefix, header, the name's
// labels and root, type and class.
size_t QueryLength(const std::string& name) { return 2 + 12 + name.size() + 2 + 4; }

// Bytes of a response, the TCP prefix set from its length.
std::vector<uint8_t> Framed(std::initializer_list<std::initializer_list<uint8_t>> parts)
{
    std::vector<uint8_t> bytes { 0, 0 };
    for (const auto& part : parts)
        bytes.insert(bytes.end(), part);
    bytes[0] = static_cast<uint8_t>((bytes.size() - 2) >> 8);
    bytes[1] = static_cast<uint8_t>((bytes.size() - 2) & 0xFF);
    return bytes;
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

    // The rows that can be selected and then handed on with "Verbinden".
    std::vector<QString> Choosable() const
    {
        std::vector<QString> names;
        for (int i = 0; i < Hosts()->topLevelItemCount(); ++i) {
            Hosts()->clearSelection();
            Hosts()->topLevelItem(i)->setSelected(true);
            if (!Hosts()->selectedItems().isEmpty() && Next()->isEnabled())
                names.push_back(Hosts()->topLevelItem(i)->text(0));
        }
        return names;
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

TEST_F(LookupDialog, NameWithEmptyPartIsRefusedWithoutAsking)
{
    dialog->NSLookup().SetTargetPort("1"); // a query sent would fail with a socket error
    for (const QString& name : { QStringLiteral("a..b"), QStringLiteral(".x"), QStringLiteral(".") }) {
        Query(name);
        EXPECT_TRUE(Showing("PanelError"));
        EXPECT_EQ(Child<QLabel>("ErrorLabel")->text(),
            QStringLiteral("Der Domain-Name „%1“ ist ungültig: er enthält einen leeren Namensteil.").arg(name));
        EXPECT_FALSE(Next()->isEnabled());
        Back()->click();
    }
}

TEST_F(LookupDialog, NullMxAndNamesWithPortOrBlankCannotBeChosen)
{
    const struct {
        const char* domain;
        RowList rows;
        std::vector<QString> choosable;
    } cases[] = {
        { "nomail.test", { { QStringLiteral("(empfängt keine E-Mail)"), "0" } }, {} },
        { "odd.test",
            { { "mx10.mail.test", "10" }, { QStringLiteral("mx.odd.test:2525 (ungültig)"), "20" },
                { QStringLiteral("mx x.odd.test (ungültig)"), "30" } },
            { "mx10.mail.test" } },
    };
    for (const auto& c : cases) {
        Query(c.domain);
        EXPECT_EQ(Rows(), c.rows);
        EXPECT_EQ(Next()->isEnabled(), !c.choosable.empty()); // before any choice
        EXPECT_EQ(Choosable(), c.choosable);
        Back()->click();
    }
}

TEST_F(LookupDialog, HiddenBytesAndUnreadableDataCannotBeChosen)
{
    // No name server serves these: the answer to "bad.test" MX as bytes.
    std::vector<uint8_t> answer;
    const auto add = [&answer](std::initializer_list<uint8_t> bytes) { answer.insert(answer.end(), bytes); };
    // prefix (set below), ID, flags 0x8180, one question "bad.test" MX IN, four answers
    add({ 0, 0, 0x12, 0x34, 0x81, 0x80, 0, 1, 0, 4, 0, 0, 0, 0 });
    add({ 3, 'b', 'a', 'd', 4, 't', 'e', 's', 't', 0, 0, 15, 0, 1 });
    // MX 10 "mx<BEL>.test", MX 20 "mx<E9>.test" ("test" at 16), a name running past its data, MX 40 "mx.bad.test"
    add({ 0xC0, 0x0C, 0, 15, 0, 1, 0, 0, 0, 60, 0, 8, 0, 10, 3, 'm', 'x', 0x07, 0xC0, 0x10 });
    add({ 0xC0, 0x0C, 0, 15, 0, 1, 0, 0, 0, 60, 0, 8, 0, 20, 3, 'm', 'x', 0xE9, 0xC0, 0x10 });
    add({ 0xC0, 0x0C, 0, 15, 0, 1, 0, 0, 0, 60, 0, 3, 0, 30, 5 });
    add({ 0xC0, 0x0C, 0, 15, 0, 1, 0, 0, 0, 60, 0, 7, 0, 40, 2, 'm', 'x', 0xC0, 0x0C });
    answer[1] = static_cast<uint8_t>(answer.size() - 2);
    ScriptedServer scripted;
    scripted.expectBytes(28).send(std::string(answer.begin(), answer.end())).holdOpen(3000);
    scripted.start();
    dialog->NSLookup().SetTargetHost(scripted.address());
    Query("bad.test");
    EXPECT_EQ(Rows(),
        (RowList { { QStringLiteral("mx\\x07.test (ungültig)"), "10" },
            { QStringLiteral("mx\\xE9.test (ungültig)"), "20" }, { QStringLiteral("(MX-Daten unlesbar)"), "" },
            { "mx.bad.test", "40" } }));
    EXPECT_TRUE(Hosts()->topLevelItem(3)->isSelected());
    EXPECT_EQ(Choosable(), std::vector<QString> { "mx.bad.test" });
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

// ---- a search the user can stop ----

namespace {

// An answer to the first query the finder sends, one byte every 20 ms: each
// piece well within any wait, the whole of it (120 bytes) 2.4 s.
void Trickle(ScriptedServer& server)
{
    std::vector<uint8_t> answer = Framed({ { 0x12, 0x34, 0x85, 0x80, 0, 1, 0, 0, 0, 0, 0, 0 },
        { 4, 'm', 'a', 'i', 'l', 4, 't', 'e', 's', 't', 0, 0, 15, 0, 1 } });
    answer.resize(120); // bytes after the question that no count announces
    answer[1] = 118;
    server.expectBytes(QueryLength("mail.test"));
    for (const uint8_t byte : answer)
        server.send(std::string(1, static_cast<char>(byte))).pause(20);
    server.holdOpen(3000);
}

} // namespace

TEST_F(LookupDialog, TrickledAnswerEndsAfterOneWaitAndTheWizardKeepsPainting)
{
    ScriptedServer scripted;
    Trickle(scripted);
    scripted.start();
    dialog->NSLookup().SetTargetHost(scripted.address());
    dialog->SetTimeout(1);
    // Timers run only where the finder handles events: their gaps show how
    // long the window went without painting.
    std::vector<Clock::time_point> ticks;
    QTimer ticker;
    ticker.setInterval(10);
    QObject::connect(&ticker, &QTimer::timeout, [&] { ticks.push_back(Clock::now()); });
    ticker.start();
    const auto start = Clock::now();
    Query("mail.test");
    const double took = SecondsSince(start);
    ticker.stop();
    EXPECT_GE(took, 0.95);
    EXPECT_LT(took, 1.6);
    EXPECT_TRUE(Showing("PanelError"));
    EXPECT_EQ(Child<QLabel>("ErrorLabel")->text(), "12000 - Request timed out");
    ASSERT_GE(ticks.size(), 10u);
    Clock::duration longest {};
    for (size_t i = 1; i < ticks.size(); ++i)
        longest = std::max(longest, ticks[i] - ticks[i - 1]);
    EXPECT_LT(longest, std::chrono::milliseconds(100));
    EXPECT_FALSE(dialog->NSLookup().Connected());
}

TEST_F(LookupDialog, AbbrechenStopsATrickleAtOnceAndOtherInputIsSwallowed)
{
    ScriptedServer scripted;
    Trickle(scripted);
    scripted.start();
    dialog->NSLookup().SetTargetHost(scripted.address());
    dialog->SetTimeout(5);
    dialog->Prepare(nullptr);
    dialog->show();
    Type(NameEdit(), "mail.test");
    auto* cancel = Child<QPushButton>("CancelButton");
    bool searching = false;
    // While the search runs: keys and clicks anywhere else, then "Abbrechen"
    // clicked the way the window system delivers it, through the window.
    QTimer::singleShot(150, dialog.get(), [&] {
        searching = dialog->Querying();
        QTest::keyClicks(NameEdit(), "xyz");
        QTest::keyClick(NameEdit(), Qt::Key_Backspace);
        QTest::mouseClick(Next(), Qt::LeftButton);
        QTest::mouseClick(NameEdit(), Qt::LeftButton);
    });
    Clock::time_point pressed {};
    QTimer::singleShot(300, dialog.get(), [&] {
        pressed = Clock::now();
        const QPoint centre = cancel->mapTo(dialog.get(), cancel->rect().center());
        QTest::mouseClick(dialog->windowHandle(), Qt::LeftButton, Qt::NoModifier, centre);
    });
    Next()->click();
    const auto stopped = Clock::now();
    ASSERT_TRUE(searching);
    ASSERT_NE(pressed, Clock::time_point {});
    EXPECT_LT(stopped - pressed, std::chrono::milliseconds(200));
    EXPECT_FALSE(dialog->Querying());
    EXPECT_FALSE(dialog->NSLookup().Connected());

    // No error, the wizard open at step 1 with a note, nothing typed acted.
    QCoreApplication::processEvents();
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(dialog->Step(), 1);
    EXPECT_TRUE(Showing("PanelWelcome"));
    EXPECT_EQ(Child<QLabel>("StopNote")->text(), QStringLiteral("Die Suche wurde abgebrochen."));
    EXPECT_EQ(NameEdit()->text(), "mail.test");
    EXPECT_TRUE(Next()->isEnabled());
    EXPECT_EQ(MessageBox::shownCount(), 0);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);

    // Usable as before: the next search finds the servers, the note goes.
    dialog->NSLookup().SetTargetHost("127.0.0.1:" + std::to_string(server->port()));
    Next()->click();
    EXPECT_EQ(dialog->Step(), 2);
    EXPECT_EQ(Rows().size(), 3u);
    EXPECT_EQ(Child<QLabel>("StopNote")->text(), "");
}

TEST_F(LookupDialog, EscapeStopsTheSearchAndClosingStopsAndCloses)
{
    const struct {
        const char* what;
        std::function<void(TPOP3Lookup&)> act;
        bool staysOpen;
    } cases[] = {
        { "Escape", [](TPOP3Lookup& finder) { QTest::keyClick(finder.focusWidget(), Qt::Key_Escape); }, true },
        { "close", [](TPOP3Lookup& finder) { finder.close(); }, false },
    };
    for (const auto& c : cases) {
        ScriptedServer scripted;
        Trickle(scripted);
        scripted.start();
        dialog->NSLookup().SetTargetHost(scripted.address());
        dialog->Prepare(nullptr);
        dialog->show();
        Type(NameEdit(), "mail.test");
        Clock::time_point acted {};
        QTimer::singleShot(200, dialog.get(), [&] {
            acted = Clock::now();
            c.act(*dialog);
        });
        Next()->click();
        EXPECT_LT(Clock::now() - acted, std::chrono::milliseconds(200)) << c.what;
        EXPECT_FALSE(dialog->NSLookup().Connected()) << c.what;
        EXPECT_EQ(dialog->isVisible(), c.staysOpen) << c.what;
        EXPECT_EQ(dialog->Step(), 1) << c.what;
        if (c.staysOpen) {
            // A second Escape, with no search running, closes the wizard as always.
            QTest::keyClick(dialog->focusWidget(), Qt::Key_Escape);
            EXPECT_FALSE(dialog->isVisible());
        } else {
            EXPECT_EQ(dialog->result(), QDialog::Rejected);
        }
    }
}
