// The POP3 conversation engine.
#include "conversation/POP3Conversation.h"

#include <cstdio>

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

} // namespace

TPOP3Conversation::TPOP3Conversation(TConversationView& View)
    : TPOP3Conversation(View, FWinsock)
{
}

TPOP3Conversation::TPOP3Conversation(TConversationView& View, TStreamTransport& Transport)
    : FView(View)
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

bool TPOP3Conversation::BeginAction()
{
    // A repaint during a wait may run the event loop; it must not start a
    // second action inside the running one.
    if (FBusy)
        return false;
    FErrorFlag = false;
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
    if (FTransport->Connected())
        CloseConnection();
    const TGuidance Guidance = StoppedGuidance(FTransport->TargetHost());
    FView.ShowGuidanceText(Guidance.Text, Guidance.IsError);
}

void TPOP3Conversation::EndAction()
{
    EndStoppedAction();
    ShowStatus(".");
    FBusy = false;
    FView.SetBusyCursor(false);
}

void TPOP3Conversation::ButtonVerbindenClick(const std::string& HostText)
{
    if (!BeginAction())
        return;
    FTransport->SetTargetHost(HostText);
    ShowStatus("Verbindet mit " + FTransport->TargetHost() + " ...");
    const bool Connected = FTransport->Connect();
    // Remembered as typed: its port and scheme reach the same server again.
    const std::string& HistoryEntry = HostText;
    if (!FErrorFlag && Connected) {
        const TConversationOptions Options = FView.Options();
        if (Options.ResetCounterAtConnect)
            ResetCounters();
        if (Options.ResetLogAtConnect)
            FView.ClearLog();
        if (FView.LogHasLines())
            FView.AppendToLog(kLineEnd, false, false);
        if (Options.ColorByConnection)
            FView.AdvanceServerColor();
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
                for (const std::string& Text :
                    { ConnectionSecurityText(FTransport->TlsDetails(), FTransport->TargetHost()),
                        ApopOfferText(GreetingTimestamp(FGreeting)) })
                    if (!Text.empty())
                        Additions += (Additions.empty() ? "" : "\r\n\r\n") + Text;
            ShowGuidance("CONN", Greeting, Additions);
        }
    }
    EndAction();
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
    CloseConnection();
    ShowGuidance("CONN", "-ERR");
    EndAction();
}

void TPOP3Conversation::SendAction(const std::string& CommandText)
{
    if (!BeginAction())
        return;
    ShowStatus("Sendet Kommando ...");
    // Inside an AUTH exchange the line is an answer (base64, "*"): its case
    // matters, it may carry the password, and it is no command to repeat.
    const bool IsAnswer = FAwaitingAnswer;
    std::string Line = CommandText;
    if (IsAnswer) {
        SendAnswer(Line);
    } else {
        if (FView.Options().UpperCaseCommands)
            Line = UpperCaseCommandWord(Line);
        if (!Line.empty())
            FView.AddCommandToHistory(Line);
        SendCommand(Line);
    }
    if (!FErrorFlag) {
        ShowStatus("Wartet auf Antwort ...");
        const bool MultiLine = !IsAnswer && ExpectsMultiLineReply(Line);
        FKeepBody = MultiLine && SplitCommand(Line).Word == "CAPA";
        FKeptBody.clear();
        std::string Reply = MultiLine ? ReadMultiLineReply() : ReadSingleLineReply();
        FKeepBody = false;
        HandleQuitReply(Line, Reply);
        NoteReply(Line, Reply, IsAnswer);
        const bool InAuth = IsAnswer || SplitCommand(Line).Word == "AUTH";
        if (InAuth && !IsAnswer)
            FAuthLine = Line;
        if (InAuth)
            AnswerContinuations(Reply);
        else
            SetSaslClient(nullptr, "");
        if (!IsAnswer && UpperAscii(Line) == "STLS")
            HandleStlsReply(Reply);
        else
            GuideReply(InAuth ? FAuthLine : Line, Reply);
    }
    if (FView.CommandFieldEnabled())
        FView.FocusCommandField();
    else
        FView.FocusHostField();
    EndAction();
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
    if (FTransport->BytesAvailable() <= 0 || FErrorFlag || FBusy)
        return;
    // Busy for the read, too: a repaint during its wait may bring us back here.
    FBusy = true;
    FView.SetBusyCursor(true);
    ShowStatus("Empfängt unerwartete Daten ...");
    const std::string Data = ReadSingleLineReply();
    ShowGuidance("OOPS", Data);
    EndStoppedAction();
    ShowStatus(".");
    FView.SetBusyCursor(false);
    FBusy = false;
}

void TPOP3Conversation::ReportServerClosed()
{
    const TGuidance Guidance = ServerClosedGuidance(FTransport->TargetHost());
    FView.ShowGuidanceText(Guidance.Text, Guidance.IsError);
}

void TPOP3Conversation::ShowStatus(const std::string& Text)
{
    const TStatusLine Line = DecideStatusLine(
        Text, FTransport->Connected(), FTransport->TargetHost(), FErrorFlag, FErrorMessage, FTransport->Encrypted());
    if (Line.SetsTitle)
        FView.ShowWindowTitle(Line.Title);
    FView.ShowStatusPicture(Line.Picture);
    if (!Line.Text.empty()) {
        FView.ShowStatusText(Line.Text);
        FLastStatus = Line.Text;
    }
    FView.ShowByteCounters(FTransport->BytesSent() - FSentBase, FTransport->BytesReceived() - FReceivedBase);
}

void TPOP3Conversation::ShowGuidance(const std::string& Line, const std::string& Reply, const std::string& Addition)
{
    TGuidanceContext Context;
    Context.ErrorFlag = FErrorFlag;
    Context.Connected = FTransport->Connected();
    Context.ErrorMessage = FErrorMessage;
    Context.TargetHost = FTransport->TargetHost();
    const TGuidance Guidance = ChooseGuidance(Line, Reply, Context);
    // A socket error says everything there is to say.
    const bool Adds = !Addition.empty() && !FErrorFlag;
    FView.ShowGuidanceText(Adds ? Guidance.Text + "\r\n\r\n" + Addition : Guidance.Text, Guidance.IsError);
}

void TPOP3Conversation::NoteReply(const std::string& Line, const std::string& Reply, bool WasAnswer)
{
    const bool Continues = !FErrorFlag && IsContinuationReply(Reply) && (WasAnswer || SplitCommand(Line).Word == "AUTH")
        && FTransport->Connected();
    FAwaitingAnswer = Continues;
    if (Continues) {
        const std::string Challenge = ContinuationData(Reply);
        if (!Challenge.empty())
            FView.AppendNoteToLog("Brieflotse: Der Server fragt (Base64 dekodiert): " + ChallengeForLog(Challenge));
    }
    if (!FErrorFlag && !WasAnswer && SplitCommand(Line).Word == "CAPA" && IsPositiveReply(Reply))
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
        FView.AppendNoteToLog("Brieflotse: " + Step.Explanation);
        FSaslSummary = Step.Explanation;
        SendAnswer(Step.Line);
        if (FErrorFlag)
            break;
        ShowStatus("Wartet auf Antwort ...");
        Reply = ReadSingleLineReply();
        NoteReply("", Reply, true);
    }
    // The exchange is over once the server no longer asks (or the client gave up).
    if (!FAwaitingAnswer)
        FSasl.reset();
}

void TPOP3Conversation::GuideReply(const std::string& Line, const std::string& Reply)
{
    if (!FErrorFlag && SplitCommand(Line).Word == "CAPA" && IsPositiveReply(Reply))
        return FView.ShowGuidanceText(CapabilityGuidance(FCapabilities), false);
    // How the accepted log-in worked; a refused one needs no lesson on it.
    const bool Accepted = !FAwaitingAnswer && IsPositiveReply(Reply);
    ShowGuidance(Line, Reply, Accepted ? FSaslSummary : std::string());
    if (!FAwaitingAnswer)
        FSaslSummary.clear();
}

void TPOP3Conversation::SendAnswer(const std::string& Line)
{
    const std::string Data = Line + kLineEnd;
    if (!FErrorFlag)
        FTransport->SendString(Data);
    if (!FErrorFlag)
        FView.AppendToLog(kLineEnd + LogCopyOfAnswer(Data, FView.Options().HidePasswords), false, false);
}

void TPOP3Conversation::SendCommand(const std::string& Line)
{
    const std::string Data = Line + kLineEnd;
    if (!FErrorFlag)
        FTransport->SendString(Data);
    const std::string LogCopy = LogCopyOfCommand(Data, FView.Options().HidePasswords);
    if (!FErrorFlag)
        FView.AppendToLog(kLineEnd + LogCopy, false, false);
}

bool TPOP3Conversation::ReceiveChunk(std::string& Chunk)
{
    const int32_t Count = FTransport->ReceiveString(Chunk);
    // The server closed the connection in the middle of a reply: the socket
    // then only ever delivers empty reads.
    if (Count == 0 && !FErrorFlag)
        WinsockError("Winsock", kWinsockNotConnected, TSmartWinsock::ErrorText(kWinsockNotConnected));
    if (Count > 0)
        Chunk = FLineLimiter.Filter(Chunk);
    return Count > 0 && !FErrorFlag;
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
        FView.AppendNoteToLog(Note);
    const std::string Target = FTransport->TargetHost() + ":" + FTransport->TargetPortText();
    if (FView.AcceptCertificate(*Tls, Target))
        return true;
    const TTlsVerifyResult Result = Tls->Verify;
    CloseConnection();
    const TGuidance Guidance = CertificateRefusedGuidance(Result, FTransport->TargetHost());
    FView.ShowGuidanceText(Guidance.Text, Guidance.IsError);
    return false;
}

void TPOP3Conversation::HandleStlsReply(const std::string& Reply)
{
    if (FErrorFlag)
        return ShowGuidance("STLS", Reply);
    const bool Accepted = IsPositiveReply(Reply) && !FTransport->Encrypted();
    if (!Accepted) {
        const TGuidance Guidance = StlsGuidance(false, nullptr);
        FView.ShowGuidanceText(Guidance.Text, Guidance.IsError);
        return;
    }
    ShowStatus("Handelt TLS aus ...");
    if (!FTransport->StartTls()) {
        // A failed handshake leaves no usable connection.
        if (!FTransport->Connected())
            FView.SetConnectedState(false);
        return;
    }
    if (!AcceptEncryption())
        return;
    const TGuidance Guidance = StlsGuidance(true, FTransport->TlsDetails());
    FView.ShowGuidanceText(Guidance.Text, Guidance.IsError);
}

void TPOP3Conversation::LogServerText(const std::string& Text, bool IsBody)
{
    if (FView.LogHasRoom())
        FView.AppendToLog(Text, true, IsBody);
    else
        FNotShownBytes += Text.size();
}

void TPOP3Conversation::NoteWhatWasNotShown()
{
    const uint64_t Cut = FLineLimiter.TakeDropped();
    if (Cut > 0)
        FView.AppendNoteToLog("Brieflotse: Eine Zeile war länger als " + GroupedCount(FLineLimiter.MaxLine())
            + " Bytes; weitere " + GroupedCount(Cut) + " Bytes dieser Zeile wurden empfangen, aber nicht angezeigt.");
    if (FNotShownBytes > 0)
        FView.AppendNoteToLog("Brieflotse: Das Protokoll ist voll; weitere " + GroupedCount(FNotShownBytes)
            + " Bytes wurden empfangen, aber nicht angezeigt. Löschen Sie das Protokoll (Optionen, Protokoll "
              "löschen, jetzt), um wieder alles zu sehen.");
    FNotShownBytes = 0;
}

bool TPOP3Conversation::ReadToLineEnd(std::string& Text)
{
    while (!EndsWithLineEnd(Text) && !FErrorFlag) {
        std::string Chunk;
        ReceiveChunk(Chunk);
        Text += Chunk;
        ShowStatus("");
    }
    return !FErrorFlag;
}

std::string TPOP3Conversation::ReadSingleLineReply()
{
    FLineLimiter.StartReply();
    std::string Reply;
    if (ReadToLineEnd(Reply))
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
    std::string Reply;
    // Each search starts where the previous one ended (less the one byte
    // that may be a CR), so a long status line costs linear time.
    size_t StatusEnd = std::string::npos;
    while (StatusEnd == std::string::npos && !FErrorFlag) {
        const size_t SearchFrom = Reply.empty() ? 0 : Reply.size() - 1;
        std::string Chunk;
        ReceiveChunk(Chunk);
        Reply += Chunk;
        StatusEnd = Reply.find(kLineEnd, SearchFrom);
        ShowStatus("");
    }
    if (FErrorFlag)
        return Reply;
    // The status line with its line end, so that an empty one still shows
    // as a line of its own.
    LogServerText(Reply.substr(0, StatusEnd + 2), false);
    if (!IsPositiveReply(Reply)) {
        // No body follows. What came behind the status line in the same read
        // is not dropped: it is read on to a line end and logged, as the
        // single-line reader would.
        std::string Behind = Reply.substr(StatusEnd + 2);
        if (!Behind.empty() && ReadToLineEnd(Behind))
            LogServerText(Behind, false);
        return Reply;
    }
    ShowStatus("Empfängt Details ...");
    std::string Rest = Reply.substr(StatusEnd + 2);
    Reply.erase(StatusEnd + 2);
    std::string Behind;
    CollectBody(
        Rest,
        [this](std::string& Chunk) {
            // A chunk the line limit swallowed whole is no end of the data.
            do {
                if (FErrorFlag || !ReceiveChunk(Chunk))
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
    if (!FErrorFlag && !Rest.empty()) {
        KeepBody(Rest);
        LogServerText(Rest, true);
    }
    // Data the server sent right behind the terminator is not left waiting
    // for a time-out: it is read on to a line end and logged, as the
    // single-line reader would.
    if (!FErrorFlag && !Behind.empty() && ReadToLineEnd(Behind))
        LogServerText(Behind, false);
    return Reply;
}

void TPOP3Conversation::KeepBody(const std::string& Lines)
{
    if (FKeepBody && FKeptBody.size() < kMaxKeptBody)
        FKeptBody.append(Lines, 0, kMaxKeptBody - FKeptBody.size());
}

void TPOP3Conversation::HandleQuitReply(const std::string& Line, const std::string& Reply)
{
    if (IsAcceptedQuit(Line, Reply))
        CloseConnection();
}

void TPOP3Conversation::CloseConnection()
{
    FAwaitingAnswer = false;
    FSasl.reset();
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
    char Number[16];
    std::snprintf(Number, sizeof Number, "%d", static_cast<int>(Code));
    FErrorMessage = "Winsock-Fehler: " + std::string(Number) + " - " + Description;
    ShowGuidance("", "");
    ShowStatus(".");
}
