#pragma once

// OpenSSL behind a small surface. TSmartWinsock drives every step from its own
// wait loop; nothing in here waits: each call does what the socket allows now
// and says what it needs next.

#include <cstdint>
#include <string>

#include "net/TlsInfo.h"

struct ssl_st;
struct ssl_ctx_st;

enum TTlsStep { tlsDone, tlsWantRead, tlsWantWrite, tlsClosed, tlsFailed };

class TTlsSession {
public:
    // A client session on a connected non-blocking socket; Host (no brackets)
    // goes into SNI unless it is an address, and is what the certificate must
    // name. On failure Ready() is false and FailureCode() says why.
    TTlsSession(int Socket, const std::string& Host);
    ~TTlsSession();
    TTlsSession(const TTlsSession&) = delete;
    TTlsSession& operator=(const TTlsSession&) = delete;

    bool Ready() const { return FSsl != nullptr; }
    bool Established() const { return FEstablished; }
    // Established, and no failure or end of stream since.
    bool Sound() const { return FEstablished && !FBroken; }

    TTlsStep Handshake();
    TTlsStep Read(void* Buffer, int32_t Size, int32_t& Count);
    TTlsStep Write(const void* Buffer, int32_t Count, int32_t& Written);
    // Takes in the records the socket holds without consuming data.
    TTlsStep Peek();
    // Decrypted bytes waiting inside OpenSSL.
    int32_t Pending() const;
    // Sends close_notify if the session is still sound; never waits.
    void Close();

    // After tlsFailed: a WinSock-style code and OpenSSL's reason (may be empty).
    int32_t FailureCode() const { return FFailureCode; }
    const std::string& FailureReason() const { return FFailureReason; }

    // Once established: protocol, cipher, certificate and its check.
    TTlsInfo Info() const;

private:
    TTlsStep Classify(int Result, int SavedErrno);
    TTlsStep Fail(int32_t Code, const std::string& Reason);

    ssl_ctx_st* FContext = nullptr;
    ssl_st* FSsl = nullptr;
    bool FEstablished = false;
    bool FBroken = false;
    int32_t FFailureCode = 0;
    std::string FFailureReason;
};
