#include "practice/ReplaySession.h"

#include <algorithm>

namespace {

// The conversation's first tls line after a handshake (conversation/POP3Conversation.cpp).
const char kTlsStartPrefix[] = "Brieflotse: TLS-verschlüsselt mit ";

std::string WithoutLineEnd(std::string Line)
{
    while (!Line.empty() && (Line.back() == '\n' || Line.back() == '\r'))
        Line.pop_back();
    return Line;
}

// The line as a person reads it in a message: control bytes as "\xNN".
std::string Shown(const std::string& Line)
{
    static const char Hex[] = "0123456789ABCDEF";
    std::string Text;
    for (const unsigned char Byte : Line.substr(0, 200)) {
        if (Byte < 0x20 || Byte == 0x7f) {
            Text += "\\x";
            Text += Hex[Byte >> 4];
            Text += Hex[Byte & 15];
        } else
            Text += static_cast<char>(Byte);
    }
    return Line.size() > 200 ? Text + "..." : Text;
}

} // namespace

bool IsTlsStartNote(const std::string& Text)
{
    return Text.compare(0, sizeof kTlsStartPrefix - 1, kTlsStartPrefix) == 0;
}

bool ScanReplay(const std::string& Path, std::vector<TReplayConnectionInfo>& Connections, std::string& Error)
{
    Connections.clear();
    TTranscriptReader Reader;
    if (!Reader.Open(Path)) {
        Error = Reader.Error();
        return false;
    }
    std::vector<bool> Received;
    TTranscriptEvent Event;
    while (Reader.Next(Event)) {
        if (Event.Connection < 1) {
            Error = "Zeile " + std::to_string(Reader.LineNumber()) + ": Verbindung " + std::to_string(Event.Connection)
                + " gibt es nicht (sie zählen ab 1)";
            return false;
        }
        const size_t Index = static_cast<size_t>(Event.Connection) - 1;
        if (Index >= Connections.size()) {
            Connections.resize(Index + 1);
            Received.resize(Index + 1);
        }
        if (Event.Kind == TTranscriptKind::Received)
            Received[Index] = true;
        // A handshake before the greeting: the connection was TLS from its first byte.
        if (Event.Kind == TTranscriptKind::Tls && !Received[Index] && IsTlsStartNote(Event.Text))
            Connections[Index].ImplicitTls = true;
    }
    if (!Reader.Error().empty()) {
        Error = Reader.Error();
        return false;
    }
    if (Connections.empty()) {
        Error = "der Mitschnitt enthält keine Verbindung";
        return false;
    }
    return true;
}

TReplaySession::TReplaySession(const std::string& Path, int32_t Connection, bool Timing)
    : FConnection(Connection)
    , FTiming(Timing)
{
    if (!FReader.Open(Path)) {
        FEnded = true;
        FProblem = FReader.Error();
    }
}

bool TReplaySession::Fetch(TTranscriptEvent& Event)
{
    while (!FEnded) {
        if (!FReader.Next(Event)) {
            FEnded = true;
            FProblem = FReader.Error();
            break;
        }
        // Connections follow each other in the file: a later one ends this one.
        if (Event.Connection > FConnection) {
            FEnded = true;
            break;
        }
        if (Event.Connection == FConnection)
            return true;
    }
    return false;
}

TReplayStep TReplaySession::Next()
{
    TReplayStep Step;
    if (!FExpected.empty()) {
        Step.Kind = TReplayStepKind::AwaitCommand;
        return Step;
    }
    TTranscriptEvent Event;
    while (Fetch(Event)) {
        switch (Event.Kind) {
        case TTranscriptKind::Received:
            Step.Kind = TReplayStepKind::Write;
            Step.Bytes = std::move(Event.Bytes);
            Step.DelayMicros = FTiming ? std::max<int64_t>(0, Event.Micros - FLastMicros) : 0;
            FLastMicros = Event.Micros;
            FReceivedAny = true;
            return Step;
        case TTranscriptKind::Sent:
            if (Event.Bytes.empty())
                continue;
            FExpected = std::move(Event.Bytes);
            FSecretStart = Event.Redacted ? Event.SecretStart : std::string::npos;
            FExpectedMicros = Event.Micros;
            FExpectedLineNumber = FReader.LineNumber();
            Step.Kind = TReplayStepKind::AwaitCommand;
            return Step;
        case TTranscriptKind::Tls:
            // Before the greeting the server side did it already (ScanReplay).
            if (FReceivedAny && IsTlsStartNote(Event.Text)) {
                Step.Kind = TReplayStepKind::StartTls;
                return Step;
            }
            continue;
        case TTranscriptKind::Omitted:
            // What follows lacks its start: nothing more is served of it.
            FEnded = true;
            FProblem = "Zeile " + std::to_string(FReader.LineNumber())
                + ": hier fehlt ein Teil des Mitschnitts, die Verbindung endet";
            break;
        case TTranscriptKind::Note:
        case TTranscriptKind::Guidance:
            continue;
        }
    }
    Step.Kind = TReplayStepKind::Close;
    return Step;
}

bool TReplaySession::Command(const std::string& Line, std::string& Reply, std::string& Diagnostic)
{
    Reply.clear();
    Diagnostic.clear();
    const size_t End = FExpected.find('\n');
    const size_t Length = End == std::string::npos ? FExpected.size() : End + 1;
    const std::string Recorded = WithoutLineEnd(FExpected.substr(0, Length));
    const std::string Given = WithoutLineEnd(Line);
    bool Same = Given == Recorded;
    if (FSecretStart < Length)
        Same = Given.compare(0, FSecretStart, Recorded, 0, FSecretStart) == 0 && Given.size() >= FSecretStart;
    if (!Same) {
        Reply = "-ERR Mitschnitt erwartet: " + Shown(Recorded) + "\r\n";
        Diagnostic = "Zeile " + std::to_string(FExpectedLineNumber) + ", Verbindung " + std::to_string(FConnection)
            + ": erwartet \"" + Shown(Recorded) + "\", gekommen \"" + Shown(Given) + "\"";
        return false;
    }
    FExpected.erase(0, Length);
    FSecretStart
        = FSecretStart == std::string::npos || FSecretStart < Length ? std::string::npos : FSecretStart - Length;
    if (FExpected.empty())
        FLastMicros = FExpectedMicros;
    return true;
}
