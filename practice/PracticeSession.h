#pragma once

// One POP3 conversation of the practice server, without any I/O: it takes
// command lines and gives the bytes to answer with and what to do after them.
// States as in RFC 1939 (authorization, transaction, update); deletions only
// mark messages and take effect at QUIT, on this session's own view of the
// mailbox, so the next session sees all messages again.

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "practice/PracticeFault.h"
#include "practice/PracticeMailbox.h"

// A stretch of a message to send after the status line, dot-stuffed on the way.
struct TPracticeBody {
    const std::string* Text = nullptr; // none when null
    size_t End = 0; // bytes of Text to send
    bool Terminate = true; // the "." line after it (not when the connection drops)
};

enum class TPracticeAfter { Nothing, StartTls, Close, Drop };

struct TPracticeAnswer {
    std::string Lines; // the status line and short multi-line answers, as on the wire
    TPracticeBody Body;
    TPracticeAfter After = TPracticeAfter::Nothing;
    int DelayMs = 0; // hold the answer back this long
};

// When the last log-in happened, shared by all sessions of one server for the
// [LOGIN-DELAY] fault. Choosing that fault counts as a log-in, so the very
// next one is refused.
class TPracticeLoginClock {
public:
    using TClock = std::chrono::steady_clock;
    void Record();
    // True when at least Seconds have passed since the last log-in.
    bool Allows(int Seconds) const;

private:
    mutable std::mutex FLock;
    TClock::time_point FLast {};
    bool FAny = false;
};

struct TPracticeSetup {
    TPracticeFault Fault = TPracticeFault::None;
    bool Encrypted = false; // connected to the TLS port
    bool TlsOffered = false; // STLS is available
    int SlowMs = 12000; // the delay of every answer with TPracticeFault::Slow
    int LoginDelaySeconds = 20; // with TPracticeFault::LoginDelay
    TPracticeLoginClock* LoginClock = nullptr;
    // Told (on the worker thread) as each exchange starts - the greeting or a
    // command line - and whenever the session's fault shows in it.
    std::function<void()> OnExchange;
    std::function<void(TPracticeFault)> OnFault;
};

class TSaslServer;

class TPracticeSession {
public:
    explicit TPracticeSession(
        const TPracticeSetup& Setup, const TPracticeMailbox& Mailbox = TPracticeMailbox::Sample());
    ~TPracticeSession();
    TPracticeSession(const TPracticeSession&) = delete;
    TPracticeSession& operator=(const TPracticeSession&) = delete;

    TPracticeAnswer Greeting();
    // One line as received, without its CR LF.
    TPracticeAnswer Answer(const std::string& Line);
    // The answer to a line longer than LineLimit(); its rest is dropped.
    TPracticeAnswer LineTooLong();
    // Octets a line may have, CR LF included: 256 for commands (one more than
    // RFC 2449 allows, for the program's 254-character command field),
    // more for the client's lines inside an AUTH exchange.
    size_t LineLimit() const;
    // The TLS handshake after STLS is through.
    void TlsStarted() { FEncrypted = true; }

    bool Authorized() const { return FState == TState::Transaction; }
    const std::string& Timestamp() const { return FTimestamp; }

private:
    enum class TState { Authorization, Transaction, Update };

    TPracticeAnswer Authorization(const std::string& Command, const std::string& Argument);
    TPracticeAnswer Transaction(const std::string& Command, const std::string& Argument);
    TPracticeAnswer Capabilities() const;
    TPracticeAnswer LogIn(const std::string& Name);
    TPracticeAnswer Apop(const std::string& Argument);
    TPracticeAnswer StartAuth(const std::string& Argument);
    TPracticeAnswer AuthStep(bool First, const std::string& Line);
    TPracticeAnswer Quit();
    TPracticeAnswer ListOrUidl(const std::string& Argument, bool Uidl) const;
    TPracticeAnswer Retrieve(const std::string& Argument);
    TPracticeAnswer Top(const std::string& Argument) const;
    // The message a number argument names; an error text in Problem otherwise.
    const TPracticeMessage* Find(const std::string& Argument, size_t& Number, std::string& Problem) const;
    void Show(TPracticeFault Fault) const;
    static TPracticeAnswer Ok(const std::string& Text);
    static TPracticeAnswer Err(const std::string& Text);

    TPracticeSetup FSetup;
    const TPracticeMailbox& FMailbox;
    TState FState = TState::Authorization;
    bool FEncrypted = false;
    std::string FUser; // after USER
    std::string FTimestamp; // the greeting's APOP timestamp, empty without
    std::vector<bool> FDeleted;
    std::unique_ptr<TSaslServer> FSasl; // during an AUTH exchange
};
