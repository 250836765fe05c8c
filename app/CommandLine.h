#pragma once

// The program's command line: "--help", "--version" and an optional mail
// server ("pop3s://mail.example.org", "mail.example.org:110") to connect to
// once the main window is shown, "--practice-server" with its options, or
// "--check HOST[:PORT]" with its options, "--explain FILE [--json]" or
// "--find ADDRESS-OR-DOMAIN [--json]" or "--script FILE [SERVER]".
// "--practice-server --replay FILE" serves a saved transcript back. Parsed
// before any application object exists, so that help, version, the practice
// server and the check need no display.

#include <QString>
#include <QStringList>

struct TCommandLine {
    bool Done = false; // help, version or an error was printed: the program ends
    int ExitCode = 0; // its exit code then
    QString Server; // the server to connect to at start, empty for none
    // --practice-server: only the practice server runs, in the terminal.
    bool PracticeServer = false;
    int PracticePort = 0; // --port, 0 for a free one
    int PracticeTlsPort = 0; // --tls-port, 0 for a free one
    QString PracticeFault; // --fault, empty for none
    QString ReplayFile; // --replay: a transcript served back instead of the mailbox
    bool ReplayTiming = false; // --replay-timing: with the recorded pauses
    // --check: the server check alone, in the terminal.
    bool Check = false;
    QString CheckTarget; // HOST[:PORT], already found sound
    QString CheckUser; // --user
    bool CheckPasswordStdin = false; // --password-stdin
    bool CheckJson = false; // --json
    QString CheckHtml; // --html FILE
    QString CheckPdf; // --pdf FILE
    // --explain: a saved message decomposed in the terminal.
    bool Explain = false;
    QString ExplainFile;
    bool ExplainJson = false; // --json
    // --find: the address finder alone, in the terminal.
    bool Find = false;
    QString FindQuery; // an address or a domain, already found sound
    bool FindJson = false; // --json
    // --script: a script of POP3 lines run in the terminal.
    bool Script = false;
    QString ScriptFile;
    QString ScriptServer; // connected to before the first line; empty for none
    bool ScriptExplain = false; // --explain (without a file): guidance after each reply
    bool NoColor = false; // --no-color
    QString ScriptTranscript; // --transcript FILE, empty for none
};

// Exit code for a wrong use of --check, --explain, --find, --script and their options (BSD's EX_USAGE).
constexpr int kCheckUsageExitCode = 64;

// The program's version, from the project's version.
QString BrieflotseVersion();

// Parses Arguments (the program name first). Help and version go to standard
// output, a fault to standard error; each of them sets Done.
TCommandLine ParseCommandLine(const QStringList& Arguments);
