#pragma once

// The practice server's TLS side: a self-signed certificate for "localhost"
// and 127.0.0.1, made in memory at start and valid for a few days, and the
// OpenSSL server context that presents it. No CA vouches for it, so clients
// that check certificates ask their user first - which is what the practice
// server wants to be practised.

#include <string>

struct ssl_ctx_st;
struct ssl_st;

class TPracticeTls {
public:
    TPracticeTls();
    ~TPracticeTls();
    TPracticeTls(const TPracticeTls&) = delete;
    TPracticeTls& operator=(const TPracticeTls&) = delete;

    // False when the key, certificate or context could not be made; Problem says why.
    bool Ready() const { return FContext != nullptr; }
    const std::string& Problem() const { return FProblem; }

    // A server session on a connected non-blocking socket; null on failure.
    ssl_st* NewSession(int Socket) const;
    // The certificate as PEM text and its SHA-256 fingerprint ("AB:CD:...").
    const std::string& CertificatePem() const { return FPem; }
    const std::string& Fingerprint() const { return FFingerprint; }

private:
    ssl_ctx_st* FContext = nullptr;
    std::string FPem;
    std::string FFingerprint;
    std::string FProblem;
};

// Ends a client's connection: the TLS session (with close_notify when
// Orderly, if the socket takes it now; never waits) and the socket; both are
// left empty.
void CloseClient(ssl_st*& Ssl, int& Socket, bool Orderly);
