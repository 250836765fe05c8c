// Conversation rules: command words, reply status, log lines, body assembly.
#include "conversation/ReplyRules.h"

#include "conversation/Command.h"
#include "text/AsciiText.h"

namespace {

const std::string kLineEnd = "\r\n";
const std::string kTerminator = "\r\n.\r\n";
const std::string kBareTerminator = ".\r\n";

bool EndsWith(const std::string& Text, const std::string& Tail)
{
    return Text.size() >= Tail.size() && Text.compare(Text.size() - Tail.size(), Tail.size(), Tail) == 0;
}

} // namespace

bool IsPositiveReply(const std::string& Text)
{
    return AsciiUpper(Text.substr(0, 3)) == "+OK";
}

bool IsContinuationReply(const std::string& Text)
{
    return Text.size() >= 2 && Text[0] == '+' && (Text[1] == ' ' || Text.compare(1, 2, kLineEnd) == 0);
}

std::string ContinuationData(const std::string& Reply)
{
    if (!IsContinuationReply(Reply))
        return {};
    std::string Data = Reply[1] == ' ' ? Reply.substr(2) : std::string();
    return Data.substr(0, Data.find(kLineEnd));
}

std::string UpperCaseCommandWord(const std::string& Line)
{
    size_t Blank = Line.find(' ');
    size_t Count = (Blank == std::string::npos) ? Line.size() : Blank + 1;
    return AsciiUpper(Line.substr(0, Count)) + Line.substr(Count);
}

namespace {

const char* const kSecretMask = "Schhh... nicht verraten!";

} // namespace

std::string LogCopyOfCommand(const std::string& LineWithLineEnd, bool HidePasswords)
{
    return MaskedLogCopy(LineWithLineEnd, ParseCommand(LineWithLineEnd).SecretStart, HidePasswords);
}

std::string MaskedLogCopy(const std::string& LineWithLineEnd, size_t Start, bool HidePasswords)
{
    if (HidePasswords && Start != std::string::npos)
        return LineWithLineEnd.substr(0, Start) + kSecretMask + kLineEnd;
    return LineWithLineEnd;
}

std::string LogCopyOfAnswer(const std::string& LineWithLineEnd, bool HidePasswords)
{
    // An empty answer hides nothing and shows that nothing was sent; "*"
    // cancels the exchange and carries no secret either.
    if (!HidePasswords || LineWithLineEnd == kLineEnd || LineWithLineEnd == std::string("*") + kLineEnd)
        return LineWithLineEnd;
    return kSecretMask + kLineEnd;
}

std::string ResponseCode(const std::string& Reply)
{
    const size_t Blank = Reply.find(' ');
    if (Blank == std::string::npos || Blank + 1 >= Reply.size() || Reply[Blank + 1] != '[')
        return {};
    const size_t Close = Reply.find(']', Blank + 2);
    const size_t LineEnd = Reply.find(kLineEnd, Blank);
    if (Close == std::string::npos || (LineEnd != std::string::npos && Close > LineEnd))
        return {};
    return Reply.substr(Blank + 2, Close - Blank - 2);
}

bool ShownAsIs(unsigned char C)
{
    return C == 9 || C == 10 || C == 13 || (C >= 32 && C <= 127);
}

std::string QuotedStatusWord(const std::string& Word, size_t MaxCharacters)
{
    std::string Quoted = Word.substr(0, MaxCharacters);
    for (char& C : Quoted) {
        const auto Byte = static_cast<unsigned char>(C);
        if (Byte < 32 || Byte > 127)
            C = ' ';
    }
    if (Word.size() > MaxCharacters)
        Quoted += "\u2026";
    return Quoted;
}

std::string ReplyStatusWord(const std::string& Reply)
{
    std::string Word = Reply.substr(0, Reply.find(' '));
    return Word.substr(0, Word.find(kLineEnd));
}

std::vector<std::string> SplitLogLines(const std::string& Text)
{
    std::vector<std::string> Lines;
    size_t Start = 0;
    while (Start < Text.size()) {
        size_t End = Text.find(kLineEnd, Start);
        if (End == std::string::npos) {
            Lines.push_back(Text.substr(Start));
            break;
        }
        Lines.push_back(Text.substr(Start, End - Start));
        Start = End + kLineEnd.size();
    }
    return Lines;
}

bool EndsWithLineEnd(const std::string& Text)
{
    return EndsWith(Text, kLineEnd);
}

bool IsBodyComplete(const std::string& Rest)
{
    return Rest == kBareTerminator || EndsWith(Rest, kTerminator);
}

std::string TakeCompleteBodyLines(std::string& Rest)
{
    if (Rest == kBareTerminator)
        return {};
    // Search backwards for the last CR LF that ends a data line. With the
    // terminator present, start before its CR LF: that one ends the last data
    // line, which is held back and logged with the "." line.
    size_t Terminator = Rest.find(kTerminator);
    long long Cut = (Terminator != std::string::npos) ? static_cast<long long>(Terminator) - 1
                                                      : static_cast<long long>(Rest.size()) - 2;
    while (Cut >= 0 && !(Rest[static_cast<size_t>(Cut)] == '\r' && Rest[static_cast<size_t>(Cut) + 1] == '\n'))
        --Cut;
    if (Cut < 0)
        return {};
    size_t Count = static_cast<size_t>(Cut) + 2;
    std::string Lines = Rest.substr(0, Count);
    Rest.erase(0, Count);
    return Lines;
}

std::string TLineLimiter::Filter(const std::string& Chunk)
{
    std::string Kept;
    Kept.reserve(Chunk.size());
    size_t At = 0;
    while (At < Chunk.size()) {
        const size_t LineFeed = Chunk.find('\n', At);
        const size_t End = LineFeed == std::string::npos ? Chunk.size() : LineFeed;
        const size_t Room = FLineLength < FMaxLine ? FMaxLine - FLineLength : 0;
        const size_t Taken = std::min(Room, End - At);
        Kept.append(Chunk, At, Taken);
        if (End - At > Taken) {
            FDropped += End - At - Taken;
            FDroppedCR = Chunk[End - 1] == '\r';
        }
        FLineLength += End - At;
        At = End;
        if (LineFeed != std::string::npos) {
            // A CR LF split by the limit keeps its CR.
            if (FLineLength > FMaxLine && FDroppedCR) {
                Kept += '\r';
                --FDropped;
            }
            Kept += '\n';
            FLineLength = 0;
            FDroppedCR = false;
            ++At;
        }
    }
    return Kept;
}

uint64_t TLineLimiter::TakeDropped()
{
    const uint64_t Dropped = FDropped;
    FDropped = 0;
    return Dropped;
}

std::string GroupedCount(uint64_t Count)
{
    std::string Digits = std::to_string(Count);
    for (int At = static_cast<int>(Digits.size()) - 3; At > 0; At -= 3)
        Digits.insert(static_cast<size_t>(At), 1, '.');
    return Digits;
}

namespace {

// Where the terminating "." line of a body ends in Rest (which starts at the
// beginning of a line), looking at what follows From; npos while it has not
// come.
size_t TerminatorEnd(const std::string& Rest, size_t From)
{
    if (Rest.compare(0, kBareTerminator.size(), kBareTerminator) == 0)
        return kBareTerminator.size();
    const size_t At = Rest.find(kTerminator, From);
    return At == std::string::npos ? At : At + kTerminator.size();
}

} // namespace

bool CollectBody(std::string& Rest, const std::function<bool(std::string& Chunk)>& Receive,
    const std::function<void(const std::string& Lines)>& Log, std::string& Behind)
{
    Behind.clear();
    auto Flush = [&] {
        std::string Lines = TakeCompleteBodyLines(Rest);
        if (!Lines.empty())
            Log(Lines);
    };
    // What the server sent behind the terminator in the same read is no part
    // of the body; the caller decides what it is.
    auto Complete = [&](size_t End) {
        Behind = Rest.substr(End);
        Rest.erase(End);
        return true;
    };
    size_t End = TerminatorEnd(Rest, 0);
    if (End != std::string::npos)
        return Complete(End);
    // Complete lines that came with the status line are logged at once too, so
    // a time-out right after them does not drop them.
    Flush();
    for (;;) {
        std::string Chunk;
        // An empty chunk means the peer has closed: nothing more will come.
        if (!Receive(Chunk) || Chunk.empty())
            return false;
        // Only the bytes around the new chunk are searched, so a long line
        // trickling in costs linear time.
        const size_t SearchFrom = Rest.size() < kTerminator.size() ? 0 : Rest.size() - (kTerminator.size() - 1);
        Rest += Chunk;
        End = TerminatorEnd(Rest, SearchFrom);
        if (End != std::string::npos)
            Complete(End);
        // Only a new LF can complete a line: without one, nothing to flush,
        // and a line trickled in tiny pieces is not searched again and again.
        if (Chunk.find('\n') != std::string::npos)
            Flush();
        if (End != std::string::npos)
            return true;
    }
}
