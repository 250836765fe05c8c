// The mail-server finder, offscreen, asking a real dnsmasq over TCP.
#include "dialogs/BrieflotseLookup.h"
#include "dialogs/MessageBox.h"
#include "settings/SettingsStore.h"
#include "tests/support/DnsmasqHarness.h"
#include "tests/support/NameServerFixture.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TempDir.h"
#include "tests/support/qt/Child.h"
#include "tests/support/qt/TextFit.h"

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
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

static void PrintTo(const QString& Value, std::ostream* Out)
{
    *Out << '"' << Value.toStdString() << '"';
}

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

// A name server on loopback for answers no real one gives: every TCP
// connection gets one response, the one stored for the question's name (its
// ID set to the query's), or else a Name Error. The finder asks several times.
class CannedNameServer {
public:
    explicit CannedNameServer(std::map<std::string, std::vector<uint8_t>> answers)
        : answers_(std::move(answers))
    {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        ::listen(listener_, 4);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~CannedNameServer()
    {
        stop_ = true;
        thread_.join();
        ::close(listener_);
    }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

private:
    // Reads exactly n bytes, giving up after two seconds.
    static bool ReadAll(int fd, uint8_t* into, size_t n)
    {
        const auto until = Clock::now() + std::chrono::seconds(2);
        for (size_t done = 0; done < n;) {
            pollfd watch { fd, POLLIN, 0 };
            if (Clock::now() > until || ::poll(&watch, 1, 50) < 0)
                return false;
            const ssize_t got = watch.revents ? ::recv(fd, into + done, n - done, 0) : 0;
            if (watch.revents && got <= 0)
                return false;
            done += static_cast<size_t>(got > 0 ? got : 0);
        }
        return true;
    }
    void Serve()
    {
        while (!stop_) {
            pollfd watch { listener_, POLLIN, 0 };
            if (::poll(&watch, 1, 50) <= 0)
                continue;
            const int client = ::accept(listener_, nullptr, nullptr);
            if (client < 0)
                continue;
            uint8_t prefix[2];
            std::vector<uint8_t> query;
            if (ReadAll(client, prefix, 2)) {
                query.resize(static_cast<size_t>((prefix[0] << 8) | prefix[1]));
                if (!ReadAll(client, query.data(), query.size()))
                    query.clear();
            }
            // Our queries name plain labels, no pointers.
            std::string name;
            size_t at = 12;
            while (at < query.size() && query[at] != 0 && at + 1 + query[at] <= query.size()) {
                const auto label = query.begin() + static_cast<long>(at) + 1;
                name += (name.empty() ? "" : ".") + std::string(label, label + query[at]);
                at += query[at] + 1U;
            }
            if (at + 4 < query.size()) {
                std::vector<uint8_t> reply;
                const auto canned = answers_.find(name);
                if (canned != answers_.end()) {
                    reply = canned->second;
                } else {
                    // The query itself, flags 0x8183: a Name Error.
                    reply = { prefix[0], prefix[1] };
                    reply.insert(reply.end(), query.begin(), query.end());
                    reply[4] = 0x81;
                    reply[5] = 0x83;
                }
                reply[2] = query[0];
                reply[3] = query[1];
                ::send(client, reply.data(), reply.size(), MSG_NOSIGNAL);
            }
            ::shutdown(client, SHUT_WR);
            uint8_t rest[64];
            ReadAll(client, rest, sizeof rest); // until the finder has closed
            ::close(client);
        }
    }

    std::map<std::string, std::vector<uint8_t>> answers_;
    int listener_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_ { false };
    std::thread thread_;
};

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

class LookupDialog : public DnsmasqZoneTest {
protected:
    void SetUp() override
    {
        DnsmasqZoneTest::SetUp();
        if (HasFatalFailure())
            return;
        TMessageBox::ResetRecord();
        store = std::make_unique<TSettingsStore>(StorePath());
        dialog = Create();
    }
    void TearDown() override
    {
        dialog.reset();
        TSmartNSLookup::SetResolverConfig("");
        TMessageBox::ResetRecord();
    }

    QString StorePath() const { return QString::fromStdString(dir.file("settings.json")); }

    std::unique_ptr<TPOP3Lookup> Create()
    {
        auto finder = std::make_unique<TPOP3Lookup>(*store);
        finder->NSLookup().SetTargetHost("127.0.0.1");
        finder->NSLookup().SetTargetPort(std::to_string(server->port()));
        finder->SetTimeout(5);
        // These cases are about the name server's records alone.
        finder->SearchOptions().DnsOnly = true;
        return finder;
    }

    QLineEdit* NameEdit() const { return Child<QLineEdit>(*dialog, "NameEdit"); }
    QPushButton* Next() const { return Child<QPushButton>(*dialog, "NextButton"); }
    QPushButton* Back() const { return Child<QPushButton>(*dialog, "BackButton"); }
    QTreeWidget* Hosts() const { return Child<QTreeWidget>(*dialog, "MXHosts"); }
    bool Showing(const char* page) const { return Child<QWidget>(*dialog, page)->isVisible(); }

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

    // Server and priority of each row.
    std::vector<std::pair<QString, QString>> Rows() const
    {
        std::vector<std::pair<QString, QString>> rows;
        for (int i = 0; i < Hosts()->topLevelItemCount(); ++i)
            rows.emplace_back(Hosts()->topLevelItem(i)->text(0), Hosts()->topLevelItem(i)->text(3));
        return rows;
    }
    // Every column of each row: server, port, kind, priority.
    std::vector<std::vector<QString>> Cells() const
    {
        std::vector<std::vector<QString>> rows;
        for (int i = 0; i < Hosts()->topLevelItemCount(); ++i) {
            const QTreeWidgetItem* item = Hosts()->topLevelItem(i);
            rows.push_back({ item->text(0), item->text(1), item->text(2), item->text(3) });
        }
        return rows;
    }
    QString SelectedServer() const
    {
        const auto selected = Hosts()->selectedItems();
        return selected.isEmpty() ? QString() : selected.first()->text(0);
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

    TempDir dir;
    std::unique_ptr<TSettingsStore> store;
    std::unique_ptr<TPOP3Lookup> dialog;
};

using RowList = std::vector<std::pair<QString, QString>>;
using CellList = std::vector<std::vector<QString>>;

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
    // Room for an address: 64 before the "@", 253 after it.
    Type(NameEdit(), QString(400, 'a'));
    EXPECT_EQ(NameEdit()->text(), QString(318, 'a'));
}

TEST_F(LookupDialog, ListsMxByPreferenceWithTheFirstPreselected)
{
    dialog->SetTimeout(7);
    Query("mail.test"); // answered 20, 10, 30
    EXPECT_EQ(dialog->NSLookup().Timeout(), 7);
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Brieflotse - Mail-Server suchen (Schritt 2 von 2)"));
    EXPECT_TRUE(Showing("PanelSelect"));
    EXPECT_EQ(Cells(),
        (CellList { { "mx10.mail.test", "", "MX", "10" }, { "mx20.mail.test", "", "MX", "20" },
            { "mx30.mail.test", "", "MX", "30" } }));
    EXPECT_EQ(Hosts()->headerItem()->text(3), QStringLiteral("Priorität"));
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
    EXPECT_EQ(Rows().front().first, "mx10.mail.test");
}

TEST_F(LookupDialog, SrvRowsComeFirstByPriorityAndWeightThenMx)
{
    // _pop3s: 10/20 pop-a, 10/60 pop-b, 20/0 pop-c; _pop3: 5/0 pop-d, 10/50 pop-e; MX 10.
    const CellList expected = {
        { "pop-d.srv.test", "110", "SRV", "5" },
        { "pop-b.srv.test", "995", "SRV, TLS", "10" },
        { "pop-e.srv.test", "1110", "SRV", "10" },
        { "pop-a.srv.test", "995", "SRV, TLS", "10" },
        { "pop-c.srv.test", "1995", "SRV, TLS", "20" },
        { "mx.srv.test", "", "MX", "10" },
    };
    const QString handedOver[] = { "pop-d.srv.test:110", "pop3s://pop-b.srv.test:995", "pop-e.srv.test:1110",
        "pop3s://pop-a.srv.test:995", "pop3s://pop-c.srv.test:1995", "mx.srv.test" };
    for (int row = 0; row < static_cast<int>(expected.size()); ++row) {
        Query("srv.test");
        ASSERT_EQ(Cells(), expected);
        EXPECT_EQ(SelectedServer(), "pop-d.srv.test");
        Hosts()->setCurrentItem(Hosts()->topLevelItem(row));
        Next()->click();
        EXPECT_EQ(dialog->result(), QDialog::Accepted);
        EXPECT_EQ(dialog->ServerName(), handedOver[row]);
    }
}

TEST_F(LookupDialog, SrvOnlyAndServiceNotOffered)
{
    const struct {
        const char* domain;
        CellList cells;
        std::vector<QString> choosable;
    } cases[] = {
        { "srvonly.test", { { "pop.srvonly.test", "995", "SRV, TLS", "0" } }, { "pop.srvonly.test" } },
        { "nosrv.test",
            { { QStringLiteral("(Dienst nicht angeboten)"), "", "SRV", "0" }, { "mx10.mail.test", "", "MX", "10" } },
            { "mx10.mail.test" } },
    };
    for (const auto& c : cases) {
        Query(c.domain);
        EXPECT_TRUE(Showing("PanelSelect")) << c.domain;
        EXPECT_EQ(Cells(), c.cells) << c.domain;
        EXPECT_EQ(SelectedServer(), c.choosable.front()) << c.domain;
        EXPECT_EQ(Choosable(), c.choosable) << c.domain;
        Back()->click();
    }
    Query("nosrv.test");
    EXPECT_EQ(Hosts()->topLevelItem(0)->toolTip(0),
        QStringLiteral("SRV-Eintrag mit dem Ziel „.“: Laut Name-Server bietet diese Domain POP3 ausdrücklich "
                       "nicht an."));
}

TEST_F(LookupDialog, EveryPageShowsItsWholeTextAndWholePorts)
{
    dialog->Prepare(nullptr);
    dialog->show();
    // Welcome, then the list (ports 110, 995, 1110 and 1995), none found, a Name Error.
    for (const QString& name :
        { QString(), QStringLiteral("srv.test"), QStringLiteral("plain.test"), QStringLiteral("nothere.test") }) {
        if (!name.isEmpty())
            Query(name);
        QApplication::processEvents();
        EXPECT_EQ(CutTexts(*dialog).join(" | ").toStdString(), "") << name.toStdString();
        Back()->click();
    }
    Query("srv.test");
    const QAbstractItemView* list = Hosts();
    for (const int column : { 1, 2, 3 })
        EXPECT_LE(list->sizeHintForColumn(column), Hosts()->columnWidth(column)) << "column " << column;
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
    EXPECT_EQ(Child<QLabel>(*dialog, "ErrorLabel")->text(), "3 - Name Error");
    EXPECT_EQ(Child<QLabel>(*dialog, "NameServerLabel")->text(),
        QStringLiteral("Gefragter Name-Server: 127.0.0.1, Port %1").arg(server->port()));
    EXPECT_FALSE(Next()->isEnabled());
    EXPECT_EQ(Next()->text(), QStringLiteral("&Verbinden"));
    EXPECT_TRUE(Back()->isEnabled());
    EXPECT_TRUE(Back()->isDefault());
    EXPECT_EQ(TMessageBox::ShownCount(), 0);
}

TEST_F(LookupDialog, NameWithEmptyPartIsRefusedWithoutAsking)
{
    dialog->NSLookup().SetTargetPort("1"); // a query sent would fail with a socket error
    for (const QString& name : { QStringLiteral("a..b"), QStringLiteral(".x"), QStringLiteral(".") }) {
        Query(name);
        EXPECT_TRUE(Showing("PanelError"));
        EXPECT_EQ(Child<QLabel>(*dialog, "ErrorLabel")->text(),
            QStringLiteral("Der Domain-Name „%1“ ist ungültig: er enthält einen leeren Namensteil.").arg(name));
        EXPECT_FALSE(Next()->isEnabled());
        EXPECT_FALSE(Child<QLabel>(*dialog, "NameServerLabel")->isVisible()); // none was asked
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
    // No name server serves these. "bad.test" MX: ID (set by the server),
    // flags 0x8180, one question "bad.test" MX IN, four answers.
    const auto mx = Framed({ { 0x12, 0x34, 0x81, 0x80, 0, 1, 0, 4, 0, 0, 0, 0 },
        { 3, 'b', 'a', 'd', 4, 't', 'e', 's', 't', 0, 0, 15, 0, 1 },
        // MX 10 "mx<BEL>.test", MX 20 "mx<E9>.test" ("test" at 16), a name
        // running past its data, MX 40 "mx.bad.test"
        { 0xC0, 0x0C, 0, 15, 0, 1, 0, 0, 0, 60, 0, 8, 0, 10, 3, 'm', 'x', 0x07, 0xC0, 0x10 },
        { 0xC0, 0x0C, 0, 15, 0, 1, 0, 0, 0, 60, 0, 8, 0, 20, 3, 'm', 'x', 0xE9, 0xC0, 0x10 },
        { 0xC0, 0x0C, 0, 15, 0, 1, 0, 0, 0, 60, 0, 3, 0, 30, 5 },
        { 0xC0, 0x0C, 0, 15, 0, 1, 0, 0, 0, 60, 0, 7, 0, 40, 2, 'm', 'x', 0xC0, 0x0C } });
    // "_pop3s._tcp.bad.test" SRV: flags 0x8180, one question, five answers.
    const auto srv = Framed({ { 0x12, 0x34, 0x81, 0x80, 0, 1, 0, 5, 0, 0, 0, 0 },
        { 6, '_', 'p', 'o', 'p', '3', 's', 4, '_', 't', 'c', 'p', 3, 'b', 'a', 'd', 4, 't', 'e', 's', 't', 0, 0, 33, 0,
            1 },
        // 40/0/995 "pop.bad.test" ("bad.test" at 24): the one to choose
        { 0xC0, 0x0C, 0, 33, 0, 1, 0, 0, 0, 60, 0, 12, 0, 40, 0, 0, 0x03, 0xE3, 3, 'p', 'o', 'p', 0xC0, 0x18 },
        // 10/0/995 "pop:1.bad.test": a port in the name
        { 0xC0, 0x0C, 0, 33, 0, 1, 0, 0, 0, 60, 0, 14, 0, 10, 0, 0, 0x03, 0xE3, 5, 'p', 'o', 'p', ':', '1', 0xC0,
            0x18 },
        // 20/0/0 "pop.bad.test": port 0
        { 0xC0, 0x0C, 0, 33, 0, 1, 0, 0, 0, 60, 0, 12, 0, 20, 0, 0, 0, 0, 3, 'p', 'o', 'p', 0xC0, 0x18 },
        // data of three bytes only
        { 0xC0, 0x0C, 0, 33, 0, 1, 0, 0, 0, 60, 0, 3, 0, 5, 0 },
        // 30/0/995 ".": no service
        { 0xC0, 0x0C, 0, 33, 0, 1, 0, 0, 0, 60, 0, 7, 0, 30, 0, 0, 0x03, 0xE3, 0 } });
    CannedNameServer canned({ { "bad.test", mx }, { "_pop3s._tcp.bad.test", srv } });
    dialog->NSLookup().SetTargetHost(canned.address());
    Query("bad.test");
    // SRV by priority, unreadable data last; then MX the same way.
    EXPECT_EQ(Cells(),
        (CellList { { QStringLiteral("pop:1.bad.test (ungültig)"), "995", "SRV, TLS", "10" },
            { "pop.bad.test", "0", "SRV, TLS", "20" },
            { QStringLiteral("(Dienst nicht angeboten)"), "", "SRV, TLS", "30" },
            { "pop.bad.test", "995", "SRV, TLS", "40" }, { QStringLiteral("(SRV-Daten unlesbar)"), "", "SRV, TLS", "" },
            { QStringLiteral("mx\\x07.test (ungültig)"), "", "MX", "10" },
            { QStringLiteral("mx\\xE9.test (ungültig)"), "", "MX", "20" }, { "mx.bad.test", "", "MX", "40" },
            { QStringLiteral("(MX-Daten unlesbar)"), "", "MX", "" } }));
    EXPECT_TRUE(Hosts()->topLevelItem(3)->isSelected());
    EXPECT_EQ(Choosable(), (std::vector<QString> { "pop.bad.test", "mx.bad.test" }));
    Hosts()->clearSelection();
    Hosts()->topLevelItem(3)->setSelected(true);
    Next()->click();
    EXPECT_EQ(dialog->ServerName(), "pop3s://pop.bad.test:995");
}

TEST_F(LookupDialog, PeersThatAreNoNameServerAreNamedAsSuch)
{
    const struct {
        const char* what;
        std::string reply; // empty: closes at once
        QString text;
    } cases[] = {
        { "closes", "",
            QStringLiteral("Der Name-Server hat die Verbindung beendet, ohne vollständig zu antworten. Unter dieser "
                           "Adresse beantwortet vermutlich kein Name-Server Anfragen über TCP.") },
        { "web server", "HTTP/1.0 400 Bad Request\r\nContent-Type: text/html\r\n\r\n<html></html>",
            QStringLiteral("Die Gegenstelle hat nicht mit DNS geantwortet (vielleicht ein Web- oder Mail-Server). "
                           "Unter dieser Adresse läuft vermutlich kein Name-Server.") },
    };
    for (const auto& c : cases) {
        ScriptedServer scripted;
        scripted.expectBytes(QueryLength("_pop3s._tcp.mail.test"));
        if (!c.reply.empty())
            scripted.send(c.reply);
        scripted.close().holdOpen(3000);
        scripted.start();
        dialog->NSLookup().SetTargetHost(scripted.address());
        const auto start = Clock::now();
        Query("mail.test");
        EXPECT_LT(SecondsSince(start), 1.0) << c.what; // not the 5 s wait
        EXPECT_TRUE(Showing("PanelError")) << c.what;
        EXPECT_EQ(Child<QLabel>(*dialog, "ErrorLabel")->text(), c.text) << c.what;
        QApplication::processEvents();
        EXPECT_EQ(CutTexts(*dialog).join(" | ").toStdString(), "") << c.what;
        EXPECT_EQ(Child<QLabel>(*dialog, "NameServerLabel")->text(),
            QStringLiteral("Gefragter Name-Server: 127.0.0.1, Port %1").arg(scripted.port()));
        Back()->click();
    }
}

TEST_F(LookupDialog, UnreachableNameServerShowsTheSocketError)
{
    dialog->NSLookup().SetTargetPort(std::to_string(ClosedPort()));
    Query("mail.test");
    EXPECT_TRUE(Showing("PanelError"));
    EXPECT_EQ(Child<QLabel>(*dialog, "ErrorLabel")->text(), "10061 - Connection refused");
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
    Child<QPushButton>(*dialog, "CancelButton")->click();
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
    TMessageBox::SetNextAnswer(QMessageBox::Ok);
    dialog = Create();
    EXPECT_EQ(TMessageBox::ShownCount(), 1);
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
        { 6, '_', 'p', 'o', 'p', '3', 's', 4, '_', 't', 'c', 'p', 4, 'm', 'a', 'i', 'l', 4, 't', 'e', 's', 't', 0, 0,
            33, 0, 1 } });
    answer.resize(120); // bytes after the question that no count announces
    answer[1] = 118;
    TrickleAnswer(server, QueryLength("_pop3s._tcp.mail.test"), answer, 20);
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
    EXPECT_EQ(Child<QLabel>(*dialog, "ErrorLabel")->text(), "12000 - Request timed out");
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
    auto* cancel = Child<QPushButton>(*dialog, "CancelButton");
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
    EXPECT_EQ(Child<QLabel>(*dialog, "StopNote")->text(), QStringLiteral("Die Suche wurde abgebrochen."));
    EXPECT_EQ(NameEdit()->text(), "mail.test");
    EXPECT_TRUE(Next()->isEnabled());
    EXPECT_EQ(TMessageBox::ShownCount(), 0);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);

    // Usable as before: the next search finds the servers, the note goes.
    dialog->NSLookup().SetTargetHost("127.0.0.1:" + std::to_string(server->port()));
    Next()->click();
    EXPECT_EQ(dialog->Step(), 2);
    EXPECT_EQ(Rows().size(), 3u);
    EXPECT_EQ(Child<QLabel>(*dialog, "StopNote")->text(), "");
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
