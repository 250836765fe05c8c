// The POP3 conversation engine.
#include "conversation/POP3Conversation.h"

#include <cstdio>
#include <utility>

#include "auth/Pop3Auth.h"
#include "conversation/GuidanceTexts.h"
#include "conversation/ReplyRules.h"
#include "conversation/StatusLine.h"
#include "net/WinsockErrors.h"

namespace {

const char* const kLineEnd = "\r\n";
// More of a greeting than this is no timestamp anyone needs.
constexpr size_t kMaxGreetingBytes = 4096;
// The body of a CAPA answer kept for its guidance.
constexpr size_t kMaxKeptBody = 64 * 1024;
// Commands whose replies are remembered as owed; beyond that the oldest is
// forgotten (a server that silent is no conversation any more).
constexpr size_t kMaxOwedReplies = 16;
// While data streams in without a wait, the window gets a turn this often.
constexpr auto kResponsiveInterval = std::chrono::milliseconds(50);

// The errors that mean the server is gone: its side closed or reset.
bool MeansPeerGone(int32_t Code)
{
    return Code == kWinsockConnectionReset || Code == kWinsockNotConnected || Code == kWinsockShutDown
        || Code == 10053 /* connection aborted */;
}

// A command as a grey note names it: its word, and its number if it has one
// (never an argument that may be a secret).
std::string CommandForNote(const TCommand& Command)
{
    return Command.Number > 0 ? Command.Word + " " + std::to_string(Command.Number) : Command.Word;
}

// A line inside an AUTH exchange is no command of its own: it belongs to the
// AUTH it answers, and its words (Base64, perhaps the password) are nobody's.
TCommand AnswerInAuth()
{
    TCommand Command;
    Command.Kind = TCommandKind::Auth;
    Command.Word = "AUTH";
    return Command;
}

std::string JoinLines(std::initializer_list<const char*> Lines)
{
    std::string Text;
    bool First = true;
    for (const char* Line : Lines) {
        if (!First)
            Text += kLineEnd;
        Text += Line;
        First = false;
    }
    return Text;
}

// A challenge as the log shows it: decoded, in the log's character rule, and
// short enough for one line.
std::string ChallengeForLog(const std::string& Challenge)
{
    std::string Bytes;
    if (!Base64Decode(Challenge, Bytes))
        return "(kein gültiges Base64) " + QuotedStatusWord(Challenge, 200);
    return "\"" + QuotedStatusWord(Bytes, 400) + "\"";
}

// What ends TLS on a connection: a failed handshake or a broken session.
bool IsTlsFailure(int32_t Code)
{
    return Code >= kWinsockTlsHandshakeFailed && Code <= kWinsockTlsSetupFailed && Code != kWinsockTlsAlreadyActive;
}

} // namespace

TPOP3Conversation::TPOP3Conversation(TConversationView& View, TLogSink& Log)
    : TPOP3Conversation(View, Log, FWinsock)
{
}

TPOP3Conversation::TPOP3Conversation(TConversationView& View, TLogSink& Log, TStreamTransport& Transport)
    : FView(View)
    , FLog(Log)
    , FTransport(&Transport)
{
    FTransport->SetTargetPort("pop3");
    FTransport->SetTimeout(30);
    FTransport->SetErrorHandler([this](const std::string& Origin, int32_t Code, const std::string& Description) {
        WinsockError(Origin, Code, Description);
    });
}

TPOP3Conversation::~TPOP3Conversation()
{
    // Closing the socket must not call back into a window that is going away.
    FTransport->SetErrorHandler(nullptr);
    FWinsock.OnWaiting = nullptr;
}

bool TPOP3Conversation::SocketReadable()
{
    if (FTransport->BytesAvailable() > 0) {
        FTransport->ProcessEvents();
        PollUnexpectedData();
        // More may follow in later pieces (a banner or list written in parts).
        return !FErrorFlag;
    }
    if (!FErrorFlag && FTransport->PeerHasClosed())
        ReportServerClosed();
    return false;
}

bool TPOP3Conversation::BeginAction()
{
    // A repaint during a wait may run the event loop; it must not start a
    // second action inside the running one.
    if (FBusy)
        return false;
    FErrorFlag = false;
    FTimedOut = false;
    FUnaskedNoted = false;
    FView.SetBusyCursor(true);
    FBusy = true;
    return true;
}

void TPOP3Conversation::Stop()
{
    if (!FBusy)
        return;
    FStopped = true;
    FTransport->Cancel();
}

// After a stop the server may still be sending the reply that was cut off:
// the conversation cannot continue on this connection.
void TPOP3Conversation::EndStoppedAction()
{
    if (!FStopped)
        return;
    FStopped = false;
    FErrorFlag = false;
    FPeerGone = false;
    if (FTransport->Connected())
        CloseConnection("Brieflotse: Verbindung nach dem Abbruch getrennt.");
    const TGuidance Guidance = StoppedGuidance(FTransport->TargetHost());
    ShowGuidanceText(Guidance.Text, Guidance.IsError);
}

void TPOP3Conversation::EndAction()
{
    LogUnaskedInput();
    EndStoppedAction();
    if (FPeerGone)
        EndLostConnection();
    ShowStatus(".");
    FBusy = false;
    FView.SetBusyCursor(false);
}

void TPOP3Conversation::ButtonVerbindenClick(const std::string& HostText)
{
    if (!BeginAction())
        return;
    FTransport->SetTargetHost(HostText);
    FTlsAccepted = false;
    FClearTextAgreed = false;
    // For this connection only, whichever way it goes.
    const bool StlsFirst = FStlsFirst;
    FStlsFirst = false;
    ShowStatus("Verbindet mit " + FTransport->TargetHost() + " ...");
    FTranscript.StartConnection();
    const bool Connected = FTransport->Connect();
    // Remembered as typed: its port and scheme reach the same server again.
    const std::string& HistoryEntry = HostText;
    if (!FErrorFlag && Connected) {
        const TConversationOptions Options = FView.Options();
        if (Options.ResetCounterAtConnect)
            ResetCounters();
        if (Options.ResetLogAtConnect) {
            FLog.Clear();
            FRetrieved.ForgetLogLines();
        }
        FLog.StartConnection();
        NoteConnectAttempts();
        FView.AddHostToHistory(HistoryEntry);
        FView.SetConnectedState(true);
        FCapabilities = TCapabilities();
        FAwaitingAnswer = false;
        if (AcceptEncryption()) {
            ShowStatus("Wartet auf Antwort ...");
            const std::string Greeting = ReadSingleLineReply();
            FGreeting = Greeting.substr(0, kMaxGreetingBytes);
            // What the greeting means, and for this connection: encrypted or
            // not, APOP offered or not.
            std::string Additions;
            if (!FErrorFlag && FTransport->Connected())
                for (const std::string& Text : { ConnectionSecurityText(FTransport->TlsDetails(),
                                                     FTransport->TargetHost(), FTransport->PeerAddress()),
                         StlsFirst && !FTransport->Encrypted() ? StlsFirstText(FTransport->TargetHost()) : "",
                         ApopOfferText(GreetingTimestamp(FGreeting), GreetingTimestampTooLong(FGreeting)) })
                    if (!Text.empty())
                        Additions += (Additions.empty() ? "" : "\r\n\r\n") + Text;
            ShowGuidance(TGuidanceEvent::Connected, Greeting, Additions);
        }
    } else {
        NoteConnectAttempts();
        // Said while a handshake still held the socket: say it again as it is now.
        if (FErrorFlag)
            ShowGuidance(TGuidanceEvent::Connected, "");
    }
    EndAction();
}

// A name may have several addresses: the log names those that failed, and
// the one connected to.
void TPOP3Conversation::NoteConnectAttempts()
{
    for (const std::string& Attempt : FTransport->ConnectAttempts())
        AppendLog(TLogEntryKind::Note, "Brieflotse: Verbindungsversuch mit " + Attempt);
    const std::string Peer = FTransport->PeerAddress();
    if (!Peer.empty())
        AppendLog(TLogEntryKind::Note,
            "Brieflotse: Verbunden mit " + Peer + " (Port " + std::to_string(FTransport->PeerPort()) + ").");
}

void TPOP3Conversation::ButtonTrennenClick()
{
    if (FBusy)
        return;
    const std::string Question = JoinLines({ "Sofern keine schwerwiegenden Protokoll- oder",
        "TCP/IP-Probleme vorliegen, sollten Sie die", "Verbindung mit dem aktuellen Mail-Server durch",
        "das POP3-Kommando QUIT abschließen.", "", "Trotzdem jetzt trennen?" });
    if (!FView.AskYesNo("Brieflotse - Trennen", Question))
        return;
    if (!BeginAction())
        return;
    FlushUnaskedInput();
    CloseConnection("Brieflotse: Verbindung mit \"Trennen\" getrennt.");
    ShowGuidance(TGuidanceEvent::Connected, "-ERR");
    EndAction();
}

void TPOP3Conversation::SendAction(const std::string& CommandText)
{
    if (!BeginAction())
        return;
    // A server that has gone gets nothing: no line is sent, logged or counted.
    if (FTransport->PeerHasClosed()) {
        FPeerGone = true;
        EndAction();
        return;
    }
    FlushUnaskedInput();
    ShowStatus("Sendet Kommando ...");
    // Inside an AUTH exchange the line is an answer (base64, "*"): its case
    // matters, it may carry the password, and it is no command to repeat.
    const bool IsAnswer = FAwaitingAnswer;
    std::string Line = CommandText;
    if (!IsAnswer && FView.Options().UpperCaseCommands)
        Line = UpperCaseCommandWord(Line);
    // Read once, here, the way servers read it ("STLS " is STLS, "QUITX" no
    // QUIT): everything below decides by these fields.
    const TCommand Command = IsAnswer ? AnswerInAuth() : ParseCommand(Line);
    bool Held = false;
    if (IsAnswer) {
        SendAnswer(Line);
    } else {
        if (!Line.empty())
            FView.AddCommandToHistory(Line);
        Held = HoldBack(Command);
        if (!Held)
            SendCommand(Line, Command);
    }
    // Replies come in order: those still owed to earlier commands first.
    const std::string LateFor = FOwed.empty() ? std::string() : CommandForNote(FOwed.back().Command);
    if (!FErrorFlag && !Held && !FOwed.empty()) {
        ShowStatus("Wartet auf verspätete Antwort ...");
        if (!ReadOwedReplies() && FTimedOut && FTransport->Connected()) {
            // Still silent: this command's reply comes after those.
            FOwed.push_back({ Command, false });
            if (FOwed.size() > kMaxOwedReplies)
                FOwed.pop_front();
        }
    }
    if (!FErrorFlag && !Held) {
        ShowStatus("Wartet auf Antwort ...");
        const bool IsStls = Command.Kind == TCommandKind::Stls;
        FKeepBody = Command.MultiLine && Command.Kind == TCommandKind::Capa;
        FKeepLimit = kMaxKeptBody;
        FKeptBody.clear();
        FKeepMessage = Command.MultiLine && (Command.Kind == TCommandKind::Retr || Command.Kind == TCommandKind::Top);
        std::string Reply = ReadReplyTo(Command);
        FKeepMessage = false;
        // STLS: what came behind its reply, still unencrypted.
        std::string Behind;
        if (IsStls)
            Behind.swap(FInput);
        FKeepBody = false;
        HandleQuitReply(Command, Reply);
        NoteReply(Command, Reply);
        const bool InAuth = Command.Kind == TCommandKind::Auth;
        if (InAuth && !IsAnswer)
            FAuthCommand = Command;
        if (InAuth) {
            RetryInTwoSteps(Reply);
            AnswerContinuations(Reply);
        } else
            SetSaslClient(nullptr, "");
        if (IsStls)
            HandleStlsReply(Reply, Behind);
        else
            GuideReply(InAuth ? FAuthCommand : Command, Reply);
        if (!FErrorFlag && !LateFor.empty())
            ShowGuidanceText(FLastGuidance.Text + "\r\n\r\n" + LateReplyFirstText(LateFor), FLastGuidance.IsError);
        if (FReplyObserver && !FErrorFlag)
            FReplyObserver(Command, Reply);
        // Some servers hang up right after a reply (popa3d after a wrong password).
        if (!FErrorFlag && FTransport->Connected() && FTransport->PeerHasClosed())
            FPeerGone = true;
    }
    // A reply that did not come in time is still expected: say so.
    if (FTimedOut && !FOwed.empty()) {
        TGuidanceContext Context;
        Context.ErrorFlag = true;
        Context.Connected = true;
        Context.ErrorMessage = FErrorMessage;
        ShowGuidanceText(ChooseGuidance(TCommand(), "", Context).Text + "\r\n\r\n"
                + OwedReplyText(CommandForNote(FOwed.back().Command)),
            true);
    }
    if (FView.CommandFieldEnabled())
        FView.FocusCommandField();
    else
        FView.FocusHostField();
    EndAction();
}

std::vector<TPOP3Conversation::TExchangeReply> TPOP3Conversation::Exchange(
    const std::vector<std::string>& Lines, size_t MaxBody)
{
    std::vector<TExchangeReply> Replies;
    if (!BeginAction())
        return Replies;
    if (FTransport->PeerHasClosed())
        FPeerGone = true;
    FlushUnaskedInput();
    // Replies still owed come first; a server that owes them is no place to go on.
    if (!FPeerGone && !FOwed.empty()) {
        ShowStatus("Wartet auf verspätete Antwort ...");
        ReadOwedReplies();
    }
    std::vector<TCommand> Commands;
    std::string Data;
    for (const std::string& Line : Lines) {
        Commands.push_back(ParseCommand(Line));
        Data += Line + kLineEnd;
    }
    if (!FPeerGone && !FErrorFlag && FOwed.empty() && !Lines.empty()) {
        ShowStatus("Sendet Kommando ...");
        RecordPipelined(Lines, Commands);
        FTransport->SendString(Data);
        for (size_t Index = 0; Index < Lines.size() && !FErrorFlag; ++Index)
            AppendLog(TLogEntryKind::Command,
                kLineEnd
                    + MaskedLogCopy(
                        Lines[Index] + kLineEnd, Commands[Index].SecretStart, FView.Options().HidePasswords));
        ShowStatus("Wartet auf Antwort ...");
        for (size_t Index = 0; Index < Commands.size() && !FErrorFlag; ++Index) {
            FKeepBody = true;
            FKeepLimit = MaxBody;
            FKeptBody.clear();
            const std::string Status = ReadReplyTo(Commands[Index]);
            FKeepBody = false;
            if (FErrorFlag) {
                // The commands behind a missing reply are owed their replies too.
                if (FTimedOut && FTransport->Connected())
                    for (size_t Later = Index + 1; Later < Commands.size() && FOwed.size() < kMaxOwedReplies; ++Later)
                        FOwed.push_back({ Commands[Later], false });
                break;
            }
            if (Commands[Index].Kind == TCommandKind::Capa && IsPositiveReply(Status))
                FCapabilities = TCapabilities::Parse(FKeptBody);
            Replies.push_back({ Status, IsPositiveReply(Status) ? std::move(FKeptBody) : std::string() });
            FKeptBody.clear();
        }
        if (!FErrorFlag && !Replies.empty())
            ShowGuidance(Commands[Replies.size() - 1], Replies.back().Status);
        if (!FErrorFlag && FTransport->Connected() && FTransport->PeerHasClosed())
            FPeerGone = true;
    }
    EndAction();
    return Replies;
}

bool TPOP3Conversation::HoldBack(const TCommand& Command)
{
    if (Command.Kind == TCommandKind::Stls && FTransport->Encrypted()) {
        AppendLog(
            TLogEntryKind::Note, "Brieflotse: STLS nicht gesendet, die Verbindung ist bereits mit TLS verschlüsselt.");
        const TGuidance Guidance = StlsNotSentGuidance(*FTransport->TlsDetails());
        ShowGuidanceText(Guidance.Text, Guidance.IsError);
        return true;
    }
    // The assistant asked before its own AUTH.
    if (FClearTextAgreed || FSasl || !Command.PasswordInClear || !PasswordCrossesNetwork())
        return false;
    FClearTextAgreed
        = FView.AskYesNo("Brieflotse - Unverschlüsselt", ClearTextQuestion(Command.Word, FTransport->TargetHost()));
    if (!FClearTextAgreed)
        ShowGuidanceText(ConnectionSecurityText(nullptr, FTransport->TargetHost(), FTransport->PeerAddress()), false);
    return !FClearTextAgreed;
}

bool TPOP3Conversation::PasswordCrossesNetwork() const
{
    return !FTransport->Encrypted() && !IsThisMachine(FTransport->PeerAddress());
}

bool TPOP3Conversation::FormCloseQuery()
{
    if (!FTransport->Connected())
        return true;
    const std::string Question = JoinLines(
        { "Bevor Sie das Programm beenden, sollten Sie", "die Verbindung mit dem aktuellen Mail-Server durch",
            "das POP3-Kommando QUIT abschließen.", "", "Trotzdem jetzt beenden?" });
    return FView.AskYesNo("Brieflotse - Beenden", Question);
}

void TPOP3Conversation::ResetCounters()
{
    FSentBase = FTransport->BytesSent();
    FReceivedBase = FTransport->BytesReceived();
    ShowStatus(".");
}

void TPOP3Conversation::PollUnexpectedData()
{
    // After a time-out the connection is still open and the late reply may
    // come now; after any other failure the next action reports the state.
    if (FTransport->BytesAvailable() <= 0 || (FErrorFlag && !FTimedOut) || FBusy)
        return;
    // Busy for the read, too: a repaint during its wait may bring us back here.
    FBusy = true;
    FView.SetBusyCursor(true);
    FErrorFlag = false;
    FTimedOut = false;
    if (!FOwed.empty()) {
        ShowStatus("Empfängt eine verspätete Antwort ...");
        if (ReadOwedReplies())
            ShowLateReplyGuidance();
    } else {
        ShowStatus("Empfängt unerwartete Daten ...");
        // Everything that is there, in one go: a flood is read until it pauses
        // (or the user stops it), each line logged within the log's limits.
        std::string First;
        FReadingUnasked = true;
        do {
            std::string Tail;
            Tail.swap(FInput);
            std::string Chunk;
            if (!ReceiveChunk(Chunk)) {
                FInput.swap(Tail);
                break;
            }
            FInput = Tail + Chunk;
            LogUnaskedInput(&First);
        } while (FTransport->BytesAvailable() > 0 && !FStopped);
        FReadingUnasked = false;
        FLastUnasked = std::chrono::steady_clock::now();
        if (!First.empty() && !FErrorFlag)
            ShowGuidance(TGuidanceEvent::Unexpected, First);
    }
    LogUnaskedInput();
    // Notes only while the log has room: a flood must not grow it by notes.
    if (FLog.HasRoom())
        NoteWhatWasNotShown();
    EndStoppedAction();
    if (FPeerGone)
        EndLostConnection();
    ShowStatus(".");
    FView.SetBusyCursor(false);
    FBusy = false;
}

bool TPOP3Conversation::ReceivingUnasked() const
{
    return FTransport->Connected() && std::chrono::steady_clock::now() - FLastUnasked < std::chrono::seconds(1);
}

void TPOP3Conversation::StopUnasked()
{
    if (FBusy)
        return Stop();
    if (!FTransport->Connected())
        return;
    FStopped = true;
    EndStoppedAction();
    ShowStatus(".");
}

void TPOP3Conversation::ReportServerClosed()
{
    if (!FTransport->Connected())
        return;
    FPeerGone = true;
    LogUnaskedInput();
    EndLostConnection();
}

void TPOP3Conversation::ShowStatus(const std::string& Text)
{
    const TStatusLine Line = DecideStatusLine(
        Text, FTransport->Connected(), FTransport->TargetHost(), FErrorFlag, FErrorMessage, Encrypted());
    if (Line.SetsTitle)
        FView.ShowWindowTitle(Line.Title);
    FView.ShowStatusPicture(Line.Picture);
    if (!Line.Text.empty()) {
        FView.ShowStatusText(Line.Text);
        FLastStatus = Line.Text;
    }
    FView.ShowByteCounters(FTransport->BytesSent() - FSentBase, FTransport->BytesReceived() - FReceivedBase);
}

void TPOP3Conversation::ShowGuidance(const TCommand& Command, const std::string& Reply, const std::string& Addition)
{
    PresentGuidance(ChooseGuidance(Command, Reply, GuidanceContext()), Addition);
}

void TPOP3Conversation::ShowGuidance(TGuidanceEvent Event, const std::string& Reply, const std::string& Addition)
{
    PresentGuidance(ChooseGuidance(Event, Reply, GuidanceContext()), Addition);
}

TGuidanceContext TPOP3Conversation::GuidanceContext() const
{
    TGuidanceContext Context;
    Context.ErrorFlag = FErrorFlag;
    // A TLS failure ends the connection, even while its socket is still open.
    Context.Connected = FTransport->Connected() && !FTlsFailed;
    Context.TlsFailed = FTlsFailed;
    Context.ErrorMessage = FErrorMessage;
    Context.TargetHost = FTransport->TargetHost();
    return Context;
}

void TPOP3Conversation::PresentGuidance(const TGuidance& Guidance, const std::string& Addition)
{
    // A socket error says everything there is to say.
    const bool Adds = !Addition.empty() && !FErrorFlag;
    FLastGuidance = { Adds ? Guidance.Text + "\r\n\r\n" + Addition : Guidance.Text, Guidance.IsError };
    ShowGuidanceText(FLastGuidance.Text, FLastGuidance.IsError);
}

void TPOP3Conversation::ShowLateReplyGuidance()
{
    TGuidanceContext Context;
    Context.Connected = FTransport->Connected();
    Context.TargetHost = FTransport->TargetHost();
    const TGuidance Own = ChooseGuidance(FLateCommand, FLateReply, Context);
    FLastGuidance = { LateReplyText(CommandForNote(FLateCommand)) + "\r\n\r\n" + Own.Text, Own.IsError };
    ShowGuidanceText(FLastGuidance.Text, FLastGuidance.IsError);
}

void TPOP3Conversation::NoteReply(const TCommand& Command, const std::string& Reply)
{
    const bool Continues
        = !FErrorFlag && IsContinuationReply(Reply) && Command.Kind == TCommandKind::Auth && FTransport->Connected();
    FAwaitingAnswer = Continues;
    if (Continues) {
        const std::string Challenge = ContinuationData(Reply);
        if (!Challenge.empty())
            AppendLog(
                TLogEntryKind::Note, "Brieflotse: Der Server fragt (Base64 dekodiert): " + ChallengeForLog(Challenge));
    }
    if (!FErrorFlag && Command.Kind == TCommandKind::Capa && IsPositiveReply(Reply))
        FCapabilities = TCapabilities::Parse(FKeptBody);
}

void TPOP3Conversation::SetSaslClient(std::unique_ptr<TSaslClient> Client, const std::string& StartExplanation)
{
    FSasl = std::move(Client);
    FSaslSummary = FSasl ? StartExplanation : std::string();
}

void TPOP3Conversation::AnswerContinuations(std::string& Reply)
{
    // However a server goes on asking, the exchange ends: a mechanism has a
    // few rounds, and the client cancels with "*" beyond them.
    constexpr int kMaxRounds = 8;
    for (int Round = 0; FSasl && FAwaitingAnswer && !FErrorFlag && Round < kMaxRounds; ++Round) {
        const TSaslStep Step = FSasl->Answer(ContinuationData(Reply));
        AppendLog(TLogEntryKind::Note, "Brieflotse: " + Step.Explanation);
        FSaslSummary = Step.Explanation;
        SendAnswer(Step.Line);
        if (FErrorFlag)
            break;
        ShowStatus("Wartet auf Antwort ...");
        Reply = ReadSingleLineReply();
        NoteReply(AnswerInAuth(), Reply);
    }
    // The exchange is over once the server no longer asks (or the client gave up).
    if (!FAwaitingAnswer && FSasl) {
        FServerProof = FSasl->ServerProof();
        FSasl.reset();
    }
}

void TPOP3Conversation::RetryInTwoSteps(std::string& Reply)
{
    if (FErrorFlag || !FSasl || FAwaitingAnswer || IsPositiveReply(Reply) || !FSasl->MayRetryInTwoSteps()
        || !FTransport->Connected())
        return;
    FSasl->SetTwoSteps(true);
    const TSaslStep Step = FSasl->Start();
    AppendLog(TLogEntryKind::Note,
        "Brieflotse: Der Server hat die AUTH-Zeile mit Anfangsantwort abgelehnt; das Programm versucht es einmal "
        "in zwei Schritten. "
            + Step.Explanation);
    const TCommand Again = ParseCommand(Step.Line);
    SendCommand(Step.Line, Again);
    if (FErrorFlag)
        return;
    ShowStatus("Wartet auf Antwort ...");
    Reply = ReadReplyTo(Again);
    NoteReply(Again, Reply);
}

void TPOP3Conversation::GuideReply(const TCommand& Command, const std::string& Reply)
{
    if (!FErrorFlag && Command.Kind == TCommandKind::Capa && IsPositiveReply(Reply)) {
        FLastGuidance = { CapabilityGuidance(FCapabilities), false };
        return ShowGuidanceText(FLastGuidance.Text, false);
    }
    // A SCRAM server that did not prove itself is no accepted log-in, whatever it answered.
    const TServerProof Proof = std::exchange(FServerProof, TServerProof::NotAsked);
    if (!FErrorFlag && (Proof == TServerProof::Forged || (Proof == TServerProof::Missing && IsPositiveReply(Reply)))) {
        FSaslSummary.clear();
        FLastGuidance = UnprovenServerGuidance(Proof == TServerProof::Forged);
        return ShowGuidanceText(FLastGuidance.Text, FLastGuidance.IsError);
    }
    // How the accepted log-in worked; a refused one needs no lesson on it.
    const bool Accepted = !FAwaitingAnswer && IsPositiveReply(Reply);
    ShowGuidance(Command, Reply, Accepted ? FSaslSummary : std::string());
    if (!FAwaitingAnswer)
        FSaslSummary.clear();
}

void TPOP3Conversation::SendAnswer(const std::string& Line)
{
    const std::string Data = Line + kLineEnd;
    if (!FErrorFlag) {
        // An answer inside AUTH is a secret as a whole (Base64 of a password, a token, a digest).
        FTranscript.AddSent(Data, 0);
        FTransport->SendString(Data);
    }
    if (!FErrorFlag)
        AppendLog(TLogEntryKind::Answer, kLineEnd + LogCopyOfAnswer(Data, FView.Options().HidePasswords));
}

void TPOP3Conversation::AppendLog(TLogEntryKind Kind, const std::string& Text)
{
    if (Kind == TLogEntryKind::Note || Kind == TLogEntryKind::Tls)
        FTranscript.AddText(Kind == TLogEntryKind::Note ? TTranscriptKind::Note : TTranscriptKind::Tls, Text);
    FLog.Append(Kind, Text);
}

void TPOP3Conversation::ShowGuidanceText(const std::string& Text, bool IsError)
{
    FTranscript.AddText(TTranscriptKind::Guidance, Text);
    FView.ShowGuidanceText(Text, IsError);
}

// Pipelined lines go out in one write and make one event; should more than
// one of them carry a secret, each line becomes an event of its own, so that
// redaction (up to a line's end) still finds every secret.
void TPOP3Conversation::RecordPipelined(const std::vector<std::string>& Lines, const std::vector<TCommand>& Commands)
{
    size_t Secrets = 0;
    for (const TCommand& Command : Commands)
        Secrets += Command.CarriesSecret() ? 1 : 0;
    std::string Data;
    size_t SecretStart = std::string::npos;
    for (size_t Index = 0; Index < Lines.size(); ++Index) {
        if (Commands[Index].CarriesSecret() && SecretStart == std::string::npos)
            SecretStart = Data.size() + Commands[Index].SecretStart;
        Data += Lines[Index] + kLineEnd;
        if (Secrets > 1) {
            FTranscript.AddSent(Data, SecretStart);
            Data.clear();
            SecretStart = std::string::npos;
        }
    }
    if (!Data.empty())
        FTranscript.AddSent(Data, SecretStart);
}

void TPOP3Conversation::SendCommand(const std::string& Line)
{
    SendCommand(Line, ParseCommand(Line));
}

void TPOP3Conversation::SendCommand(const std::string& Line, const TCommand& Command)
{
    const std::string Data = Line + kLineEnd;
    if (!FErrorFlag) {
        FTranscript.AddSent(Data, Command.SecretStart);
        FTransport->SendString(Data);
    }
    const std::string LogCopy = MaskedLogCopy(Data, Command.SecretStart, FView.Options().HidePasswords);
    if (!FErrorFlag)
        AppendLog(TLogEntryKind::Command, kLineEnd + LogCopy);
}

bool TPOP3Conversation::ReceiveChunk(std::string& Chunk)
{
    Chunk.clear();
    // Data that streams in never waits, so the socket's wait hook never runs.
    if (FStopped)
        return false;
    if (!FInput.empty()) {
        Chunk.swap(FInput);
        return true;
    }
    KeepResponsive();
    const int32_t Count = FTransport->ReceiveString(Chunk);
    if (Count > 0)
        FTranscript.AddReceived(Chunk);
    // The server closed the connection: the socket then only ever delivers
    // empty reads.
    if (Count == 0 && !FErrorFlag) {
        FErrorFlag = true;
        FErrorMessage = "Der Server hat die Verbindung beendet.";
        FClosedInOrder = true;
        FPeerGone = true;
    }
    if (Count > 0)
        Chunk = FLineLimiter.Filter(Chunk);
    return Count > 0 && !FErrorFlag;
}

void TPOP3Conversation::KeepResponsive()
{
    const auto Now = std::chrono::steady_clock::now();
    if (Now - FLastResponsive < kResponsiveInterval)
        return;
    FLastResponsive = Now;
    FView.KeepResponsive();
}

bool TPOP3Conversation::AcceptEncryption()
{
    const TTlsInfo* Tls = FTransport->TlsDetails();
    if (!Tls)
        return true;
    const std::string Check = Tls->Verify == tvOk ? "bestanden (vertrauenswürdige Zertifizierungsstelle, Name paßt)"
                                                  : "nicht bestanden: "
            + CertificateProblemText(Tls->Verify, FTransport->TargetHost()) + " (" + Tls->VerifyText + ")";
    for (const std::string& Note : { "Brieflotse: TLS-verschlüsselt mit " + Tls->Protocol + ", " + Tls->Cipher,
             "Brieflotse: Zertifikat für " + Tls->Subject + ", ausgestellt von " + Tls->Issuer,
             "Brieflotse: gültig von " + Tls->NotBefore + " bis " + Tls->NotAfter,
             "Brieflotse: SHA-256-Fingerabdruck " + Tls->Fingerprint, "Brieflotse: Prüfung " + Check })
        AppendLog(TLogEntryKind::Tls, Note);
    const std::string Target = FTransport->TargetHost() + ":" + FTransport->TargetPortText();
    FTlsAccepted = FView.AcceptCertificate(*Tls, Target);
    if (FTlsAccepted)
        return true;
    const TTlsVerifyResult Result = Tls->Verify;
    CloseConnection("Brieflotse: Verbindung getrennt, das Zertifikat wurde nicht angenommen.");
    const TGuidance Guidance = CertificateRefusedGuidance(Result, FTransport->TargetHost());
    ShowGuidanceText(Guidance.Text, Guidance.IsError);
    return false;
}

void TPOP3Conversation::HandleStlsReply(const std::string& Reply, std::string& Behind)
{
    if (FErrorFlag)
        return ShowGuidance(ParseCommand("STLS"), Reply);
    const bool Accepted = IsPositiveReply(Reply) && !FTransport->Encrypted();
    if (!Accepted) {
        // No TLS follows: what came behind is the server's next text.
        FInput = Behind + FInput;
        const TGuidance Guidance = StlsGuidance(false, nullptr);
        ShowGuidanceText(Guidance.Text, Guidance.IsError);
        return;
    }
    // Sent before TLS began, so no reply and no part of the handshake.
    if (!Behind.empty())
        AppendLog(TLogEntryKind::Note,
            "Brieflotse: " + GroupedCount(Behind.size())
                + " Bytes kamen hinter \"+OK\" noch unverschlüsselt und wurden verworfen: \""
                + QuotedStatusWord(Behind, 80) + "\"");
    ShowStatus("Handelt TLS aus ...");
    if (!FTransport->StartTls()) {
        // A failed handshake leaves no usable connection.
        if (!FTransport->Connected())
            FView.SetConnectedState(false);
        ShowGuidance(ParseCommand("STLS"), Reply);
        return;
    }
    if (!AcceptEncryption())
        return;
    const TGuidance Guidance = StlsGuidance(true, FTransport->TlsDetails());
    ShowGuidanceText(Guidance.Text, Guidance.IsError);
}

void TPOP3Conversation::LogServerText(const std::string& Text, bool IsBody)
{
    if (FLog.HasRoom()) {
        AppendLog(IsBody ? TLogEntryKind::Body : TLogEntryKind::Status, Text);
        FLogFullNoted = false;
        return;
    }
    FNotShownBytes += Text.size();
    // Between actions nothing else notes it: once, then only counting.
    if (!FLogFullNoted && FReadingUnasked) {
        AppendLog(TLogEntryKind::Note,
            "Brieflotse: Das Protokoll ist voll; was der Server weiter unaufgefordert sendet, "
            "wird nur noch gezählt.");
    }
    FLogFullNoted = true;
}

void TPOP3Conversation::NoteWhatWasNotShown()
{
    const uint64_t Cut = FLineLimiter.TakeDropped();
    if (Cut > 0)
        AppendLog(TLogEntryKind::Note,
            "Brieflotse: Eine Zeile war länger als " + GroupedCount(FLineLimiter.MaxLine()) + " Bytes; weitere "
                + GroupedCount(Cut) + " Bytes dieser Zeile wurden empfangen, aber nicht angezeigt.");
    if (FNotShownBytes > 0)
        AppendLog(TLogEntryKind::Note,
            "Brieflotse: Das Protokoll ist voll; weitere " + GroupedCount(FNotShownBytes)
                + " Bytes wurden empfangen, aber nicht angezeigt. Löschen Sie das Protokoll (Optionen, Protokoll "
                  "löschen, jetzt), um wieder alles zu sehen.");
    FNotShownBytes = 0;
}

bool TPOP3Conversation::ReadLine(std::string& Line)
{
    std::string Text;
    size_t End = std::string::npos;
    while (End == std::string::npos) {
        // Each search starts where the previous one ended (less the one byte
        // that may be a CR), so a long line costs linear time.
        const size_t SearchFrom = Text.empty() ? 0 : Text.size() - 1;
        std::string Chunk;
        if (!ReceiveChunk(Chunk)) {
            FInput = std::move(Text);
            return false;
        }
        Text += Chunk;
        End = Text.find(kLineEnd, SearchFrom);
        ShowStatus("");
    }
    FInput = Text.substr(End + 2);
    Text.resize(End + 2);
    Line = std::move(Text);
    return true;
}

std::string TPOP3Conversation::ReadSingleLineReply()
{
    FLineLimiter.StartReply();
    std::string Reply;
    if (ReadLine(Reply))
        LogServerText(Reply, false);
    NoteWhatWasNotShown();
    return Reply;
}

std::string TPOP3Conversation::ReadMultiLineReply()
{
    FLineLimiter.StartReply();
    std::string Reply = ReadMultiLineReplyLimited();
    NoteWhatWasNotShown();
    return Reply;
}

std::string TPOP3Conversation::ReadMultiLineReplyLimited()
{
    // The status line with its line end, so that an empty one still shows
    // as a line of its own. No body follows a negative one; what came behind
    // it stays for the next read.
    std::string Reply;
    if (!ReadLine(Reply))
        return Reply;
    LogServerText(Reply, false);
    if (IsPositiveReply(Reply)) {
        ShowStatus("Empfängt Details ...");
        if (FKeepMessage)
            FRetrieved.Start(FLog.LineCount(), FLog.HasRoom() && FNotShownBytes == 0);
        ReadBody();
    }
    return Reply;
}

void TPOP3Conversation::ReadBody()
{
    std::string Rest;
    Rest.swap(FInput);
    std::string Behind;
    const bool Complete = CollectBody(
        Rest,
        [this](std::string& Chunk) {
            // A chunk the line limit swallowed whole is no end of the data.
            do {
                if (!ReceiveChunk(Chunk))
                    return false;
                ShowStatus("");
            } while (Chunk.empty());
            return true;
        },
        [this](const std::string& Lines) {
            KeepBody(Lines);
            LogServerText(Lines, true);
        },
        Behind);
    if (!Complete) {
        if (FKeepMessage)
            FRetrieved.Finish(false, false, false);
        FKeepMessage = false;
        // The unfinished line waits for the rest of the body (or is dropped
        // with the connection).
        FInput = std::move(Rest);
        return;
    }
    if (!Rest.empty()) {
        KeepBody(Rest);
        LogServerText(Rest, true);
    }
    // A line over the line limit lost bytes in the log and in the message.
    if (FKeepMessage)
        FRetrieved.Finish(true, FNotShownBytes == 0, FLineLimiter.Pending() > 0);
    FKeepMessage = false;
    // Data the server sent right behind the terminator is not left waiting
    // for a time-out: it is the next read's.
    FInput = std::move(Behind);
}

std::string TPOP3Conversation::ReadReplyTo(const TCommand& Command)
{
    std::string Reply = Command.MultiLine ? ReadMultiLineReply() : ReadSingleLineReply();
    if (FTimedOut && FTransport->Connected()) {
        FOwed.push_back({ Command, Command.MultiLine && !Reply.empty() });
        if (FOwed.size() > kMaxOwedReplies)
            FOwed.pop_front();
    }
    return Reply;
}

bool TPOP3Conversation::ReadOwedReplies()
{
    while (!FOwed.empty() && !FErrorFlag) {
        TOwedReply Owed = FOwed.front();
        FOwed.pop_front();
        const std::string Name = CommandForNote(Owed.Command);
        std::string Reply;
        if (Owed.InBody) {
            AppendLog(TLogEntryKind::Note, "Brieflotse: Der Rest der Antwort auf " + Name + " kam nach der Wartezeit:");
            FLineLimiter.StartReply();
            ReadBody();
            NoteWhatWasNotShown();
            Reply = "+OK\r\n";
        } else {
            AppendLog(TLogEntryKind::Note, "Brieflotse: Die Antwort auf " + Name + " kam nach der Wartezeit:");
            Reply = Owed.Command.MultiLine ? ReadMultiLineReply() : ReadSingleLineReply();
        }
        if (FErrorFlag) {
            // Still not all there: it stays owed, now perhaps inside its body.
            if (FTimedOut && FTransport->Connected()) {
                Owed.InBody = Owed.InBody || (Owed.Command.MultiLine && !Reply.empty());
                FOwed.push_front(Owed);
            }
            return false;
        }
        HandleQuitReply(Owed.Command, Reply);
        FLateCommand = Owed.Command;
        FLateReply = Reply;
    }
    return !FErrorFlag;
}

void TPOP3Conversation::LogUnaskedInput(std::string* First)
{
    // Bytes that belong to an owed reply are its, not unasked.
    if (!FOwed.empty() || !FTransport->Connected())
        return;
    const size_t End = FInput.rfind(kLineEnd);
    if (End == std::string::npos)
        return;
    const std::string Lines = FInput.substr(0, End + 2);
    FInput.erase(0, End + 2);
    if (First && First->empty())
        *First = Lines.substr(0, Lines.find(kLineEnd) + 2);
    if (!FUnaskedNoted && FLog.HasRoom())
        AppendLog(TLogEntryKind::Note, "Brieflotse: Unerwartete Daten, keine Antwort auf ein Kommando:");
    FUnaskedNoted = true;
    LogServerText(Lines, false);
}

void TPOP3Conversation::FlushUnaskedInput()
{
    LogUnaskedInput();
    if (FInput.empty() || !FOwed.empty())
        return;
    // An unfinished line is shown as far as it came, so nothing is lost and
    // nothing is taken for the next reply.
    if (!FUnaskedNoted && FLog.HasRoom())
        AppendLog(
            TLogEntryKind::Note, "Brieflotse: Unerwartete Daten, keine Antwort auf ein Kommando (ohne Zeilenende):");
    FUnaskedNoted = true;
    LogServerText(FInput + kLineEnd, false);
    FInput.clear();
}

void TPOP3Conversation::EndLostConnection()
{
    FPeerGone = false;
    // A failed read or send cut a reply short; otherwise the last reply was
    // whole and its guidance still holds.
    const bool CutShort = FErrorFlag;
    // An orderly close says nothing beyond the text below; a reset leads with its error.
    const std::string Lead = !CutShort ? FLastGuidance.Text : FClosedInOrder ? std::string() : FErrorMessage;
    FClosedInOrder = false;
    FInput.clear();
    FOwed.clear();
    if (FTransport->Connected())
        CloseConnection("Brieflotse: Der Server hat die Verbindung beendet.");
    const TGuidance Guidance = ServerEndedGuidance(FTransport->TargetHost(), CutShort, Lead);
    FLastGuidance = Guidance;
    ShowGuidanceText(Guidance.Text, Guidance.IsError);
}

void TPOP3Conversation::KeepBody(const std::string& Lines)
{
    if (FKeepMessage)
        FRetrieved.Add(Lines);
    if (FKeepBody && FKeptBody.size() < FKeepLimit)
        FKeptBody.append(Lines, 0, FKeepLimit - FKeptBody.size());
}

void TPOP3Conversation::HandleQuitReply(const TCommand& Command, const std::string& Reply)
{
    if (Command.Kind == TCommandKind::Quit && IsPositiveReply(Reply))
        CloseConnection("Brieflotse: Verbindung mit QUIT beendet.");
}

void TPOP3Conversation::CloseConnection(const std::string& Note)
{
    FAwaitingAnswer = false;
    FSasl.reset();
    // Whole lines that came behind the last reply are shown before the end.
    LogUnaskedInput();
    FOwed.clear();
    FInput.clear();
    if (!Note.empty() && FTransport->Connected())
        AppendLog(TLogEntryKind::Note, Note);
    ShowStatus("Trennt von " + FTransport->TargetHost() + " ...");
    FTransport->Disconnect();
    FView.SetConnectedState(false);
    ShowStatus(".");
}

void TPOP3Conversation::WinsockError(const std::string& Origin, int32_t Code, const std::string& Description)
{
    (void)Origin;
    if (FErrorFlag)
        return;
    FErrorFlag = true;
    FTimedOut = Code == kWinsockTimedOut;
    // Only a connection that was open can be lost (not one being made).
    if (MeansPeerGone(Code) && FView.CommandFieldEnabled())
        FPeerGone = true;
    char Number[16];
    std::snprintf(Number, sizeof Number, "%d", static_cast<int>(Code));
    FErrorMessage = "Winsock-Fehler: " + std::string(Number) + " - " + Description;
    EndFailedTls(Code, Description);
    ShowGuidance(TCommand(), "");
    ShowStatus(".");
}

void TPOP3Conversation::EndFailedTls(int32_t Code, const std::string& Description)
{
    FTlsFailed = IsTlsFailure(Code);
    if (!FTlsFailed)
        return;
    const std::string& Reason = FTransport->TlsFailureReason();
    AppendLog(TLogEntryKind::Tls,
        "Brieflotse: TLS gescheitert, "
            + (Reason.empty() ? "ohne Grund von OpenSSL (" + Description + ")."
                              : "OpenSSL nennt als Grund: \"" + Reason + "\"."));
    // A session that failed after its handshake cannot go on; a failed
    // handshake is closed by the socket itself.
    if (FTransport->Encrypted())
        CloseConnection();
}
