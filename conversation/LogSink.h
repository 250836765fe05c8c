#pragma once

// Where the conversation writes the protocol log. Each entry says what it is,
// so the log decides colour and weight by its kind and never guesses from
// flags or from the text. No Qt: the protocol log implements it, tests record.

#include <cstddef>
#include <string>

enum class TLogEntryKind {
    Command, // a line as sent, led by CR LF, a secret in it already masked
    Answer, // a line inside an AUTH exchange, masked the same way
    Status, // what a server sent outside a body: status lines, continuations, unasked lines
    Body, // lines of a multi-line reply's body
    Note, // a line of the program's own (German, UTF-8), not protocol text
    Tls, // a note on the connection's encryption: handshake, certificate, its check
};

class TLogSink {
public:
    virtual ~TLogSink() = default;

    virtual void Append(TLogEntryKind Kind, const std::string& Text) = 0;
    virtual bool HasLines() const = 0;
    // False once the log holds as much as it may: server text is then no
    // longer shown (the conversation counts it and says so in a note).
    virtual bool HasRoom() const { return true; }
    virtual void Clear() = 0;
    // Lines in the log so far; the next Append starts line LineCount().
    virtual size_t LineCount() const { return 0; }
    // A connection begins: the log sets it apart from the one before (and,
    // coloured by connection, takes the next colour).
    virtual void StartConnection() = 0;
};
