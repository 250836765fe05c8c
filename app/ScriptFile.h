#pragma once

// The script language of "brieflotse --script": one command a line, read and
// checked whole before anything connects, so that a typing error never
// leaves a conversation half done. A pure rule over the file's text; Qt only
// to learn whether a regular expression compiles.

#include <string>
#include <vector>

enum class TScriptCommand { Connect, Send, Expect, Stls, Auth, Wait, Quit };

enum class TScriptExpectation { Positive, Negative, Pattern };

struct TScriptLine {
    int Number = 0; // in the file, from 1
    TScriptCommand Command = TScriptCommand::Quit;
    // connect: the server; send: the line as typed; auth: the name.
    std::string Text;
    // auth: "USER", "APOP" or a SASL mechanism's name, in capitals.
    std::string Mechanism;
    TScriptExpectation Expectation = TScriptExpectation::Positive;
    std::string Pattern; // expect /Pattern/
    bool IgnoreCase = false; // expect /.../i
    double Seconds = 0; // wait
};

struct TScript {
    std::vector<TScriptLine> Lines; // without comments and blank lines
    // Empty when the script is sound; otherwise "Zeile N: ..." (German).
    std::string Problem;
    // The script connects itself; a server on the command line is then too many.
    bool Connects() const;
    // Has an auth line: a password or token is needed before the start.
    bool LogsIn() const;
};

// Longest pause of a wait line.
constexpr double kLongestScriptWait = 3600;

// HasServer: a server on the command line connects before the first line.
TScript ParseScript(const std::string& Text, bool HasServer);

// The script line as an error message quotes it (expect and its argument).
std::string DescribeExpectation(const TScriptLine& Line);
