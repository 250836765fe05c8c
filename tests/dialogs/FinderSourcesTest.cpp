// The finder's window with every source: an address typed, the rows of the
// page "2. Quellen" coming in while the search runs, the servers the config
// files name in the list with their user name, sources and notes, and what
// "Verbinden" hands on. dnsmasq answers SRV and MX, the Python config server
// the autoconfig file (late, so that the rows are seen arriving) and the
// provider database, for names pinned with BRIEFLOTSE_RESOLVE.

#include "dialogs/BrieflotseLookup.h"
#include "settings/SettingsStore.h"
#include "tests/support/ConfigServerHarness.h"
#include "tests/support/DnsmasqHarness.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/qt/Child.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QTimer>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

QString Cell(QTreeWidget* list, const QString& server, int column)
{
    for (int row = 0; row < list->topLevelItemCount(); ++row)
        if (list->topLevelItem(row)->text(0) == server)
            return list->topLevelItem(row)->text(column);
    return QStringLiteral("(keine Zeile)");
}

QTreeWidgetItem* Row(QTreeWidget* list, const QString& server, const QString& port)
{
    for (int row = 0; row < list->topLevelItemCount(); ++row)
        if (list->topLevelItem(row)->text(0) == server && list->topLevelItem(row)->text(1) == port)
            return list->topLevelItem(row);
    return nullptr;
}

} // namespace

TEST(FinderSources, AddressFillsTheSourcesPageAndListsEveryServer)
{
    std::string error;
    const TestCertificates* certificates = TestCertificates::shared(&error);
    ASSERT_NE(certificates, nullptr) << error;
    DnsmasqHarness dns;
    dns.addMx("beispiel.test", "mx1.anbieter.test", 10);
    ASSERT_TRUE(dns.start()) << dns.error();
    const std::string servers
        = "<incomingServer type=\\\"pop3\\\"><hostname>pop.beispiel.test</hostname><port>995</port>"
          "<socketType>SSL</socketType><username>%EMAILADDRESS%</username>"
          "<authentication>password-cleartext</authentication></incomingServer>"
          "<incomingServer type=\\\"pop3\\\"><hostname>pop.beispiel.test</hostname><port>110</port>"
          "<socketType>STARTTLS</socketType><username>%EMAILLOCALPART%</username>"
          "</incomingServer><enable visiturl=\\\"https://beispiel.test/pop\\\"/>";
    const std::string config = "<clientConfig version=\\\"1.1\\\"><emailProvider id=\\\"b\\\">" + servers
        + "</emailProvider></clientConfig>";
    const std::string routes = "{\"autoconfig.beispiel.test /mail/config-v1.1.xml\": {\"body\": \"" + config
        + "\", \"delay\": 0.6}, \"ispdb.test /v1.1/beispiel.test\": {\"body\": \"" + config + "\"}}";
    ConfigServerHarness web;
    ASSERT_TRUE(web.start(routes, *certificates, BRIEFLOTSE_SOURCE_DIR));
    // Every web name pinned, none left to the machine's resolver and its own waits.
    std::string pins;
    for (const char* host : { "autoconfig.beispiel.test", "beispiel.test", "ispdb.test", "autoconfig.anbieter.test" })
        for (const auto& [port, to] : { std::pair(443, web.httpsPort()), std::pair(80, web.httpPort()) })
            pins += (pins.empty() ? "" : ",") + std::string(host) + ":" + std::to_string(port) + ":127.0.0.1@"
                + std::to_string(to);
    ::setenv("BRIEFLOTSE_RESOLVE", pins.c_str(), 1);
    certificates->trustInThisProcess();

    TempDir dir;
    TSettingsStore store(QString::fromStdString(dir.file("settings.json")));
    // The provider database as the setting names it.
    ASSERT_TRUE(store.OpenKey(TPOP3Lookup::FinderSettingsKey, true));
    store.WriteString("ProviderDatabase", "https://ispdb.test/v1.1/");
    store.CloseKey();
    TPOP3Lookup finder(store);
    finder.NSLookup().SetTargetHost("127.0.0.1");
    finder.NSLookup().SetTargetPort(std::to_string(dns.port()));
    finder.Prepare(nullptr);
    finder.show();
    auto* name = Child<QLineEdit>(finder, "NameEdit");
    auto* next = Child<QPushButton>(finder, "NextButton");
    auto* sources = Child<QTreeWidget>(finder, "SourceRows");
    auto* list = Child<QTreeWidget>(finder, "MXHosts");
    auto* pages = Child<QStackedWidget>(finder, "Pages");
    name->setText("anna@beispiel.test");

    // Before the late file: the page shows the rows that have come.
    int rowsWhileSearching = -1;
    QString pageWhileSearching;
    QTimer::singleShot(400, &finder, [&] {
        if (!finder.Querying())
            return;
        rowsWhileSearching = sources->topLevelItemCount();
        pageWhileSearching = pages->currentWidget()->objectName();
    });
    next->click();
    EXPECT_EQ(pageWhileSearching, "PanelSources");
    EXPECT_GT(rowsWhileSearching, 3);
    EXPECT_LT(rowsWhileSearching, sources->topLevelItemCount());
    ASSERT_EQ(finder.Step(), 2);
    EXPECT_EQ(pages->currentWidget()->objectName(), "PanelSelect");

    // Both files name the same two servers; the MX host is marked as SMTP.
    QTreeWidgetItem* tls = Row(list, "pop.beispiel.test", "995");
    QTreeWidgetItem* stls = Row(list, "pop.beispiel.test", "110");
    ASSERT_TRUE(tls && stls);
    EXPECT_EQ(tls->text(2), "TLS");
    EXPECT_EQ(tls->text(4), "anna@beispiel.test");
    EXPECT_EQ(tls->text(5), "password-cleartext");
    EXPECT_EQ(tls->text(6), "autoconfig, ispdb");
    EXPECT_TRUE(tls->text(7).contains("https://beispiel.test/pop"));
    EXPECT_EQ(stls->text(2), "STLS");
    EXPECT_EQ(stls->text(4), "anna");
    EXPECT_EQ(Cell(list, "mx1.anbieter.test", 6), QStringLiteral("MX-Einträge (SMTP, kein POP3)"));
    EXPECT_TRUE(tls->isSelected());
    EXPECT_TRUE(Child<QLabel>(finder, "ServerDetails")->text().contains("<a href=\"https://beispiel.test/pop\">"));

    // "Quellen" shows the questions again, "Server" the list.
    auto* toggle = Child<QPushButton>(finder, "SourcesButton");
    toggle->click();
    EXPECT_EQ(pages->currentWidget()->objectName(), "PanelSources");
    EXPECT_FALSE(next->isEnabled());
    toggle->click();
    EXPECT_EQ(pages->currentWidget()->objectName(), "PanelSelect");

    list->clearSelection();
    stls->setSelected(true);
    next->click();
    EXPECT_EQ(finder.ServerName(), "pop.beispiel.test:110");
    EXPECT_TRUE(finder.StlsFirst());
    ::unsetenv("BRIEFLOTSE_RESOLVE");
}
