#include "app/ScriptTerminal.h"

#include <QRegularExpression>
#include <QString>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>

#include "app/RegularFile.h"
#include "app/ScriptFile.h"
#include "app/ServerAddress.h"
#include "auth/AuthCrypto.h"
#include "auth/Pop3Auth.h"
#include "auth/SaslClient.h"
#include "check/ServerCheck.h"
#include "conversation/GuidanceTexts.h"
#include "conversation/POP3Conversation.h"
#include "conversation/ReplyRules.h"
#include "protocollog/ProtocolLog.h"
#include "settings/SafeFile.h"
#include "transcript/TranscriptFormat.h"

namespace {

// A script is a page of commands, not data.
constexpr off_t kLargestScript = 1024 * 1024;
// The last reply is kept this far for expect; a 50 MB message fits whole.
constexpr size_t kMaxKeptReply = 128 * 1024 * 1024;
constexpr int kUsage = kCheckUsageExitCode;

std::atomic<bool> Interrupted { false };

void NoteInterrupt(int)
{
    Interrupted.store(true);
}

// The conversation's log on standard output: one log line a terminal line,
// sent lines after an empty one as in the window, colours by kind on request.
// The last reply (status line and body, as received) is kept for expect.
class TScriptLog : public TLogSink {
public:
    explicit TScriptLog(bool Colour)
        : FColour(Colour)
    {
    }

    // From now on the next reply is kept; Command and Answer entries start it over.
    void Arm()
    {
        FReply.clear();
        FState = TState::Armed;
    }
    void Disarm()
    {
        if (FState != TState::Done)
            FState = FState == TState::InReply ? TState::Done : TState::Off;
    }
    const std::string& Reply() const { return FReply; }

    void Append(TLogEntryKind Kind, const std::string& Text) override
    {
        Keep(Kind, Text);
        Print(Kind, Text);
    }
    bool HasLines() const override { return FLines > 0; }
    void Clear() override { }
    size_t LineCount() const override { return FLines; }
    void StartConnection() override
    {
        if (FLines > 0)
            Print(TLogEntryKind::Command, "\r\n");
    }

    // Guidance and messages of the program's own, in the log's order.
    void PrintGuidance(const std::string& Text)
    {
        EndOpenLine();
        std::string Out;
        size_t Start = 0;
        while (Start <= Text.size()) {
            size_t End = Text.find('\n', Start);
            if (End == std::string::npos)
                End = Text.size();
            std::string Line = Text.substr(Start, End - Start);
            if (!Line.empty() && Line.back() == '\r')
                Line.pop_back();
            if (Line.empty())
                Out += "\n";
            else
                Out += (FColour ? "\033[36m    " : "    ") + Line + (FColour ? "\033[0m\n" : "\n");
            Start = End + 1;
        }
        std::fwrite(Out.data(), 1, Out.size(), stdout);
        std::fflush(stdout);
    }
    void EndOpenLine()
    {
        if (!FOpenLine)
            return;
        std::fputs(FColour ? "\033[0m\n" : "\n", stdout);
        FOpenLine = false;
    }

private:
    enum class TState { Off, Armed, InReply, Done };

    void Keep(TLogEntryKind Kind, const std::string& Text)
    {
        if (FState == TState::Off)
            return;
        if (Kind == TLogEntryKind::Command || Kind == TLogEntryKind::Answer) {
            Arm();
        } else if (Kind == TLogEntryKind::Status || Kind == TLogEntryKind::Body) {
            if (FState == TState::Armed)
                FState = TState::InReply;
            if (FState == TState::InReply && FReply.size() < kMaxKeptReply)
                FReply.append(Text, 0, kMaxKeptReply - FReply.size());
        } else if (FState == TState::InReply) {
            // A note follows the reply: what comes after it is no part of it.
            FState = TState::Done;
        }
    }

    const char* ColourOf(TLogEntryKind Kind, const std::string& Text) const
    {
        switch (Kind) {
        case TLogEntryKind::Command:
        case TLogEntryKind::Answer:
            return "\033[1m";
        case TLogEntryKind::Body:
            return "\033[34m";
        case TLogEntryKind::Status:
            return StatusColour(Kind, Text) == TLogColour::Green ? "\033[32m" : "\033[31m";
        default:
            return "\033[90m";
        }
    }

    void Print(TLogEntryKind Kind, const std::string& Text)
    {
        const bool Protocol = Kind != TLogEntryKind::Note && Kind != TLogEntryKind::Tls;
        // Server text only continues an unfinished line of server text.
        if (!Protocol || Kind == TLogEntryKind::Command || Kind == TLogEntryKind::Answer)
            EndOpenLine();
        const std::string Colour = FColour ? ColourOf(Kind, Text) : "";
        std::string Out;
        Out.reserve(Text.size() + 16);
        if (!FOpenLine)
            Out += Colour;
        for (size_t At = 0; At < Text.size(); ++At) {
            const char C = Text[At];
            if (C == '\r' || C == '\n') {
                if (C == '\r' && At + 1 < Text.size() && Text[At + 1] == '\n')
                    ++At;
                Out += FColour ? "\033[0m\n" : "\n";
                ++FLines;
                if (At + 1 < Text.size())
                    Out += Colour;
                FOpenLine = false;
                continue;
            }
            const auto Byte = static_cast<unsigned char>(C);
            // The log's character rule for server text; notes are UTF-8,
            // but no control character reaches the terminal either way.
            const bool Shown = Protocol ? ShownAsIs(Byte) : (Byte >= 32 && Byte != 127) || C == '\t';
            Out += Shown ? C : ' ';
            FOpenLine = true;
        }
        std::fwrite(Out.data(), 1, Out.size(), stdout);
        if (!Protocol)
            EndOpenLine();
        std::fflush(stdout);
    }

    bool FColour;
    bool FOpenLine = false;
    size_t FLines = 0;
    TState FState = TState::Off;
    std::string FReply;
};

// The window's part, answered without a person: no certificate that fails
// its check, no password in clear text to another machine; the reason is
// kept for standard error.
class TScriptView : public TConversationView {
public:
    TConversationOptions Options() const override { return {}; }
    void ShowStatusPicture(TStatusPicture) override { }
    void ShowWindowTitle(const std::string&) override { }
    void ShowStatusText(const std::string&) override { }
    void ShowByteCounters(int64_t, int64_t) override { }
    void SetConnectedState(bool Connected) override { FConnected = Connected; }
    bool CommandFieldEnabled() const override { return FConnected; }
    void FocusCommandField() override { }
    void FocusHostField() override { }
    void SetBusyCursor(bool) override { }
    void KeepResponsive() override
    {
        if (FStop)
            FStop();
    }
    bool AcceptCertificate(const TTlsInfo& Info, const std::string& Target) override
    {
        if (Info.Verify == tvOk)
            return true;
        Refusal = "Das Zertifikat von " + Target
            + " besteht die Prüfung nicht: " + CertificateProblemText(Info.Verify, Target.substr(0, Target.rfind(':')))
            + " Ohne Fenster fragt niemand nach; es wird nicht angenommen, und nichts wird gesendet.";
        return false;
    }
    void ShowGuidanceText(const std::string& Text, bool) override { Guidance = Text; }
    void AddHostToHistory(const std::string&) override { }
    void AddCommandToHistory(const std::string&) override { }
    bool AskYesNo(const std::string& Title, const std::string& Text) override
    {
        (void)Text;
        Refusal = Title.find("Unverschlüsselt") != std::string::npos
            ? "Das Paßwort ginge unverschlüsselt an einen anderen Rechner; ohne Fenster wird das nicht erlaubt. "
              "Zuerst stls, oder mit pop3s:// verbinden."
            : "Die Frage \"" + Title + "\" wurde ohne Fenster mit Nein beantwortet.";
        return false;
    }

    void SetStop(std::function<void()> Stop) { FStop = std::move(Stop); }

    std::string Guidance; // the last one shown
    std::string Refusal; // why a question was answered with no

private:
    bool FConnected = false;
    std::function<void()> FStop;
};

// The password or token: from the environment, else the first line of
// standard input (not echoed on a terminal). Never from the script.
bool ReadSecret(std::string& Secret)
{
    if (const char* FromEnvironment = std::getenv("BRIEFLOTSE_PASSWORD")) {
        Secret = FromEnvironment;
        return !Secret.empty() && IsSafeCredential(Secret);
    }
    const bool Terminal = ::isatty(STDIN_FILENO);
    termios Before {};
    if (Terminal && ::tcgetattr(STDIN_FILENO, &Before) == 0) {
        std::fprintf(stderr, "Paßwort: ");
        termios Quiet = Before;
        Quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &Quiet);
    }
    const bool Read = static_cast<bool>(std::getline(std::cin, Secret));
    if (Terminal) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &Before);
        std::fprintf(stderr, "\n");
    }
    if (Read && !Secret.empty() && Secret.back() == '\r')
        Secret.pop_back();
    return Read && !Secret.empty() && IsSafeCredential(Secret);
}

std::string FirstLine(const std::string& Reply)
{
    if (Reply.empty())
        return "(keine)";
    return "\"" + QuotedStatusWord(Reply.substr(0, Reply.find("\r\n")), 200) + "\"";
}

bool Holds(const TScriptLine& Line, const std::string& Reply)
{
    switch (Line.Expectation) {
    case TScriptExpectation::Positive:
        return IsPositiveReply(Reply);
    case TScriptExpectation::Negative:
        return Reply.rfind("-ERR", 0) == 0;
    default: {
        const QRegularExpression Expression(QString::fromStdString(Line.Pattern),
            Line.IgnoreCase ? QRegularExpression::CaseInsensitiveOption : QRegularExpression::NoPatternOption);
        return Expression.match(QString::fromUtf8(Reply.data(), static_cast<qsizetype>(Reply.size()))).hasMatch();
    }
    }
}

class TScriptRun {
public:
    TScriptRun(const TCommandLine& Options, std::string Secret)
        : FOptions(Options)
        , FSecret(std::move(Secret))
        , FLog(::isatty(STDOUT_FILENO) && !Options.NoColor)
        , FConversation(FView, FLog)
    {
        // Ctrl+C ends the running wait; the action then closes the connection.
        auto Stop = [this] {
            if (Interrupted.load())
                FConversation.Stop();
            else if (FWaitUntil && std::chrono::steady_clock::now() > *FWaitUntil) {
                FCutAtWaitEnd = true;
                FConversation.Stop();
            }
        };
        FConversation.SetWaitHook(Stop);
        FView.SetStop(Stop);
    }
    ~TScriptRun() { Forget(FSecret); }

    // The run's transcript, secrets masked as the window saves it by
    // default; false (and why on standard error) when it cannot be written.
    bool SaveTranscript(const QString& Path) const
    {
        const TTranscript& Transcript = FConversation.Transcript();
        const auto Write = [&Transcript](int Fd) {
            TTranscriptWriter Writer(Fd);
            if (Transcript.Write(Writer, "Brieflotse " + BrieflotseVersion().toStdString(), true))
                return 0;
            return Writer.ErrorNumber() ? Writer.ErrorNumber() : EIO;
        };
        const QString Problem
            = SafeFile::WriteFileWith(Path, Write, SafeFile::DefaultFileMode(), SafeFile::TModeRule::KeepExisting);
        if (Problem.isEmpty())
            return true;
        std::fprintf(stderr, "brieflotse: der Mitschnitt kann nicht als %s gespeichert werden: %s\n",
            Path.toLocal8Bit().constData(), Problem.toLocal8Bit().constData());
        return false;
    }

    int Run(const TScript& Script)
    {
        int Result = 0;
        if (!FOptions.ScriptServer.isEmpty()) {
            TScriptLine Connect;
            Connect.Command = TScriptCommand::Connect;
            Connect.Text = FOptions.ScriptServer.toStdString();
            Result = Step(Connect);
        }
        for (size_t Index = 0; Result == 0 && Index < Script.Lines.size(); ++Index)
            Result = Step(Script.Lines[Index]);
        if (FConversation.Connected())
            FConversation.CloseConnection(Result == 0 ? "Brieflotse: Verbindung am Ende des Skripts getrennt."
                                                      : "Brieflotse: Verbindung getrennt.");
        return Result;
    }

private:
    std::string Where(const TScriptLine& Line) const
    {
        return Line.Number > 0 ? "Zeile " + std::to_string(Line.Number) : "Befehlszeile";
    }

    int Fail(const TScriptLine& Line, int Code, const std::string& Text)
    {
        FLog.EndOpenLine();
        std::fflush(stdout);
        std::fprintf(stderr, "brieflotse: %s: %s\n", Where(Line).c_str(), Text.c_str());
        return Code;
    }

    int Step(const TScriptLine& Line)
    {
        if (Interrupted.load())
            return Fail(Line, 2, "abgebrochen (Strg+C).");
        if (Line.Command == TScriptCommand::Expect) {
            if (Holds(Line, FLog.Reply()))
                return 0;
            return Fail(
                Line, 1, DescribeExpectation(Line) + " hielt nicht; die Antwort war " + FirstLine(FLog.Reply()) + ".");
        }
        if (Line.Command == TScriptCommand::Wait)
            return Wait(Line);
        if (Line.Command != TScriptCommand::Connect && !FConversation.Connected())
            return Fail(Line, 2,
                FClosedByQuit       ? "keine Verbindung mehr (nach QUIT)."
                    : FCutAtWaitEnd ? "keine Verbindung mehr: der Server sandte bis zum Ende von wait ohne Pause, "
                                      "die Verbindung wurde dort getrennt."
                                    : "der Server hat die Verbindung beendet.");
        switch (Line.Command) {
        case TScriptCommand::Connect:
            return Connect(Line);
        case TScriptCommand::Send:
            return Send(Line, Line.Text);
        case TScriptCommand::Quit:
            return Send(Line, "QUIT");
        case TScriptCommand::Stls:
            return Stls(Line);
        default:
            return Auth(Line);
        }
    }

    // After each action: stopped, refused, failed, or on with the script.
    void AfterAction()
    {
        FLog.Disarm();
        if (FOptions.ScriptExplain && !FView.Guidance.empty())
            FLog.PrintGuidance(FView.Guidance);
        FView.Guidance.clear();
    }

    int Checked(const TScriptLine& Line)
    {
        AfterAction();
        if (Interrupted.load())
            return Fail(Line, 2, "abgebrochen (Strg+C); die Verbindung wurde getrennt.");
        if (!FView.Refusal.empty()) {
            const std::string Why = FView.Refusal;
            FView.Refusal.clear();
            return Fail(Line, 2, Why);
        }
        if (FConversation.OwedReplies() > 0)
            return Fail(Line, 2,
                "keine Antwort innerhalb von " + std::to_string(FConversation.WaitTimeout())
                    + " Sekunden; das zählt als verlorene Verbindung.");
        if (FConversation.ErrorFlag())
            return Fail(Line, 2, FConversation.ErrorMessage());
        return 0;
    }

    int Connect(const TScriptLine& Line)
    {
        if (FConversation.Connected())
            FConversation.CloseConnection();
        FClosedByQuit = false;
        FCutAtWaitEnd = false;
        FLog.Arm();
        FConversation.ButtonVerbindenClick(ParseServerAddress(Line.Text).Target);
        const std::string Why = FConversation.ErrorFlag() ? ": " + FConversation.ErrorMessage() : ".";
        if (!FConversation.Connected() && FView.Refusal.empty() && !Interrupted.load()) {
            AfterAction();
            return Fail(Line, 2, "keine Verbindung mit " + Line.Text + Why);
        }
        return Checked(Line);
    }

    int Send(const TScriptLine& Line, const std::string& Text)
    {
        FLog.Arm();
        FConversation.SendAction(Text);
        if (const int Code = Checked(Line))
            return Code;
        FClosedByQuit = ParseCommand(Text).Kind == TCommandKind::Quit && IsPositiveReply(FLog.Reply());
        return 0;
    }

    int Stls(const TScriptLine& Line)
    {
        if (const int Code = Send(Line, "STLS"))
            return Code;
        if (!FConversation.Transport().Encrypted())
            return Fail(Line, 1,
                "stls: die Verbindung ist nicht verschlüsselt; die Antwort war " + FirstLine(FLog.Reply()) + ".");
        return 0;
    }

    int Auth(const TScriptLine& Line)
    {
        if (Line.Mechanism == "USER") {
            if (const int Code = Send(Line, "USER " + Line.Text))
                return Code;
            if (!IsPositiveReply(FLog.Reply()) || !FConversation.Connected())
                return 0;
            return Send(Line, "PASS " + FSecret);
        }
        if (Line.Mechanism == "APOP") {
            const std::string Timestamp = GreetingTimestamp(FConversation.Greeting());
            if (Timestamp.empty())
                return Fail(Line, 1, "der Server bietet kein APOP an (keine Zeitmarke in der Begrüßung).");
            FLog.Append(TLogEntryKind::Note,
                "Brieflotse: APOP: MD5 über den Zeitstempel der Begrüßung und Ihr "
                "Paßwort; nur diese Prüfsumme wird gesendet, nicht das Paßwort.");
            return Send(Line, "APOP " + Line.Text + " " + ApopDigest(Timestamp, FSecret));
        }
        TSaslMechanism Mechanism = TSaslMechanism::Plain;
        ParseSaslMechanism(Line.Mechanism, Mechanism);
        TStreamTransport& Transport = FConversation.Transport();
        const bool InClear = Mechanism == TSaslMechanism::Plain || Mechanism == TSaslMechanism::Login;
        if (InClear && !Transport.Encrypted() && !IsThisMachine(Transport.PeerAddress()))
            return Fail(Line, 2,
                Line.Mechanism
                    + " sendet das Paßwort nur Base64-kodiert, und die Verbindung ist nicht verschlüsselt; "
                      "ohne Fenster wird das nicht erlaubt. Zuerst stls, oder mit pop3s:// verbinden.");
        auto Client = std::make_unique<TSaslClient>(Mechanism, Line.Text, FSecret);
        Client->SetServer(Transport.TargetHost(), Transport.PeerPort());
        const TSaslStep First = Client->Start();
        FLog.Append(TLogEntryKind::Note, "Brieflotse: " + First.Explanation);
        FConversation.SetSaslClient(std::move(Client), First.Explanation);
        return Send(Line, First.Line);
    }

    int Wait(const TScriptLine& Line)
    {
        const auto Until
            = std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<int64_t>(Line.Seconds * 1000));
        FWaitUntil = Until;
        bool Watching = FConversation.Connected();
        for (auto Now = std::chrono::steady_clock::now(); Now < Until && !Interrupted.load();
             Now = std::chrono::steady_clock::now()) {
            const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(Until - Now).count();
            pollfd Watch { Watching ? FConversation.SocketHandle() : -1, POLLIN, 0 };
            if (::poll(&Watch, 1, static_cast<int>(std::min<int64_t>(Left, 100))) > 0 && Watching)
                Watching = FConversation.SocketReadable();
        }
        FWaitUntil.reset();
        FView.Guidance.clear();
        // A server that sent without pause to the end was cut off there;
        // the next line that needs it finds the connection gone.
        return Interrupted.load() ? Checked(Line) : 0;
    }

    const TCommandLine& FOptions;
    std::string FSecret;
    TScriptView FView;
    TScriptLog FLog;
    TPOP3Conversation FConversation;
    bool FClosedByQuit = false;
    bool FCutAtWaitEnd = false; // unasked data flowed past the end of a wait
    std::optional<std::chrono::steady_clock::time_point> FWaitUntil;
};

} // namespace

int RunScriptInTerminal(const TCommandLine& Line)
{
    const std::string Path = Line.ScriptFile.toLocal8Bit().toStdString();
    std::string Text;
    std::string Problem;
    if (!ReadRegularFile(Path, kLargestScript, "1 MB", Text, Problem)) {
        std::fprintf(stderr, "brieflotse: %s %s.\n", Path.c_str(), Problem.c_str());
        return kUsage;
    }
    const TScript Script = ParseScript(Text, !Line.ScriptServer.isEmpty());
    if (!Script.Problem.empty()) {
        std::fprintf(stderr, "brieflotse: %s: %s\n", Path.c_str(), Script.Problem.c_str());
        return kUsage;
    }
    std::string Secret;
    if (Script.LogsIn() && !ReadSecret(Secret)) {
        Forget(Secret);
        std::fprintf(stderr,
            "brieflotse: das Skript meldet sich an, aber weder BRIEFLOTSE_PASSWORD noch die erste Zeile der "
            "Standardeingabe enthält ein Paßwort (ohne Steuerzeichen).\n");
        return kUsage;
    }
    struct sigaction Action { };
    Action.sa_handler = NoteInterrupt;
    sigemptyset(&Action.sa_mask);
    // A second Ctrl+C ends the program at once.
    Action.sa_flags = SA_RESETHAND;
    struct sigaction Previous { };
    sigaction(SIGINT, &Action, &Previous);
    int Result = 0;
    {
        TScriptRun Run(Line, std::move(Secret));
        Result = Run.Run(Script);
        // A transcript that could not be written is no "all good".
        if (!Line.ScriptTranscript.isEmpty() && !Run.SaveTranscript(Line.ScriptTranscript))
            Result = std::max(Result, 2);
    }
    sigaction(SIGINT, &Previous, nullptr);
    Forget(Secret);
    return Result;
}
