#include "app/CommandLine.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QRegularExpression>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <utility>

#include "app/ServerAddress.h"
#include "check/ServerCheck.h"
#include "discovery/FinderTypes.h"
#include "practice/PracticeFault.h"

QString BrieflotseVersion()
{
    return QStringLiteral(BRIEFLOTSE_VERSION);
}

namespace {

void Print(std::FILE* Stream, const QString& Text)
{
    const QByteArray Bytes = Text.toLocal8Bit();
    std::fwrite(Bytes.constData(), 1, static_cast<size_t>(Bytes.size()), Stream);
    std::fflush(Stream);
}

} // namespace

TCommandLine ParseCommandLine(const QStringList& Given)
{
    // With --script, --explain is a switch (guidance after each reply), not
    // the option that takes a message file.
    QStringList Arguments = Given;
    const bool ScriptMode = std::any_of(Arguments.begin(), Arguments.end(), [](const QString& Argument) {
        return Argument == QLatin1String("--script") || Argument.startsWith(QLatin1String("--script="));
    });
    if (ScriptMode)
        Arguments.replaceInStrings(
            QRegularExpression(QStringLiteral("^--explain$")), QStringLiteral("--script-explain"));

    QCommandLineParser Parser;
    Parser.setApplicationDescription(QStringLiteral(
        "Brieflotse - eine POP3-Werkbank: Kommandos an einen Mail-Server senden und jede Antwort im Protokoll lesen."));
    const QCommandLineOption Help(
        { QStringLiteral("h"), QStringLiteral("help") }, QStringLiteral("Zeigt diese Hilfe an."));
    const QCommandLineOption Version(
        { QStringLiteral("v"), QStringLiteral("version") }, QStringLiteral("Zeigt die Versionsnummer an."));
    const QCommandLineOption Practice(QStringLiteral("practice-server"),
        QStringLiteral("Startet nur den Übungs-Server (ohne Fenster) und zeigt Adresse, Name und Paßwort an; "
                       "läuft bis Strg+C."));
    const QCommandLineOption Port(QStringLiteral("port"),
        QStringLiteral("Port des Übungs-Servers (ohne Angabe ein freier Port)."), QStringLiteral("N"));
    const QCommandLineOption TlsPort(QStringLiteral("tls-port"),
        QStringLiteral("Port des Übungs-Servers für TLS ab dem ersten Byte (ohne Angabe ein freier Port)."),
        QStringLiteral("M"));
    const QCommandLineOption Fault(QStringLiteral("fault"),
        QStringLiteral("Fehlerbild des Übungs-Servers: slow, login-delay, in-use, drop-retr, broken-multiline "
                       "oder no-apop."),
        QStringLiteral("art"));
    const QCommandLineOption Replay(QStringLiteral("replay"),
        QStringLiteral("Mit --practice-server: spielt einen gespeicherten Mitschnitt ab (Verbindung 1 für den ersten "
                       "Client, 2 für den nächsten ...); ein abweichendes Kommando bekommt \"-ERR\". Ende mit 2, wenn "
                       "die Datei nicht abgespielt werden kann, 64 bei falschem Aufruf."),
        QStringLiteral("datei"));
    const QCommandLineOption ReplayTiming(QStringLiteral("replay-timing"),
        QStringLiteral("Mit --replay: hält die aufgezeichneten Pausen zwischen den Antwortteilen ein."));
    const QCommandLineOption Check(QStringLiteral("check"),
        QStringLiteral("Prüft einen POP3-Server (ohne Fenster): Adressen, Ports 995 und 110 oder den angegebenen, "
                       "TLS, Zertifikat, Fähigkeiten, Klartext-Anmeldung, STLS-Einschleusung. Ende mit 0 (alles gut), "
                       "1 (Warnungen), 2 (Fehler oder nicht erreichbar), 64 (falscher Aufruf)."),
        QStringLiteral("host[:port]"));
    const QCommandLineOption CheckUser(QStringLiteral("user"),
        QStringLiteral("Mit --check: Name für eine Probe-Anmeldung (nur verschlüsselt, nichts wird gelöscht)."),
        QStringLiteral("name"));
    const QCommandLineOption CheckPassword(QStringLiteral("password-stdin"),
        QStringLiteral("Mit --check und --user: liest das Paßwort aus der ersten Zeile der Standardeingabe."));
    const QCommandLineOption Explain(QStringLiteral("explain"),
        QStringLiteral("Zerlegt eine gespeicherte Nachricht (ohne Fenster): Kopffelder mit Erklärung, Weg "
                       "(Received), Prüfungen (Authentication-Results, DKIM) und MIME-Aufbau. Ende mit 0, 1 (keine "
                       "Nachricht), 64 (falscher Aufruf). Mit --script ohne Datei: die Erklärung nach jeder Antwort."),
        QStringLiteral("datei"));
    const QCommandLineOption Script(QStringLiteral("script"),
        QStringLiteral("Führt ein Skript aus POP3-Zeilen und Erwartungen aus (ohne Fenster), mit dem Server aus dem "
                       "Skript (connect) oder dem angegebenen. Paßwort aus BRIEFLOTSE_PASSWORD oder der ersten Zeile "
                       "der Standardeingabe. Ende mit 0 (alle Erwartungen erfüllt), 1 (eine nicht erfüllt), 2 "
                       "(Verbindung gescheitert oder verloren), 64 (falsches Skript oder falscher Aufruf)."),
        QStringLiteral("datei"));
    const QCommandLineOption NoColor(
        QStringLiteral("no-color"), QStringLiteral("Mit --script: die Ausgabe ohne Farben, auch im Terminal."));
    const QCommandLineOption Transcript(QStringLiteral("transcript"),
        QStringLiteral("Mit --script: speichert den Mitschnitt des Laufs (JSON Lines, Paßwörter verborgen) in der "
                       "Datei."),
        QStringLiteral("datei"));
    QCommandLineOption ScriptExplain(QStringLiteral("script-explain"));
    ScriptExplain.setFlags(QCommandLineOption::HiddenFromHelp);
    const QCommandLineOption Find(QStringLiteral("find"),
        QStringLiteral("Sucht die POP3-Server einer E-Mail-Adresse oder Domain (ohne Fenster): SRV-Einträge, "
                       "Autoconfig-Dateien, Anbieter-Datenbank, Anbieter hinter dem MX, Ausprobieren. Ende mit 0 "
                       "(gefunden), 1 (keiner gefunden), 2 (Fehler), 64 (falscher Aufruf)."),
        QStringLiteral("adresse|domain"));
    const QCommandLineOption CheckJson(QStringLiteral("json"),
        QStringLiteral("Mit --check, --explain oder --find: der Bericht als JSON statt als Text."));
    const QCommandLineOption CheckHtml(QStringLiteral("html"),
        QStringLiteral("Mit --check: schreibt den Bericht zusätzlich als HTML-Datei."), QStringLiteral("datei"));
    const QCommandLineOption CheckPdf(QStringLiteral("pdf"),
        QStringLiteral("Mit --check: schreibt den Bericht zusätzlich als PDF-Datei."), QStringLiteral("datei"));
    Parser.addOption(Help);
    Parser.addOption(Version);
    Parser.addOption(Practice);
    Parser.addOption(Port);
    Parser.addOption(TlsPort);
    Parser.addOption(Fault);
    Parser.addOption(Replay);
    Parser.addOption(ReplayTiming);
    Parser.addOption(Check);
    Parser.addOption(Find);
    Parser.addOption(CheckUser);
    Parser.addOption(CheckPassword);
    Parser.addOption(Explain);
    Parser.addOption(Script);
    Parser.addOption(NoColor);
    Parser.addOption(Transcript);
    Parser.addOption(ScriptExplain);
    Parser.addOption(CheckJson);
    Parser.addOption(CheckHtml);
    Parser.addOption(CheckPdf);
    Parser.addPositionalArgument(QStringLiteral("server"),
        QStringLiteral("Mail-Server, mit dem nach dem Start verbunden wird, z. B. pop3s://mail.example.org oder "
                       "mail.example.org:110 (optional)."),
        QStringLiteral("[server]"));

    TCommandLine Result;
    const QString Name = QStringLiteral("brieflotse");
    if (!Parser.parse(Arguments)) {
        Print(stderr, QStringLiteral("%1: %2\nMehr mit \"%1 --help\".\n").arg(Name, Parser.errorText()));
        Result.Done = true;
        const bool Terminal = std::any_of(Arguments.begin(), Arguments.end(), [](const QString& Argument) {
            return Argument.startsWith(QStringLiteral("--check")) || Argument.startsWith(QStringLiteral("--explain"))
                || Argument.startsWith(QStringLiteral("--find")) || Argument.startsWith(QStringLiteral("--script"))
                || Argument == QLatin1String("--no-color") || Argument.startsWith(QStringLiteral("--transcript"));
        });
        Result.ExitCode = Terminal ? kCheckUsageExitCode : 2;
        return Result;
    }
    if (Parser.isSet(Help)) {
        // The help text names the running program: without an application
        // object yet (no display needed), a plain one stands in for it.
        int Count = 1;
        char First[] = "brieflotse";
        char* Values[] = { First, nullptr };
        std::optional<QCoreApplication> Plain;
        if (!QCoreApplication::instance())
            Plain.emplace(Count, Values);
        // Qt's own headings are English without a translator; the program speaks German.
        QString Text = Parser.helpText();
        Text.replace(QStringLiteral("Usage: "), QStringLiteral("Aufruf: "));
        Text.replace(QStringLiteral("[options]"), QStringLiteral("[Optionen]"));
        Text.replace(QStringLiteral("\nOptions:\n"), QStringLiteral("\nOptionen:\n"));
        Text.replace(QStringLiteral("\nArguments:\n"), QStringLiteral("\nArgumente:\n"));
        Text.replace(QCoreApplication::arguments().constFirst(), Name);
        Print(stdout, Text);
        Result.Done = true;
        return Result;
    }
    if (Parser.isSet(Version)) {
        Print(stdout, QStringLiteral("Brieflotse %1\n").arg(BrieflotseVersion()));
        Result.Done = true;
        return Result;
    }
    auto Refuse = [&](const QString& Problem) {
        Print(stderr, QStringLiteral("%1: %2\nMehr mit \"%1 --help\".\n").arg(Name, Problem));
        Result.Done = true;
        Result.ExitCode = 2;
        return Result;
    };
    if (Parser.isSet(Script) || Parser.isSet(NoColor) || Parser.isSet(ScriptExplain) || Parser.isSet(Transcript)) {
        auto Usage = [&](const QString& Problem) {
            Refuse(Problem);
            Result.ExitCode = kCheckUsageExitCode;
            return Result;
        };
        if (!Parser.isSet(Script))
            return Usage(QStringLiteral("--no-color und --transcript gelten nur mit --script."));
        const QStringList Rest = Parser.positionalArguments();
        if (Parser.isSet(Check) || Parser.isSet(CheckUser) || Parser.isSet(CheckPassword) || Parser.isSet(CheckHtml)
            || Parser.isSet(CheckPdf) || Parser.isSet(CheckJson) || Parser.isSet(Practice) || Parser.isSet(Port)
            || Parser.isSet(TlsPort) || Parser.isSet(Fault) || Parser.isSet(Find) || Parser.isSet(Explain)
            || Parser.values(Script).size() != 1 || Parser.value(Script).isEmpty() || Rest.size() > 1
            || Parser.values(Transcript).size() > 1 || (Parser.isSet(Transcript) && Parser.value(Transcript).isEmpty()))
            return Usage(QStringLiteral("--script führt genau eine Datei aus, wahlweise mit einem Server, und nimmt "
                                        "nur --explain, --no-color und einmal --transcript dazu."));
        if (!Rest.isEmpty() && !ParseServerAddress(Rest.constFirst().trimmed().toStdString()).Valid)
            return Usage(
                QStringLiteral("\"%1\" ist keine Adresse eines Mail-Servers.").arg(Rest.constFirst().left(80)));
        Result.Script = true;
        Result.ScriptFile = Parser.value(Script);
        Result.ScriptServer = Rest.isEmpty() ? QString() : Rest.constFirst().trimmed();
        Result.ScriptExplain = Parser.isSet(ScriptExplain);
        Result.NoColor = Parser.isSet(NoColor);
        Result.ScriptTranscript = Parser.value(Transcript);
        return Result;
    }
    if (Parser.isSet(Explain)) {
        if (Parser.isSet(Check) || Parser.isSet(CheckUser) || Parser.isSet(CheckPassword) || Parser.isSet(CheckHtml)
            || Parser.isSet(CheckPdf) || Parser.isSet(Practice) || Parser.isSet(Replay) || Parser.isSet(ReplayTiming)
            || Parser.isSet(Port) || Parser.isSet(TlsPort) || Parser.isSet(Fault) || Parser.isSet(Find)
            || !Parser.positionalArguments().isEmpty() || Parser.values(Explain).size() != 1
            || Parser.value(Explain).isEmpty()) {
            Refuse(QStringLiteral("--explain zerlegt genau eine Datei und nimmt nur --json dazu."));
            Result.ExitCode = kCheckUsageExitCode;
            return Result;
        }
        Result.Explain = true;
        Result.ExplainFile = Parser.value(Explain);
        Result.ExplainJson = Parser.isSet(CheckJson);
        return Result;
    }
    if (Parser.isSet(Find)) {
        auto Usage = [&](const QString& Problem) {
            Refuse(Problem);
            Result.ExitCode = kCheckUsageExitCode;
            return Result;
        };
        if (Parser.isSet(Check) || Parser.isSet(CheckUser) || Parser.isSet(CheckPassword) || Parser.isSet(CheckHtml)
            || Parser.isSet(CheckPdf) || Parser.isSet(Practice) || Parser.isSet(Replay) || Parser.isSet(ReplayTiming)
            || Parser.isSet(Port) || Parser.isSet(TlsPort) || Parser.isSet(Fault)
            || !Parser.positionalArguments().isEmpty())
            return Usage(QStringLiteral("--find sucht für genau eine Adresse oder Domain und nimmt nur --json dazu."));
        TFinderQuery Query;
        std::string Problem;
        if (!ParseFinderQuery(Parser.value(Find).toStdString(), Query, Problem))
            return Usage(QStringLiteral("--find: ") + QString::fromStdString(Problem));
        Result.Find = true;
        Result.FindQuery = Parser.value(Find).trimmed();
        Result.FindJson = Parser.isSet(CheckJson);
        return Result;
    }
    const bool CheckOnly = Parser.isSet(CheckUser) || Parser.isSet(CheckPassword) || Parser.isSet(CheckJson)
        || Parser.isSet(CheckHtml) || Parser.isSet(CheckPdf);
    if (Parser.isSet(Check) || CheckOnly) {
        auto Usage = [&](const QString& Problem) {
            Refuse(Problem);
            Result.ExitCode = kCheckUsageExitCode;
            return Result;
        };
        if (!Parser.isSet(Check))
            return Usage(QStringLiteral("--user, --password-stdin, --html und --pdf gelten nur mit --check, --json mit "
                                        "--check, --explain oder --find."));
        if (Parser.isSet(Practice) || Parser.isSet(Replay) || Parser.isSet(ReplayTiming) || Parser.isSet(Port)
            || Parser.isSet(TlsPort) || Parser.isSet(Fault) || !Parser.positionalArguments().isEmpty())
            return Usage(QStringLiteral("--check prüft genau einen Server und läuft ohne Übungs-Server."));
        if (Parser.isSet(CheckPassword) != Parser.isSet(CheckUser))
            return Usage(QStringLiteral("--user und --password-stdin gehören zusammen (das Paßwort steht nie auf der "
                                        "Befehlszeile)."));
        if (!IsSafeCredential(Parser.value(CheckUser).toStdString()))
            return Usage(QStringLiteral("--user enthält Steuerzeichen."));
        TCheckOptions Options;
        std::string Problem;
        if (!ParseCheckTarget(Parser.value(Check).toStdString(), Options, Problem))
            return Usage(QString::fromStdString(Problem));
        Result.Check = true;
        Result.CheckTarget = Parser.value(Check).trimmed();
        Result.CheckUser = Parser.value(CheckUser);
        Result.CheckPasswordStdin = Parser.isSet(CheckPassword);
        Result.CheckJson = Parser.isSet(CheckJson);
        Result.CheckHtml = Parser.value(CheckHtml);
        Result.CheckPdf = Parser.value(CheckPdf);
        return Result;
    }
    if (Parser.isSet(Replay) || Parser.isSet(ReplayTiming)) {
        auto Usage = [&](const QString& Problem) {
            Refuse(Problem);
            Result.ExitCode = kCheckUsageExitCode;
            return Result;
        };
        if (!Parser.isSet(Practice))
            return Usage(QStringLiteral("--replay und --replay-timing gelten nur mit --practice-server."));
        if (!Parser.isSet(Replay))
            return Usage(QStringLiteral("--replay-timing gilt nur mit --replay."));
        if (Parser.values(Replay).size() != 1 || Parser.value(Replay).isEmpty())
            return Usage(QStringLiteral("--replay spielt genau eine Datei ab."));
        if (Parser.isSet(Fault))
            return Usage(QStringLiteral("--fault gilt nicht mit --replay: der Mitschnitt bestimmt jede Antwort."));
        Result.ReplayFile = Parser.value(Replay);
        Result.ReplayTiming = Parser.isSet(ReplayTiming);
    }
    const bool PracticeOnly = Parser.isSet(Port) || Parser.isSet(TlsPort) || Parser.isSet(Fault);
    if (PracticeOnly && !Parser.isSet(Practice))
        return Refuse(QStringLiteral("--port, --tls-port und --fault gelten nur mit --practice-server."));
    if (Parser.isSet(Practice)) {
        if (!Parser.positionalArguments().isEmpty())
            return Refuse(QStringLiteral("mit --practice-server wird kein Mail-Server angegeben."));
        for (const auto& [Option, Field] :
            { std::pair(&Port, &Result.PracticePort), std::pair(&TlsPort, &Result.PracticeTlsPort) }) {
            if (!Parser.isSet(*Option))
                continue;
            bool Number = false;
            *Field = Parser.value(*Option).toInt(&Number);
            if (!Number || *Field < 1 || *Field > 65535)
                return Refuse(
                    QStringLiteral("--%1 braucht eine Portnummer von 1 bis 65535.").arg(Option->names().constFirst()));
        }
        TPracticeFault Chosen = TPracticeFault::None;
        if (Parser.isSet(Fault) && !ParsePracticeFault(Parser.value(Fault).toStdString(), Chosen))
            return Refuse(QStringLiteral("unbekanntes Fehlerbild \"%1\" (slow, login-delay, in-use, drop-retr, "
                                         "broken-multiline, no-apop).")
                              .arg(Parser.value(Fault)));
        Result.PracticeServer = true;
        Result.PracticeFault = Parser.value(Fault);
        return Result;
    }
    const QStringList Rest = Parser.positionalArguments();
    if (Rest.size() > 1) {
        Print(stderr,
            QStringLiteral("%1: nur ein Mail-Server kann angegeben werden.\nMehr mit \"%1 --help\".\n").arg(Name));
        Result.Done = true;
        Result.ExitCode = 2;
        return Result;
    }
    if (!Rest.isEmpty())
        Result.Server = Rest.constFirst().trimmed();
    return Result;
}
