// The address finder: config files and merging as pure rules, then the
// program's --find against real parts: dnsmasq for SRV and MX, a Python HTTPS
// and HTTP server with config files (some hostile) for names pinned with
// BRIEFLOTSE_RESOLVE, and the practice server found by probing.

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <chrono>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "discovery/AddressFinder.h"
#include "discovery/ConfigFile.h"
#include "discovery/PinnedNames.h"
#include "practice/PracticeServer.h"
#include "tests/practice/ToolRun.h"
#include "tests/support/ConfigServerHarness.h"
#include "tests/support/DnsmasqHarness.h"
#include "tests/support/TestCertificates.h"

namespace {

TFinderQuery Anna()
{
    TFinderQuery query;
    std::string problem;
    EXPECT_TRUE(ParseFinderQuery(" Anna@Beispiel.TEST. ", query, problem)) << problem;
    return query;
}

std::string Pop3(const std::string& inner)
{
    return "<incomingServer type=\"pop3\">" + inner + "</incomingServer>";
}

std::string Config(const std::string& servers, const std::string& extra = {})
{
    return "<?xml version=\"1.0\"?><clientConfig version=\"1.1\"><emailProvider id=\"x\">" + servers + extra
        + "</emailProvider></clientConfig>";
}

std::string Server(const std::string& host, const std::string& port, const std::string& socket,
    const std::string& user = "%EMAILADDRESS%", const std::string& auth = "password-cleartext")
{
    return Pop3("<hostname>" + host + "</hostname><port>" + port + "</port><socketType>" + socket
        + "</socketType><username>" + user + "</username><authentication>" + auth + "</authentication>");
}

TEST(FinderRules, QueryTakesAddressOrDomain)
{
    const TFinderQuery query = Anna();
    EXPECT_EQ(query.Address, "Anna@beispiel.test");
    EXPECT_EQ(query.LocalPart, "Anna");
    EXPECT_EQ(query.Domain, "beispiel.test");
    TFinderQuery domain;
    std::string problem;
    EXPECT_TRUE(ParseFinderQuery("gmx.de", domain, problem));
    EXPECT_TRUE(domain.Address.empty());
    for (const char* bad :
        { "", "@beispiel.test", "an na@beispiel.test", "beispiel..test", "mail.exa mple.org", "müller.de", "anna@" })
        EXPECT_FALSE(ParseFinderQuery(bad, domain, problem)) << bad;
}

// Every incomingServer for POP3 in order; each that cannot be offered is a
// German problem instead.
TEST(FinderRules, ConfigFileOffersOnlyWhatCanBeReached)
{
    const std::string body = Config(Server("pop.%EMAILDOMAIN%", "995", "SSL", "%EMAILADDRESS%",
                                        "password-cleartext</authentication><authentication>OAuth2")
            + "<incomingServer type=\"imap\"><hostname>imap.beispiel.test</hostname></incomingServer>"
            + Server("POP.beispiel.test", "110", "STARTTLS", "%EMAILLOCALPART%")
            + Server("pop beispiel.test", "995", "SSL") + Server("pop.beispiel.test\x01", "995", "SSL")
            + Server("pop2.beispiel.test", "70000", "SSL") + Server("pop2.beispiel.test", "0", "SSL")
            + Server("pop2.beispiel.test", "99x", "SSL") + Server("pop3.beispiel.test", "995", "TLS")
            + Server("pop4.beispiel.test", "995", "SSL", "%EMAILNAME%") + Server("%REALNAME%.test", "995", "SSL"),
        "<documentation url=\"https://beispiel.test/hilfe\"/><enable visiturl=\"https://beispiel.test/pop\"/>"
        "<enable visiturl=\"javascript:alert(1)\"/>");
    const TConfigFile file = ReadConfigFile(body, Anna());
    ASSERT_TRUE(file.Readable) << file.Error;
    ASSERT_EQ(file.Servers.size(), 2u);
    EXPECT_EQ(file.Servers[0].Host, "pop.beispiel.test");
    EXPECT_EQ(file.Servers[0].Port, 995);
    EXPECT_EQ(file.Servers[0].Socket, TSocketKind::Ssl);
    EXPECT_EQ(file.Servers[0].Username, "Anna@beispiel.test");
    EXPECT_EQ(file.Servers[0].Authentication, (std::vector<std::string> { "password-cleartext", "OAuth2" }));
    EXPECT_EQ(file.Servers[1].Socket, TSocketKind::StartTls);
    EXPECT_EQ(file.Servers[1].Username, "Anna");
    EXPECT_EQ(file.EnableUrl, "https://beispiel.test/pop");
    EXPECT_EQ(file.DocumentationUrl, "https://beispiel.test/hilfe");
    const std::vector<const char*> reasons = { "unzulässige Zeichen", "unzulässige Zeichen", "70000", "„0“", "99x",
        "Verbindungsart „TLS“", "%EMAILNAME%", "%REALNAME%", "keine Web-Adresse" };
    ASSERT_EQ(file.Problems.size(), reasons.size());
    for (const char* reason : reasons) {
        const bool named = std::any_of(file.Problems.begin(), file.Problems.end(),
            [&](const std::string& problem) { return problem.find(reason) != std::string::npos; });
        EXPECT_TRUE(named) << reason;
    }
    // A domain alone leaves the address's placeholders for the user to fill.
    TFinderQuery domain;
    std::string problem;
    ParseFinderQuery("beispiel.test", domain, problem);
    EXPECT_EQ(ReadConfigFile(body, domain).Servers[1].Username, "%EMAILLOCALPART%");
    for (const std::string& broken : { std::string("<clientConfig><emailProvider>"), std::string("<html/>"),
             std::string(), std::string("\xEF\xBB\xBF<a>&unknown;</a>") })
        EXPECT_FALSE(ReadConfigFile(broken, Anna()).Error.empty()) << broken;
}

TEST(FinderRules, MergeNamesSourcesAndTrust)
{
    auto offer = [](const char* host, uint16_t port, TSocketKind socket, const char* source) {
        TOffer made;
        made.Host = host;
        made.Port = port;
        made.Socket = socket;
        made.Source = source;
        made.Username = "anna@beispiel.test";
        made.ViaOtherName = std::string(source) == "srv";
        made.OverHttp = std::string(source) == "autoconfig-http";
        return made;
    };
    std::vector<TOffer> offers = { offer("pop.beispiel.test", 110, TSocketKind::Plain, "autoconfig-http"),
        offer("pop.beispiel.test", 995, TSocketKind::Ssl, "ispdb"),
        offer("pop.beispiel.test", 995, TSocketKind::Ssl, "autoconfig"),
        offer("pop.anbieter.test", 995, TSocketKind::Ssl, "srv"),
        offer("klar.beispiel.test", 110, TSocketKind::Plain, "autoconfig") };
    offers[1].EnableUrl = "https://beispiel.test/pop";
    offers[2].Username = "anna";
    const auto candidates = FinderRules::MergeOffers(offers, "beispiel.test");
    ASSERT_EQ(candidates.size(), 4u);
    auto has = [](const TCandidate& candidate, const char* text) {
        return std::any_of(candidate.Notes.begin(), candidate.Notes.end(),
            [&](const std::string& note) { return note.find(text) != std::string::npos; });
    };
    EXPECT_EQ(candidates[0].Host, "pop.anbieter.test"); // srv ranks first
    EXPECT_TRUE(has(candidates[0], "DNSSEC"));
    EXPECT_EQ(candidates[1].Sources, (std::vector<std::string> { "autoconfig", "ispdb" }));
    EXPECT_EQ(candidates[1].Username, "anna");
    EXPECT_TRUE(has(candidates[1], "Quellen uneins beim Benutzernamen"));
    EXPECT_TRUE(has(candidates[1], "Quellen uneins: autoconfig-http"));
    EXPECT_EQ(candidates[1].ProviderUrl, "https://beispiel.test/pop");
    EXPECT_FALSE(has(candidates[1], "unverschlüsselt abgerufen"));
    EXPECT_FALSE(has(candidates[1], "DNSSEC"));
    EXPECT_TRUE(has(candidates[2], "klar") || candidates[2].Host == "klar.beispiel.test");
    EXPECT_TRUE(has(candidates[2], "Nur ein unverschlüsselter Port"));
    EXPECT_EQ(candidates[3].Sources, (std::vector<std::string> { "autoconfig-http" }));
    EXPECT_TRUE(has(candidates[3], "unverschlüsselt abgerufen: könnte unterwegs verfälscht worden sein"));
    // The same host has TLS elsewhere: its plain port is no "only plain".
    EXPECT_FALSE(has(candidates[3], "Nur ein unverschlüsselter Port"));
}

TEST(FinderRules, ProviderBehindMXAndPins)
{
    using V = std::vector<std::string>;
    EXPECT_EQ(FinderRules::ProviderDomains("mx1.eu.anbieter.test", "beispiel.test"),
        (V { "eu.anbieter.test", "anbieter.test" }));
    EXPECT_EQ(FinderRules::ProviderDomains("mx.anbieter.test", "beispiel.test"), (V { "anbieter.test" }));
    EXPECT_EQ(FinderRules::ProviderDomains("mx00.gmx.co.uk", "gmx.de"), (V { "gmx.co.uk" }));
    EXPECT_EQ(FinderRules::ProviderDomains("mx.beispiel.test", "beispiel.test"), (V {}));
    EXPECT_EQ(FinderRules::ProviderDomains("co.uk", "beispiel.test"), (V {}));
    EXPECT_TRUE(FinderRules::InsideDomain("pop.beispiel.test", "beispiel.test"));
    EXPECT_FALSE(FinderRules::InsideDomain("popbeispiel.test", "beispiel.test"));
    const auto pins
        = ParsePinnedNames("A.test:443:127.0.0.1@8443,b.test:80:[::1],bad,c.test:0:127.0.0.1,d.test:1:name");
    ASSERT_EQ(pins.size(), 2u);
    EXPECT_EQ(pins[0].Host, "a.test");
    EXPECT_EQ(pins[0].ConnectPort, 8443);
    EXPECT_EQ(pins[1].Address, "::1");
    EXPECT_EQ(FindPin(pins, "a.TEST", 443), &pins[0]);
    EXPECT_EQ(FindPin(pins, "a.test", 80), nullptr);
}

QJsonObject Route(const std::string& body, int status = 200, const std::string& location = {})
{
    QJsonObject route { { "status", status }, { "body", QString::fromStdString(body) } };
    if (!location.empty())
        route["location"] = QString::fromStdString(location);
    return route;
}

bool Named(const QJsonArray& list, const char* text)
{
    for (const auto& item : list)
        if (item.toString().contains(QString::fromUtf8(text)))
            return true;
    return false;
}

// A name server, web servers and POP3 servers that take the connection and
// never answer: a stop must still end every source within 100 ms.
TEST(FinderEngine, CancelEndsEverySourceAtOnce)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(::listen(listener, 64), 0);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    const std::string port = std::to_string(ntohs(address.sin_port));
    ::setenv("BRIEFLOTSE_NAMESERVER", ("127.0.0.1:" + port).c_str(), 1);
    // Every name the web sources and the probes ask for leads there too, and
    // none to the machine's resolver, whose own waits are no part of this.
    std::string pins;
    for (const char* host : { "autoconfig.beispiel.test", "beispiel.test", "pop3.beispiel.test", "pop.beispiel.test",
             "mail.beispiel.test" })
        for (const char* web : { ":443:", ":80:", ":995:", ":110:" })
            pins += (pins.empty() ? "" : ",") + std::string(host) + web + "127.0.0.1@" + port;
    ::setenv("BRIEFLOTSE_RESOLVE", pins.c_str(), 1);
    TFinderOptions options;
    options.ProbeTimeoutMs = 300;
    options.ProviderDatabase = "https://127.0.0.1:" + port + "/v1.1/";
    TAddressFinder finder(Anna(), options);
    TFinderReport report;
    std::thread search([&] { report = finder.Run(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto stop = std::chrono::steady_clock::now();
    finder.Cancel();
    search.join();
    const auto took
        = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - stop).count();
    // Generous for the sanitizer builds: bench_finder measures the real figure
    // (at most 100 ms); a source that waited for its own limit takes seconds.
    EXPECT_LE(took, 1000);
    EXPECT_TRUE(report.Cancelled);
    EXPECT_TRUE(report.Candidates.empty());
    int errors = 0;
    for (const TSourceRow& row : report.Sources)
        errors += row.Result == TSourceResult::Error;
    EXPECT_GE(errors, 4); // both SRV, MX and the database were still waiting

    // Left alone, each waits its own limit and no longer.
    options.HttpTimeoutMs = 300;
    options.DnsTimeoutSeconds = 1;
    const auto start = std::chrono::steady_clock::now();
    const TFinderReport waited = TAddressFinder(Anna(), options).Run();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3000));
    const bool timedOut = std::any_of(waited.Sources.begin(), waited.Sources.end(), [](const TSourceRow& row) {
        return row.Source == "ispdb" && row.Detail == "Keine vollständige Antwort innerhalb von 300 ms.";
    });
    EXPECT_TRUE(timedOut);
    ::unsetenv("BRIEFLOTSE_NAMESERVER");
    ::unsetenv("BRIEFLOTSE_RESOLVE");
    ::close(listener);
}

const std::string kAutoconfigPath = "/mail/config-v1.1.xml";
const std::string kWellKnownPath = "/.well-known/autoconfig/mail/config-v1.1.xml";

// One run of the program per domain: every kind of source names its server,
// hostile answers are rows with their reason, probing finds the practice server.
TEST(FinderProgram, FindsFromEverySourceAndRefusesHostileAnswers)
{
    std::string error;
    const TestCertificates* certificates = TestCertificates::shared(&error);
    ASSERT_NE(certificates, nullptr) << error;
    DnsmasqHarness dns;
    dns.addSrv("_pop3s._tcp.beispiel.test", "pop-srv.anbieter.test", 995, 10, 0);
    dns.addMx("beispiel.test", "mx1.eu.anbieter.test", 10);
    dns.addMx("beispiel.test", "mx2.beispiel.test", 20);
    if (!dns.start())
        GTEST_SKIP() << dns.error();

    const std::string good = Config(Server("pop.beispiel.test", "995", "SSL")
            + Server("pop.beispiel.test", "110", "STARTTLS", "%EMAILLOCALPART%")
            + Server("pop beispiel.test", "995", "SSL") + Server("pop.beispiel.test", "70000", "SSL")
            + Server("pop.beispiel.test", "995", "SSL", "%EMAILNAME%"),
        "<enable visiturl=\"https://anbieter.test/pop-einschalten\"/>");
    QJsonObject routes;
    auto add = [&](const std::string& host, const std::string& path, const QJsonObject& route) {
        routes[QString::fromStdString(host + " " + path)] = route;
    };
    add("autoconfig.beispiel.test", kAutoconfigPath, Route(good));
    add("https beispiel.test", kWellKnownPath, Route("", 302, "http://beispiel.test" + kWellKnownPath));
    add("ispdb.test", "/v1.1/beispiel.test", Route(Config(Server("pop.beispiel.test", "995", "SSL"))));
    add("autoconfig.eu.anbieter.test", kAutoconfigPath, Route(Config(Server("pop.anbieter.test", "995", "SSL"))));
    add("ispdb.test", "/v1.1/anbieter.test", Route(Config(Server("pop3.anbieter.test", "995", "SSL"))));
    // klartext.test: only the HTTP file is usable.
    add("autoconfig.klartext.test", kAutoconfigPath, QJsonObject { { "size", 1200 * 1024 } });
    for (int hop = 0; hop < 6; ++hop)
        add("klartext.test", hop == 0 ? kWellKnownPath : "/r" + std::to_string(hop),
            Route("", 302, "https://klartext.test/r" + std::to_string(hop + 1)));
    add("klartext.test", "/r6", Route(good));
    add("http autoconfig.klartext.test", kAutoconfigPath, Route(good));
    add("ispdb.test", "/v1.1/klartext.test", Route("<clientConfig><emailProvider>"));
    ConfigServerHarness web;
    ASSERT_TRUE(web.start(QJsonDocument(routes).toJson().toStdString(), *certificates, BRIEFLOTSE_SOURCE_DIR));
    TPracticeServer practice;
    ASSERT_TRUE(practice.Start()) << practice.Problem();

    std::string pins;
    auto pin = [&](const std::string& host, int port, int to) {
        pins += (pins.empty() ? "" : ",") + host + ":" + std::to_string(port) + ":127.0.0.1@" + std::to_string(to);
    };
    for (const char* host : { "autoconfig.beispiel.test", "beispiel.test", "ispdb.test", "autoconfig.eu.anbieter.test",
             "autoconfig.anbieter.test", "autoconfig.klartext.test", "klartext.test" })
        pin(host, 443, web.httpsPort());
    for (const char* host :
        { "autoconfig.beispiel.test", "beispiel.test", "autoconfig.klartext.test", "klartext.test" })
        pin(host, 80, web.httpPort());
    pin("pop3.leer.test", 995, practice.TlsPort());
    pin("pop3.leer.test", 110, practice.Port());
    // Set here, over the caller's own: a second entry in the program's environment would not count.
    ::setenv("BRIEFLOTSE_RESOLVE", pins.c_str(), 1);
    ::setenv("BRIEFLOTSE_ISPDB", "https://ispdb.test/v1.1/", 1);
    ::setenv("BRIEFLOTSE_NAMESERVER", ("127.0.0.1:" + std::to_string(dns.port())).c_str(), 1);
    certificates->trustInThisProcess();

    auto find = [&](const std::string& query, int exitCode) {
        const TToolResult run = RunTool({ BRIEFLOTSE_PROGRAM, "--find", query, "--json" }, 30000);
        EXPECT_EQ(run.Status, exitCode) << query << run.Output << run.Errors;
        QJsonParseError parseError;
        const QJsonObject json = QJsonDocument::fromJson(QByteArray::fromStdString(run.Output), &parseError).object();
        EXPECT_EQ(parseError.error, QJsonParseError::NoError) << run.Output;
        return json;
    };
    auto row = [](const QJsonObject& json, const char* source, const char* detail) {
        for (const auto& item : json["sources"].toArray())
            if (item.toObject()["source"].toString() == source
                && item.toObject()["detail"].toString().contains(QString::fromUtf8(detail)))
                return item.toObject();
        return QJsonObject();
    };
    auto candidate = [](const QJsonObject& json, const char* host, int port) {
        for (const auto& item : json["candidates"].toArray())
            if (item.toObject()["host"].toString() == host && item.toObject()["port"].toInt() == port)
                return item.toObject();
        return QJsonObject();
    };

    const QJsonObject beispiel = find("anna@beispiel.test", 0);
    const QJsonObject pop = candidate(beispiel, "pop.beispiel.test", 995);
    EXPECT_EQ(pop["socket"].toString(), "SSL");
    EXPECT_EQ(pop["username"].toString(), "anna@beispiel.test");
    EXPECT_EQ(pop["sources"].toArray(), (QJsonArray { "autoconfig", "ispdb" }));
    EXPECT_EQ(pop["provider"].toString(), "https://anbieter.test/pop-einschalten");
    EXPECT_EQ(candidate(beispiel, "pop.beispiel.test", 110)["socket"].toString(), "STARTTLS");
    EXPECT_EQ(candidate(beispiel, "pop.beispiel.test", 110)["username"].toString(), "anna");
    EXPECT_EQ(candidate(beispiel, "pop-srv.anbieter.test", 995)["sources"].toArray(), QJsonArray { "srv" });
    EXPECT_TRUE(Named(candidate(beispiel, "pop-srv.anbieter.test", 995)["notes"].toArray(), "DNSSEC"));
    EXPECT_EQ(candidate(beispiel, "pop.anbieter.test", 995)["sources"].toArray(), QJsonArray { "mx-autoconfig" });
    EXPECT_EQ(candidate(beispiel, "pop3.anbieter.test", 995)["sources"].toArray(), QJsonArray { "mx-ispdb" });
    EXPECT_EQ(beispiel["candidates"].toArray().size(), 5);
    for (const char* reason : { "unzulässige Zeichen", "70000", "%EMAILNAME%" })
        EXPECT_EQ(row(beispiel, "autoconfig", reason)["result"].toString(), "error") << reason;
    EXPECT_EQ(row(beispiel, "autoconfig-wellknown", "HTTPS auf unverschlüsseltes")["result"], "error");
    EXPECT_EQ(row(beispiel, "autoconfig-http", "Nicht verwendet")["result"], "none");
    EXPECT_EQ(row(beispiel, "guess", "Nicht nötig")["result"], "none");
    EXPECT_EQ(beispiel["mx"].toArray().size(), 2);
    // All at once: the search is as slow as its slowest chain of questions, plus little.
    int64_t slowest = 0;
    for (const auto& item : beispiel["sources"].toArray())
        slowest = std::max<int64_t>(slowest, item.toObject()["ms"].toInt());
    const int64_t mx = row(beispiel, "mx-autoconfig", "Niedrigster MX")["ms"].toInt();
    EXPECT_LE(beispiel["ms"].toInt(), slowest + mx + 500) << beispiel["ms"].toInt();

    const QJsonObject klartext = find("anna@klartext.test", 0);
    EXPECT_EQ(row(klartext, "autoconfig", "größer als 1 MB")["result"], "error");
    EXPECT_EQ(row(klartext, "autoconfig-wellknown", "Mehr als 5 Weiterleitungen")["result"], "error");
    EXPECT_EQ(row(klartext, "ispdb", "Kein gültiges XML")["result"], "error");
    const QJsonObject plain = candidate(klartext, "pop.beispiel.test", 995);
    EXPECT_EQ(plain["sources"].toArray(), QJsonArray { "autoconfig-http" });
    EXPECT_TRUE(Named(plain["notes"].toArray(), "unverschlüsselt abgerufen: könnte unterwegs verfälscht worden sein"));

    const QJsonObject leer = find("leer.test", 0);
    const QJsonObject probed = candidate(leer, "pop3.leer.test", 995);
    EXPECT_EQ(probed["sources"].toArray(), QJsonArray { "guess" });
    EXPECT_EQ(probed["socket"].toString(), "SSL");
    EXPECT_EQ(row(leer, "guess", "TLS ab dem ersten Byte")["result"], "found");

    const QJsonObject nothing = find("anna@nichts.test", 1);
    EXPECT_TRUE(nothing["candidates"].toArray().isEmpty());
    for (const auto& arguments : std::vector<std::vector<std::string>> { { "--find", "a b" },
             { "--find", "x.test", "--check", "x.test" }, { "--find" }, { "--find", "x.test", "srv" } }) {
        std::vector<std::string> command = { BRIEFLOTSE_PROGRAM };
        command.insert(command.end(), arguments.begin(), arguments.end());
        EXPECT_EQ(RunTool(command, 10000).Status, 64) << arguments.back();
    }
}

} // namespace
