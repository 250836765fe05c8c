#include "app/ScriptFile.h"

#include <QRegularExpression>
#include <QString>

#include <algorithm>
#include <cstdlib>

#include "app/ServerAddress.h"
#include "auth/SaslClient.h"

namespace {

bool IsBlank(char C)
{
    return C == ' ' || C == '\t';
}

std::string Trimmed(const std::string& Text)
{
    size_t Start = 0;
    size_t End = Text.size();
    while (Start < End && IsBlank(Text[Start]))
        ++Start;
    while (End > Start && IsBlank(Text[End - 1]))
        --End;
    return Text.substr(Start, End - Start);
}

std::vector<std::string> Words(const std::string& Text)
{
    std::vector<std::string> Result;
    size_t At = 0;
    while (At < Text.size()) {
        while (At < Text.size() && IsBlank(Text[At]))
            ++At;
        const size_t Start = At;
        while (At < Text.size() && !IsBlank(Text[At]))
            ++At;
        if (At > Start)
            Result.push_back(Text.substr(Start, At - Start));
    }
    return Result;
}

std::string Lower(std::string Text)
{
    std::transform(Text.begin(), Text.end(), Text.begin(),
        [](char C) { return C >= 'A' && C <= 'Z' ? static_cast<char>(C - 'A' + 'a') : C; });
    return Text;
}

std::string Upper(std::string Text)
{
    std::transform(Text.begin(), Text.end(), Text.begin(),
        [](char C) { return C >= 'a' && C <= 'z' ? static_cast<char>(C - 'a' + 'A') : C; });
    return Text;
}

// A line goes to the server as typed: a control character in it would end
// it early or smuggle a second command in.
bool HasControl(const std::string& Text)
{
    return std::any_of(Text.begin(), Text.end(), [](char C) {
        const auto Byte = static_cast<unsigned char>(C);
        return (Byte < 32 && C != '\t') || Byte == 127;
    });
}

bool ParseSeconds(const std::string& Word, double& Seconds)
{
    if (Word.empty() || Word.find_first_not_of("0123456789.") != std::string::npos
        || std::count(Word.begin(), Word.end(), '.') > 1 || Word.front() == '.' || Word.back() == '.')
        return false;
    Seconds = std::strtod(Word.c_str(), nullptr);
    return Seconds <= kLongestScriptWait;
}

// "/REGEX/" or "/REGEX/i"; Problem is set when it is no such thing or does not compile.
bool ParsePattern(const std::string& Argument, TScriptLine& Line, std::string& Problem)
{
    const size_t Last = Argument.rfind('/');
    if (Argument.size() < 2 || Argument.front() != '/' || Last == 0) {
        Problem = "expect erwartet +OK, -ERR oder /Ausdruck/.";
        return false;
    }
    const std::string Flags = Argument.substr(Last + 1);
    if (!Flags.empty() && Flags != "i") {
        Problem = "hinter /Ausdruck/ ist nur i (Groß- und Kleinschreibung gleich) erlaubt, nicht \"" + Flags + "\".";
        return false;
    }
    Line.Pattern = Argument.substr(1, Last - 1);
    Line.IgnoreCase = Flags == "i";
    const QRegularExpression Expression(QString::fromStdString(Line.Pattern));
    if (!Expression.isValid()) {
        Problem = "der Ausdruck übersetzt sich nicht: " + Expression.errorString().toStdString() + " (an Stelle "
            + std::to_string(Expression.patternErrorOffset() + 1) + ").";
        return false;
    }
    return true;
}

bool IsAuthMechanism(const std::string& Name)
{
    TSaslMechanism Mechanism;
    return Name == "USER" || Name == "APOP" || ParseSaslMechanism(Name, Mechanism);
}

// One line, already known to be no comment and not blank; Problem without "Zeile N: ".
bool ParseLine(const std::string& Text, TScriptLine& Line, std::string& Problem)
{
    const std::vector<std::string> Parts = Words(Text);
    const std::string Word = Lower(Parts.front());
    const size_t Arguments = Parts.size() - 1;
    auto Count = [&](size_t Wanted, const char* Usage) {
        if (Arguments == Wanted)
            return true;
        Problem = Word + (Arguments < Wanted ? " braucht " : " hat zu viele Argumente; richtig ist ") + Usage + ".";
        return false;
    };
    // Everything after the command word and its blank.
    const size_t WordEnd = Text.find_first_of(" \t");
    const std::string Rest = WordEnd == std::string::npos ? std::string() : Text.substr(WordEnd + 1);
    if (Word == "connect") {
        Line.Command = TScriptCommand::Connect;
        if (!Count(1, "einen Server: connect SERVER"))
            return false;
        Line.Text = Parts[1];
        if (!ParseServerAddress(Line.Text).Valid) {
            Problem = "\"" + Line.Text + "\" ist keine Adresse eines Mail-Servers.";
            return false;
        }
        return true;
    }
    if (Word == "send") {
        Line.Command = TScriptCommand::Send;
        Line.Text = Rest.substr(std::min(Rest.size(), Rest.find_first_not_of(" \t")));
        if (Trimmed(Rest).empty()) {
            Problem = "send braucht die Zeile, die gesendet wird: send LINE.";
            return false;
        }
        if (HasControl(Rest)) {
            Problem = "die Zeile hinter send enthält ein Steuerzeichen.";
            return false;
        }
        return true;
    }
    if (Word == "expect") {
        Line.Command = TScriptCommand::Expect;
        const std::string Argument = Trimmed(Rest);
        if (Argument.empty()) {
            Problem = "expect braucht +OK, -ERR oder /Ausdruck/.";
            return false;
        }
        if (Argument == "+OK" || Argument == "-ERR") {
            Line.Expectation = Argument == "+OK" ? TScriptExpectation::Positive : TScriptExpectation::Negative;
            return true;
        }
        Line.Expectation = TScriptExpectation::Pattern;
        return ParsePattern(Argument, Line, Problem);
    }
    if (Word == "auth") {
        Line.Command = TScriptCommand::Auth;
        if (!Count(2, "Verfahren und Namen: auth VERFAHREN NAME"))
            return false;
        Line.Mechanism = Upper(Parts[1]);
        Line.Text = Parts[2];
        if (!IsAuthMechanism(Line.Mechanism)) {
            Problem = "unbekanntes Verfahren \"" + Parts[1]
                + "\" (USER, APOP, PLAIN, LOGIN, CRAM-MD5, SCRAM-SHA-256, XOAUTH2, OAUTHBEARER).";
            return false;
        }
        if (HasControl(Line.Text)) {
            Problem = "der Name hinter auth enthält ein Steuerzeichen.";
            return false;
        }
        return true;
    }
    if (Word == "wait") {
        Line.Command = TScriptCommand::Wait;
        if (!Count(1, "die Sekunden: wait SEKUNDEN"))
            return false;
        if (!ParseSeconds(Parts[1], Line.Seconds)) {
            Problem = "\"" + Parts[1] + "\" ist keine Zahl von Sekunden von 0 bis 3600 (etwa 2 oder 0.5).";
            return false;
        }
        return true;
    }
    if (Word == "stls" || Word == "quit") {
        Line.Command = Word == "stls" ? TScriptCommand::Stls : TScriptCommand::Quit;
        return Count(0, Word.c_str());
    }
    Problem = "unbekanntes Kommando \"" + Parts.front() + "\" (connect, send, expect, stls, auth, wait, quit).";
    return false;
}

} // namespace

bool TScript::Connects() const
{
    return std::any_of(
        Lines.begin(), Lines.end(), [](const TScriptLine& Line) { return Line.Command == TScriptCommand::Connect; });
}

bool TScript::LogsIn() const
{
    return std::any_of(
        Lines.begin(), Lines.end(), [](const TScriptLine& Line) { return Line.Command == TScriptCommand::Auth; });
}

TScript ParseScript(const std::string& Text, bool HasServer)
{
    TScript Script;
    bool Connected = HasServer;
    size_t Start = 0;
    for (int Number = 1; Start < Text.size() || Number == 1; ++Number) {
        size_t End = Text.find('\n', Start);
        if (End == std::string::npos)
            End = Text.size();
        std::string Raw = Text.substr(Start, End - Start);
        Start = End + 1;
        if (!Raw.empty() && Raw.back() == '\r')
            Raw.pop_back();
        const std::string Content = Trimmed(Raw);
        if (Content.empty() || Content.front() == '#')
            continue;
        TScriptLine Line;
        Line.Number = Number;
        std::string Problem;
        // Blanks at the end stay: "STLS " is another line than "STLS" to a server.
        const bool Sound = ParseLine(Raw.substr(Raw.find_first_not_of(" \t")), Line, Problem);
        if (Sound && Line.Command == TScriptCommand::Connect && HasServer)
            Problem = "connect im Skript und ein Server auf der Befehlszeile schließen einander aus.";
        else if (Sound && !Connected && Line.Command != TScriptCommand::Connect && Line.Command != TScriptCommand::Wait)
            Problem = "noch keine Verbindung; zuerst connect SERVER, oder den Server auf der Befehlszeile angeben.";
        if (!Problem.empty()) {
            Script.Lines.clear();
            Script.Problem = "Zeile " + std::to_string(Number) + ": " + Problem;
            return Script;
        }
        Connected = Connected || Line.Command == TScriptCommand::Connect;
        Script.Lines.push_back(Line);
    }
    return Script;
}

std::string DescribeExpectation(const TScriptLine& Line)
{
    switch (Line.Expectation) {
    case TScriptExpectation::Positive:
        return "expect +OK";
    case TScriptExpectation::Negative:
        return "expect -ERR";
    default:
        return "expect /" + Line.Pattern + "/" + (Line.IgnoreCase ? "i" : "");
    }
}
