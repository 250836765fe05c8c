// A command line read once.
#include "conversation/Command.h"

#include "conversation/ReplyRules.h"

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

} // namespace

TCommand ParseCommand(const std::string& Line)
{
    // The line end a sent line carries is no part of its words.
    const std::string Text
        = Line.size() >= 2 && Line.compare(Line.size() - 2, 2, "\r\n") == 0 ? Line.substr(0, Line.size() - 2) : Line;
    TCommand Command;
    const TCommandParts Parts = SplitCommand(Text);
    Command.Word = Parts.Word;
    Command.Number = Parts.Number;
    Command.Kind = KindOf(Command.Word);
    switch (Command.Kind) {
    case TCommandKind::Pass:
        if (Text.size() > 5)
            Command.SecretStart = 5;
        break;
    case TCommandKind::Apop:
    case TCommandKind::Auth: {
        // "APOP name digest", "AUTH mechanism response": the third word.
        const size_t Second = NextWord(Text, 0);
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
