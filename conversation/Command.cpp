// A command line read once.
#include "conversation/Command.h"

#include "conversation/ReplyRules.h"
#include "text/AsciiText.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace {

struct TKnownWord {
    const char* Word;
    TCommandKind Kind;
};

const TKnownWord kKnownWords[] = {
    { "USER", TCommandKind::User },
    { "PASS", TCommandKind::Pass },
    { "APOP", TCommandKind::Apop },
    { "AUTH", TCommandKind::Auth },
    { "STLS", TCommandKind::Stls },
    { "CAPA", TCommandKind::Capa },
    { "QUIT", TCommandKind::Quit },
    { "STAT", TCommandKind::Stat },
    { "LIST", TCommandKind::List },
    { "UIDL", TCommandKind::Uidl },
    { "RETR", TCommandKind::Retr },
    { "TOP", TCommandKind::Top },
    { "DELE", TCommandKind::Dele },
    { "NOOP", TCommandKind::Noop },
    { "RSET", TCommandKind::Rset },
    { "UTF8", TCommandKind::Utf8 },
};

TCommandKind KindOf(const std::string& Word)
{
    if (Word.empty())
        return TCommandKind::Empty;
    for (const TKnownWord& Known : kKnownWords)
        if (Word == Known.Word)
            return Known.Kind;
    return TCommandKind::Other;
}

// The start of the word after the one that ends at From (npos when none).
size_t NextWord(const std::string& Line, size_t From)
{
    const size_t Blank = Line.find(' ', From);
    if (Blank == std::string::npos || Blank + 1 >= Line.size())
        return std::string::npos;
    return Blank + 1;
}

// Decimal integer with optional sign that fits 32 bits; anything else is 0.
int32_t IntegerOrZero(const std::string& Text)
{
    if (Text.empty())
        return 0;
    const size_t Start = (Text[0] == '+' || Text[0] == '-') ? 1 : 0;
    if (Start == Text.size())
        return 0;
    for (size_t I = Start; I < Text.size(); ++I)
        if (!IsAsciiDigit(Text[I]))
            return 0;
    errno = 0;
    const long long Value = std::strtoll(Text.c_str(), nullptr, 10);
    if (errno != 0 || Value < INT32_MIN || Value > INT32_MAX)
        return 0;
    return static_cast<int32_t>(Value);
}

// The word up to Line's first blank (from From), upper-cased.
std::string WordAt(const std::string& Line, size_t From)
{
    if (From == std::string::npos || From >= Line.size())
        return {};
    const size_t Blank = Line.find(' ', From);
    return AsciiUpper(Line.substr(From, Blank == std::string::npos ? std::string::npos : Blank - From));
}

} // namespace

TCommand ParseCommand(const std::string& Line)
{
    // The line end a sent line carries is no part of its words.
    const std::string Text
        = Line.size() >= 2 && Line.compare(Line.size() - 2, 2, "\r\n") == 0 ? Line.substr(0, Line.size() - 2) : Line;
    TCommand Command;
    Command.Word = WordAt(Text, 0);
    const size_t Second = NextWord(Text, 0);
    if (Second != std::string::npos) {
        const size_t End = Text.find(' ', Second);
        Command.Number = IntegerOrZero(Text.substr(Second, End == std::string::npos ? End : End - Second));
    }
    Command.Kind = KindOf(Command.Word);
    if (Command.Kind == TCommandKind::Auth)
        Command.Mechanism = WordAt(Text, Second);
    Command.PasswordInClear = Command.Kind == TCommandKind::User || Command.Kind == TCommandKind::Pass
        || Command.Mechanism == "PLAIN" || Command.Mechanism == "LOGIN";
    switch (Command.Kind) {
    case TCommandKind::Pass:
        if (Text.size() > 5)
            Command.SecretStart = 5;
        break;
    case TCommandKind::Apop:
    case TCommandKind::Auth: {
        // "APOP name digest", "AUTH mechanism response": the third word.
        Command.SecretStart = Second == std::string::npos ? Second : NextWord(Text, Second);
        break;
    }
    default:
        break;
    }
    switch (Command.Kind) {
    case TCommandKind::Capa:
        Command.MultiLine = true;
        break;
    case TCommandKind::Auth:
        // Without a mechanism Dovecot and others list theirs.
        Command.MultiLine = Text.find_first_not_of(' ', 4) == std::string::npos;
        break;
    case TCommandKind::List:
    case TCommandKind::Uidl:
        Command.MultiLine = Command.Number < 1;
        break;
    case TCommandKind::Retr:
    case TCommandKind::Top:
        Command.MultiLine = Command.Number > 0;
        break;
    default:
        break;
    }
    return Command;
}
