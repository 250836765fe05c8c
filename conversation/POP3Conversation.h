#pragma once

// The POP3 conversation of the main window: one connection at a time through
// the socket component, one exchange per user action, each action in the same
// frame (clear the error flag, busy cursor, status text of the step, the work,
// idle status, normal cursor). The window forwards its buttons here and shows
// what the conversation tells it through TConversationView.

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "auth/SaslClient.h"
#include "conversation/Capabilities.h"
#include "conversation/Command.h"
#include "conversation/ConversationView.h"
#include "conversation/GuidanceTexts.h"
#include "conversation/LogSink.h"
#include "conversation/ReplyRules.h"
#include "conversation/RetrievedMessage.h"
#include "net/SmartWinsock.h"
#include "net/StreamTransport.h"
#include "transcript/Transcript.h"

class TPOP3Conversation {
public:
    // Whatever a server sends, one line is held in memory up to this size;
    // the rest of a longer line is counted and noted in the log. Large enough
    // for a message that is one 50 MB line.
    static constexpr size_t kMaxLineBytes = 64 * 1024 * 1024;

    // The socket component is owned by the conversation: TargetPort "pop3",
    // Timeout 30, OnError bound to WinsockError. View and Log outlive it.
    TPOP3Conversation(TConversationView& View, TLogSink& Log);
    // Talks through Transport instead (tests), which must outlive the
    // conversation; it gets the same settings, the owned socket stays idle.
    TPOP3Conversation(TConversationView& View, TLogSink& Log, TStreamTransport& Transport);
    ~TPOP3Conversation();

    TPOP3Conversation(const TPOP3Conversation&) = delete;
    TPOP3Conversation& operator=(const TPOP3Conversation&) = delete;

    TStreamTransport& Transport() { return *FTransport; }

    // The connection, as the window and the tests see it.
    bool Connected() const { return FTransport->Connected(); }
    // Seconds each wait for the server lasts at most (menu "Timeout").
    int WaitTimeout() const { return FTransport->Timeout(); }
    void SetWaitTimeout(int Seconds) { FTransport->SetTimeout(Seconds); }
    // Runs while an action waits: the window repaints and takes a stop there.
    void SetWaitHook(std::function<void()> Hook) { FTransport->SetWaitHook(std::move(Hook)); }
    // The socket to watch for data between actions (-1 when none).
    int SocketHandle() const { return FTransport->SocketHandle(); }
    // The watched socket became readable between actions: unasked data is
    // logged, an orderly close reported. False when nothing more can come
    // before the next action (closed or failed): stop watching until then.
    bool SocketReadable();
    // Used with an address that names no port (the last one stays in force).
    void SetServerPort(const std::string& Port) { FTransport->SetTargetPort(Port); }
    // Closes the connection without a word to the log or the window, as a
    // line that went dead would (tests, tear-down).
    void DropConnection() { FTransport->Disconnect(); }
    // Since the program started; the counters shown begin at the bases below.
    int64_t BytesSent() const { return FTransport->BytesSent(); }
    int64_t BytesReceived() const { return FTransport->BytesReceived(); }

    // User actions.
    void ButtonVerbindenClick(const std::string& HostText); // connect action
    // The next connection's guidance after the greeting asks for STLS first
    // (the finder chose the server for it); the connect action uses it up.
    void AdviseStlsFirst() { FStlsFirst = true; }
    void ButtonTrennenClick(); // asks first
    void SendAction(const std::string& CommandText); // send action of the "Senden" button
    // A reply as Exchange gives it: the status line and, for a positive
    // multi-line reply, its body as sent (dot-stuffed, with the final ".").
    struct TExchangeReply {
        std::string Status;
        std::string Body;
    };
    // One action for a program of its own (the mailbox map): Lines go out in
    // one write (pipelined, for a server that lists PIPELINING), the replies
    // are read in order, everything through the log as typed commands are.
    // Ends at the first reply that did not come; bodies are kept up to
    // MaxBody bytes each.
    std::vector<TExchangeReply> Exchange(const std::vector<std::string>& Lines, size_t MaxBody);
    // Told after each reply to a command sent with "Senden" (DELE, RSET ...).
    void SetReplyObserver(std::function<void(const TCommand&, const std::string&)> Observer)
    {
        FReplyObserver = std::move(Observer);
    }
    bool FormCloseQuery(); // may the window close?
    void ResetCounters(); // menu "&jetzt" under "&Zähler löschen"

    // Ends the wait of the running action (called from the waiting hook): the
    // action ends, the connection is closed, the guidance says why.
    void Stop();

    // Called when the socket has become readable while no action runs: a
    // reply that came after its wait ran out, or data nobody asked for.
    void PollUnexpectedData();
    // The server closed the connection between actions: the window goes
    // offline and says so.
    void ReportServerClosed();
    // Unasked data came within the last second: Escape stops it like a wait,
    // StopUnasked closes the connection as a stopped wait does.
    bool ReceivingUnasked() const;
    void StopUnasked();

    // Steps, public for tests and for the window.
    void ShowStatus(const std::string& Text);
    // Addition (if any) follows the chosen text as a paragraph of its own.
    void ShowGuidance(const TCommand& Command, const std::string& Reply, const std::string& Addition = "");
    void ShowGuidance(TGuidanceEvent Event, const std::string& Reply, const std::string& Addition = "");
    void SendCommand(const std::string& Line);
    // Sends Line, read already as Command (its secret masked in the log).
    void SendCommand(const std::string& Line, const TCommand& Command);
    // A line inside an AUTH exchange: sent as typed, masked in the log.
    void SendAnswer(const std::string& Line);
    std::string ReadSingleLineReply();
    std::string ReadMultiLineReply();
    std::string ReadMultiLineReplyLimited();
    void HandleQuitReply(const TCommand& Command, const std::string& Reply);
    // Closes the connection; Note, a grey line of the program's own, marks
    // the end of the connection in the log.
    void CloseConnection(const std::string& Note = "Brieflotse: Verbindung getrennt.");
    void WinsockError(const std::string& Origin, int32_t Code, const std::string& Description);

    // What the server said of itself: its greeting (bounded) and its answer
    // to the last CAPA on this connection.
    const std::string& Greeting() const { return FGreeting; }
    const TCapabilities& Capabilities() const { return FCapabilities; }
    // The last reply was a "+ " continuation: the next line sent is an answer
    // inside the AUTH exchange, not a command.
    bool AwaitingAnswer() const { return FAwaitingAnswer; }
    // Commands whose reply did not come within the wait, oldest first.
    size_t OwedReplies() const { return FOwed.size(); }

    // The assistant's log-in: the next AUTH command sent is answered by Client
    // through all its rounds within the same action, each step explained in
    // the log. Dropped when the exchange ends, another command is sent or the
    // connection closes. StartExplanation says what the AUTH line carried.
    void SetSaslClient(std::unique_ptr<TSaslClient> Client, const std::string& StartExplanation);

    // The body of the last positive RETR or TOP that arrived whole.
    const TRetrievedMessage& Retrieved() const { return FRetrieved; }
    // The log was cleared by the window: its lines no longer fit the message.
    void ForgetLogLines() { FRetrieved.ForgetLogLines(); }

    // A smaller line limit, so that tests reach it in a few seconds.
    void SetMaxLineBytes(size_t Bytes) { FLineLimiter = TLineLimiter(Bytes); }

    // Every connection of this session as sent, received, noted and guided;
    // the window saves it, the script mode writes it.
    const TTranscript& Transcript() const { return FTranscript; }
    void ClearTranscript() { FTranscript.Clear(); }

    // Conversation state.
    bool ErrorFlag() const { return FErrorFlag; }
    const std::string& ErrorMessage() const { return FErrorMessage; }
    const std::string& LastStatus() const { return FLastStatus; }
    bool Busy() const { return FBusy; }
    int64_t SentBase() const { return FSentBase; }
    int64_t ReceivedBase() const { return FReceivedBase; }

private:
    // A command whose reply did not come within the wait. POP3 answers in
    // order, so the next reply to arrive is still this command's.
    struct TOwedReply {
        TCommand Command;
        bool InBody = false; // the status line had arrived, the body had not ended
    };

    bool BeginAction();
    void EndAction();
    // One chunk: what an earlier read left over, else from the socket; false
    // when nothing came (an error was reported, or the user stopped).
    bool ReceiveChunk(std::string& Chunk);
    // Reads the next line (with its CR LF) into Line; what came behind it
    // stays for the next read. False when reading failed: what arrived of the
    // line stays for the next read too.
    bool ReadLine(std::string& Line);
    // The body of a positive multi-line reply, logged as it comes.
    void ReadBody();
    // Reads the replies still owed, each after a grey note naming its
    // command; false when one is still missing.
    bool ReadOwedReplies();
    // Reads one reply to Line; a wait that runs out leaves it owed.
    std::string ReadReplyTo(const TCommand& Command);
    // Complete lines nobody asked for are logged (with one note per idle
    // spell); an unfinished one stays for the next read.
    void LogUnaskedInput(std::string* First = nullptr);
    // Whatever is left over is logged before the connection's next use or end.
    void FlushUnaskedInput();
    // The server is gone (closed or reset): offline, a note, the guidance.
    void EndLostConnection();
    TGuidanceContext GuidanceContext() const;
    // Shows the guidance (Addition, if any, as a paragraph of its own) and
    // keeps it for what may follow the reply.
    void PresentGuidance(const TGuidance& Guidance, const std::string& Addition);
    // Keeps the window answering Escape while data streams in without a wait.
    void KeepResponsive();
    // The guidance for the last reply that came after its wait.
    void ShowLateReplyGuidance();
    // After a handshake: the details to the log, then the certificate's
    // check, the user deciding on a failed one. False: the connection is closed.
    bool AcceptEncryption();
    // The addresses tried at the last connect, and the one connected to.
    void NoteConnectAttempts();
    // The reply to STLS: on "+OK" TLS starts on the same connection. Behind:
    // what came after the reply in the same read.
    void HandleStlsReply(const std::string& Reply, std::string& Behind);
    // True: Line is not sent (STLS inside TLS, or a password in clear text
    // that the user did not let go to another machine).
    bool HoldBack(const TCommand& Command);
    bool PasswordCrossesNetwork() const;
    // TLS only counts for the status once the user accepted the certificate.
    bool Encrypted() const { return FTlsAccepted && FTransport->Encrypted(); }
    // After a TLS failure: OpenSSL's reason to the log; a broken session is closed.
    void EndFailedTls(int32_t Code, const std::string& Description);
    // Server text to the log while it has room; counted otherwise.
    void LogServerText(const std::string& Text, bool IsBody);
    // After a reply: a note in the log for whatever was received but not shown.
    void NoteWhatWasNotShown();

    // After a reply: what it means for the AUTH exchange and the capabilities.
    void KeepBody(const std::string& Lines);
    void NoteReply(const TCommand& Command, const std::string& Reply);
    // The guidance after a reply to Command (an answer inside AUTH counts as AUTH).
    void GuideReply(const TCommand& Command, const std::string& Reply);
    // Lets the assistant's SASL client answer every continuation; Reply
    // becomes the reply that ended the exchange.
    void AnswerContinuations(std::string& Reply);
    // The assistant's XOAUTH2 or OAUTHBEARER refused at once with its initial
    // response: once more in two steps (Microsoft's servers want it so).
    void RetryInTwoSteps(std::string& Reply);

    TConversationView& FView;
    TLogSink& FLog;
    std::string FGreeting;
    TCapabilities FCapabilities;
    bool FAwaitingAnswer = false;
    TCommand FAuthCommand; // the AUTH command the answers belong to
    std::unique_ptr<TSaslClient> FSasl;
    std::string FSaslSummary; // the last step's explanation, for the guidance
    TServerProof FServerProof = TServerProof::NotAsked; // of the exchange that just ended
    // The body of a CAPA answer, kept (bounded) for its guidance.
    bool FKeepBody = false;
    std::string FKeptBody;
    size_t FKeepLimit = 0; // bytes of FKeptBody
    std::function<void(const TCommand&, const std::string&)> FReplyObserver;
    // The reply being read is RETR's or TOP's: its body is kept in FRetrieved.
    bool FKeepMessage = false;
    TRetrievedMessage FRetrieved;
    TSmartWinsock FWinsock;
    TStreamTransport* FTransport; // FWinsock or the one handed in
    bool FErrorFlag = false;
    std::string FErrorMessage;
    std::string FLastStatus;
    bool FBusy = false;
    bool FStopped = false; // the user stopped the running action
    bool FTlsAccepted = false; // the certificate of this connection's TLS was accepted
    bool FTlsFailed = false; // the last error ended TLS, and with it the connection
    bool FClearTextAgreed = false; // to a password in clear text on this connection
    bool FStlsFirst = false; // see AdviseStlsFirst
    TLineLimiter FLineLimiter { kMaxLineBytes };
    uint64_t FNotShownBytes = 0; // received while the log was full
    bool FLogFullNoted = false; // unasked data: one note when the log is full
    std::deque<TOwedReply> FOwed;
    std::string FInput; // received, not read yet (behind a reply, an owed reply's start)
    bool FUnaskedNoted = false; // the note before unasked data, once between actions
    bool FPeerGone = false; // a read or send found the server gone
    bool FClosedInOrder = false; // ... by an orderly close, not a reset
    bool FTimedOut = false; // the last wait ran out
    bool FReadingUnasked = false;
    TGuidance FLastGuidance; // the reply's guidance, for what follows it
    TCommand FLateCommand; // the last owed reply that came, and its command
    std::string FLateReply;
    std::chrono::steady_clock::time_point FLastResponsive;
    std::chrono::steady_clock::time_point FLastUnasked; // the end of the last unasked read
    void EndStoppedAction();
    // The log and the guidance panel, each entry also recorded in the transcript.
    void AppendLog(TLogEntryKind Kind, const std::string& Text);
    void ShowGuidanceText(const std::string& Text, bool IsError);
    void RecordPipelined(const std::vector<std::string>& Lines, const std::vector<TCommand>& Commands);
    TTranscript FTranscript;
    int64_t FSentBase = 0;
    int64_t FReceivedBase = 0;
};
