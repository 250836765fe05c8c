#include "app/CommandLine.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>
#include <optional>

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

TCommandLine ParseCommandLine(const QStringList& Arguments)
{
    QCommandLineParser Parser;
    Parser.setApplicationDescription(QStringLiteral(
        "Brieflotse - eine POP3-Werkbank: Kommandos an einen Mail-Server senden und jede Antwort im Protokoll lesen."));
    const QCommandLineOption Help(
        { QStringLiteral("h"), QStringLiteral("help") }, QStringLiteral("Zeigt diese Hilfe an."));
    const QCommandLineOption Version(
        { QStringLiteral("v"), QStringLiteral("version") }, QStringLiteral("Zeigt die Versionsnummer an."));
    Parser.addOption(Help);
    Parser.addOption(Version);
    Parser.addPositionalArgument(QStringLiteral("server"),
        QStringLiteral("Mail-Server, mit dem nach dem Start verbunden wird, z. B. pop3s://mail.example.org oder "
                       "mail.example.org:110 (optional)."),
        QStringLiteral("[server]"));

    TCommandLine Result;
    const QString Name = QStringLiteral("brieflotse");
    if (!Parser.parse(Arguments)) {
        Print(stderr, QStringLiteral("%1: %2\nMehr mit \"%1 --help\".\n").arg(Name, Parser.errorText()));
        Result.Done = true;
        Result.ExitCode = 2;
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
