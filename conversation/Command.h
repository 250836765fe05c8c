#pragma once

// A command line read once, when it is sent: what kind of command it is, its
// number, where a secret in it starts and whether its answer has a body. The
// conversation, the guidance and the log decide by these fields and never
// scan the line again. Plain functions over bytes, no Qt.

#include <cstddef>
#include <cstdint>
#include <string>

enum class TCommandKind {
    Empty, // an empty line (a bare CR LF goes out)
    User,
    Pass,
    Apop,
    Auth,
    Stls,
    Capa,
    Quit,
    Stat,
    List,
    Uidl,
    Retr,
    Top,
    Dele,
    Noop,
    Rset,
    Utf8,
    Other, // any other word a user may type, known to the server or not
};

struct TCommand {
    TCommandKind Kind = TCommandKind::Empty;
    std::string Word; // the first word (up to the first blank), ASCII upper-cased
    int32_t Number = 0; // the second word as a whole number; 0 when missing or no number
    size_t SecretStart = std::string::npos; // PASS's password, APOP's digest, AUTH's initial response
    bool MultiLine = false; // a positive answer carries a body up to a "." line
    std::string Mechanism; // AUTH's second word, ASCII upper-cased; "" asks for the list
    // USER, PASS, AUTH PLAIN and AUTH LOGIN hand the password over as it is or in Base64.
    bool PasswordInClear = false;

    bool CarriesSecret() const { return SecretStart != std::string::npos; }
};

// Servers split a command at its first blank, so "STLS " is STLS and "QUITX"
// is no QUIT. A line end at the end of Line is not part of any word.
TCommand ParseCommand(const std::string& Line);
