// Arbitrary bytes as the server's answer to a command, handed to the real
// conversation in reads of arbitrary sizes through the scripted transport and
// written by the real protocol log: every byte read is logged at most once, in
// order, only in complete lines; the reader stops at the first read that
// completes the reply; the log's store shows exactly what was logged.
// fuzz-sources: conversation/*.cpp auth/*.cpp net/*.cpp tests/support/FakeTransport.cpp transcript/*.cpp
// fuzz-sources: protocollog/LogLine.cpp protocollog/LogStore.cpp protocollog/LogView.cpp
// fuzz-sources: protocollog/LogViewAccessible.cpp protocollog/ProtocolLog.cpp
// fuzz-pkg: Qt6Widgets
// fuzz-moc: protocollog/LogView.h protocollog/ProtocolLog.h
#include <QApplication>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "conversation/ConversationView.h"
#include "conversation/POP3Conversation.h"
#include "protocollog/LogView.h"
#include "protocollog/ProtocolLog.h"
#include "tests/support/FakeTransport.h"

namespace {

void Check(bool Condition, const char* Invariant)
{
    if (Condition)
        return;
    std::fprintf(stderr, "broken: %s\n", Invariant);
    std::abort();
}

const std::string Greeting = "+OK\r\n";

struct TAppend {
    std::string Text;
    bool IsServer;
};

// Forwards the log to a real protocol log and keeps a copy of every append.
class TRecordingLogView : public TConversationView, public TLogSink {
public:
    TLogView Edit;
    TProtocolLog Log { &Edit };
    std::vector<TAppend> Appends;

    TConversationOptions Options() const override { return {}; }
    void ShowStatusPicture(TStatusPicture) override { }
    void ShowWindowTitle(const std::string&) override { }
    void ShowStatusText(const std::string&) override { }
    void ShowByteCounters(int64_t, int64_t) override { }
    void SetConnectedState(bool) override { }
    bool CommandFieldEnabled() const override { return true; }
    void FocusCommandField() override { }
    void FocusHostField() override { }
    void SetBusyCursor(bool) override { }
    void Append(TLogEntryKind Kind, const std::string& Text) override
    {
        if (Kind == TLogEntryKind::Note || Kind == TLogEntryKind::Tls)
            return;
        Appends.push_back({ Text, Kind == TLogEntryKind::Status || Kind == TLogEntryKind::Body });
        Log.Append(Kind, Text);
    }
    bool HasLines() const override { return Log.HasLines(); }
    void Clear() override { Log.Clear(); }
    void StartConnection() override { Log.StartConnection(); }
    void ShowGuidanceText(const std::string&, bool) override { }
    void AddHostToHistory(const std::string&) override { }
    void AddCommandToHistory(const std::string&) override { }
    bool AskYesNo(const std::string&, const std::string&) override { return false; }
};

bool EndsWith(const std::string& Text, const std::string& End)
{
    return Text.size() >= End.size() && Text.compare(Text.size() - End.size(), End.size(), End) == 0;
}

// "+OK" in any case at the start.
bool IsPositive(const std::string& Received)
{
    return Received.size() >= 3 && Received[0] == '+' && (Received[1] | 0x20) == 'o' && (Received[2] | 0x20) == 'k';
}

// Whether the first End bytes of Stream hold a complete answer, by the rules
// of the command kind alone: the status line, and for a positive multi-line
// answer the "." line. What comes behind is the next read's.
bool IsComplete(const std::string& Stream, size_t End, bool MultiLine)
{
    const size_t StatusEnd = Stream.find("\r\n");
    if (StatusEnd == std::string::npos || End < StatusEnd + 2)
        return false;
    if (!MultiLine || !IsPositive(Stream))
        return true;
    const size_t Body = StatusEnd + 2;
    size_t Terminator = Stream.compare(Body, 3, ".\r\n") == 0 ? Body + 3 : std::string::npos;
    if (Terminator == std::string::npos) {
        const size_t At = Stream.find("\r\n.\r\n", StatusEnd);
        Terminator = At == std::string::npos ? At : At + 5;
    }
    return Terminator != std::string::npos && End >= Terminator;
}

// A "." line anywhere in the body, also with more behind it in the same read.
bool HasTerminatorLine(const std::string& Received)
{
    const size_t StatusEnd = Received.find("\r\n");
    return StatusEnd != std::string::npos
        && (Received.compare(StatusEnd + 2, 3, ".\r\n") == 0
            || Received.find("\r\n.\r\n", StatusEnd) != std::string::npos);
}

// The lines the document must hold: split at CR LF only, a lone CR or LF kept
// inside its line as a line separator, other unshown bytes as blanks.
std::vector<QString> ExpectedBlocks(const std::vector<TAppend>& Appends)
{
    std::vector<QString> Blocks;
    for (const TAppend& Append : Appends) {
        const std::string& Text = Append.Text;
        QString Line;
        bool Open = false;
        for (size_t I = 0; I < Text.size(); ++I) {
            const auto C = static_cast<unsigned char>(Text[I]);
            if (C == '\r' && I + 1 < Text.size() && Text[I + 1] == '\n') {
                Blocks.push_back(Line);
                Line.clear();
                Open = false;
                ++I;
                continue;
            }
            Open = true;
            if (C == '\r' || C == '\n')
                Line += QChar(QChar::LineSeparator);
            else if (C == '\t' || (C >= 32 && C <= 127))
                Line += QLatin1Char(static_cast<char>(C));
            else
                Line += QLatin1Char(' ');
        }
        if (Open)
            Blocks.push_back(Line);
    }
    return Blocks;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int Argc = 1;
    static char Name[] = "reply_reader_fuzz";
    static char* Argv[] = { Name, nullptr };
    static QApplication* App = new QApplication(Argc, Argv);
    (void)App;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    // Byte 0: low four bits the number of read sizes that follow (1..16,
    // cycling, each 1..64 bytes), high four bits the command and how the
    // server ends (silence, close, reset). The rest is what the server sends.
    if (Size < 2)
        return 0;
    const size_t Sizes = 1 + Data[0] % 16;
    if (Size < 1 + Sizes)
        return 0;
    const unsigned Mode = Data[0] >> 4;
    const char* const Commands[] = { "RETR 1", "LIST", "NOOP", "QUIT" };
    const std::string Command = Commands[Mode % 4];
    const bool MultiLine = Mode % 4 < 2;
    const unsigned Ending = Mode / 4 % 3; // 0 silence (time-out), 1 close, 2 reset
    const std::string Stream(reinterpret_cast<const char*>(Data + 1 + Sizes), Size - 1 - Sizes);

    TFakeTransport Server;
    Server.Chunk(Greeting);
    std::vector<size_t> Ends; // where each read ends in Stream
    for (size_t At = 0, I = 0; At < Stream.size(); ++I) {
        const size_t Length = std::min<size_t>(1 + Data[1 + I % Sizes] % 64, Stream.size() - At);
        Server.Chunk(Stream.substr(At, Length));
        At += Length;
        Ends.push_back(At);
    }
    if (Ending == 1)
        Server.Close();
    else if (Ending == 2)
        Server.Reset();

    TRecordingLogView View;
    TPOP3Conversation Conversation(View, View, Server);
    Conversation.ButtonVerbindenClick("fuzz.example");
    Check(!Conversation.ErrorFlag(), "greeting read");
    const size_t FirstAppend = View.Appends.size();
    Conversation.SendAction(Command);
    const bool FailedInReply = Conversation.ErrorFlag();
    const size_t ReadForReply = static_cast<size_t>(Server.BytesReceived()) - Greeting.size();
    // What follows a complete reply is unexpected data, read as it comes.
    for (int Polls = 0; Server.BytesAvailable() > 0 && !Conversation.ErrorFlag() && Polls < 100000; ++Polls)
        Conversation.PollUnexpectedData();

    const std::string Received = Stream.substr(0, static_cast<size_t>(Server.BytesReceived()) - Greeting.size());
    std::string Logged;
    for (size_t I = FirstAppend; I < View.Appends.size(); ++I) {
        const TAppend& Append = View.Appends[I];
        if (!Append.IsServer)
            continue;
        // Only complete lines.
        Check(EndsWith(Append.Text, "\r\n"), "whole lines only");
        Logged += Append.Text;
    }
    // Nothing lost, nothing twice: logged + held back == received.
    Check(Received.compare(0, Logged.size(), Logged) == 0, "logged is what was received");
    const std::string HeldBack = Received.substr(Logged.size());
    // After a complete reply at most an unfinished line waits for its end
    // (or went with the connection).
    if (!Conversation.ErrorFlag())
        Check(HeldBack.find("\r\n") == std::string::npos, "only an unfinished line held back");
    else if (MultiLine && FailedInReply && IsPositive(Logged) && !HasTerminatorLine(Received))
        // A failed body read has flushed every complete line.
        Check(HeldBack.find("\r\n") == std::string::npos, "complete lines flushed");

    // The reply ended at the first read that completed it; a failed one read
    // everything there was and never was complete.
    size_t ReplyEnd = 0;
    while (ReplyEnd < Ends.size() && !IsComplete(Stream, Ends[ReplyEnd], MultiLine))
        ++ReplyEnd;
    // A server that has closed before the command gets nothing.
    const bool CommandSent = Server.Sent().find("\r\n") != std::string::npos;
    if (!CommandSent)
        Check(Stream.empty() && Ending == 1, "a command is held back only from a closed connection");
    else if (FailedInReply)
        Check(ReplyEnd == Ends.size() && ReadForReply == Stream.size(), "failed only when never complete");
    else
        Check(ReplyEnd < Ends.size() && ReadForReply == Ends[ReplyEnd], "stopped where complete");

    // The document holds every logged line once, as the log shows it.
    const std::vector<QString> Expected = ExpectedBlocks(View.Appends);
    const TLogStore& Store = View.Edit.Store();
    Check(Store.LineCount() == Expected.size(), "one log line per line");
    for (size_t Line = 0; Line < Expected.size() && Line < Store.LineCount(); ++Line) {
        const QString Shown = View.Edit.LineText(static_cast<qint64>(Line))
                                  .replace(QLatin1Char('\r'), QChar::LineSeparator)
                                  .replace(QLatin1Char('\n'), QChar::LineSeparator);
        Check(Shown == Expected[Line], "log line shows its line");
    }
    return 0;
}
