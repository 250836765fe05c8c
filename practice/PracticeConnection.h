#pragma once

// One client of the practice server: its socket (plain, or TLS from the first
// byte or after STLS), the line it is sending and the answer going out. Driven
// by the server's poll loop; nothing in here waits.
//
// Bounded for hostile clients: a line is held up to the session's limit (a
// longer one is refused and dropped up to its end), at most 64 KB of an
// answer are prepared at a time and no further command is read while an
// answer is still going out, so a client that never reads holds the server to
// a fixed amount of memory. A client silent for the idle time is cut off, and
// so is one that takes too long over a command line, a TLS handshake or its
// first command: slow clients cannot hold the server's few connections.

#include <chrono>
#include <string>

#include "net/TlsSession.h"
#include "practice/PracticeLoop.h"
#include "practice/PracticeSession.h"

class TPracticeTls;
struct ssl_st;

// How long a client may take.
struct TPracticeTimes {
    std::chrono::seconds Idle { 600 }; // silence
    std::chrono::seconds Line { 60 }; // a command line from its first byte, a TLS handshake
    std::chrono::seconds FirstCommand { 300 }; // from the connection to its first command line
};

class TPracticeConnection : public TPracticeClient {
public:
    // Takes over Socket (non-blocking). With ImplicitTls the handshake comes
    // before the greeting.
    TPracticeConnection(int Socket, bool ImplicitTls, const TPracticeTls* Tls, const TPracticeSetup& Setup,
        const TPracticeTimes& Times);
    ~TPracticeConnection() override;
    TPracticeConnection(const TPracticeConnection&) = delete;
    TPracticeConnection& operator=(const TPracticeConnection&) = delete;

    int Socket() const override { return FSocket; }
    // What poll() should wait for; 0 while an answer is held back.
    short Events() const override;
    // When Service() is due without any socket event (held answer, idle end).
    TClock::time_point Deadline() const override;
    // Does what the socket allows now.
    void Service() override;
    // True when work is left that no socket event will announce: at the
    // start (the greeting), after a busy turn, decrypted bytes inside OpenSSL.
    bool Due() const override { return FDue; }
    bool Finished() const override { return FFinished; }

private:
    bool Step();
    void Queue(const TPracticeAnswer& Answer);
    void FillOutput();
    bool TakeLine(std::string& Line);
    void Finish(bool Orderly);
    // Ends the connection with a last word, if the socket takes it now.
    void CutOff(const char* Text);
    void StartHandshake();
    // The earliest of the limits that apply now (not the idle time).
    TClock::time_point TooSlowAt() const;
    TTlsStep Read(char* Buffer, int Size, int& Count);
    TTlsStep Write(const char* Data, int Size, int& Count);
    TTlsStep Handshake();
    bool Pending() const;

    int FSocket;
    const TPracticeTls* FTls;
    ssl_st* FSsl = nullptr;
    TPracticeSession FSession;
    TPracticeTimes FTimes;
    TClock::time_point FLastActivity;
    TClock::time_point FHoldUntil;
    TClock::time_point FFirstCommandBy;
    TClock::time_point FHandshakeBy;
    TClock::time_point FLineBy;
    bool FAwaitingFirst = true;
    bool FLineOpen = false; // part of a line has come (or one is being dropped)
    bool FAnswering = false; // an answer went out since the line clock last started
    bool FHeld = false; // an answer waits for FHoldUntil
    bool FHandshaking = false;
    bool FWantWrite = false; // the last step waits for the socket to take data
    bool FFinished = false;
    bool FDue = true;
    bool FDiscarding = false; // dropping the rest of a line that was too long
    std::string FIn;
    std::string FOut;
    size_t FOutSent = 0;
    TPracticeBody FBody;
    size_t FBodySent = 0;
    bool FAtLineStart = true;
    TPracticeAfter FAfter = TPracticeAfter::Nothing;
};
