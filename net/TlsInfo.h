#pragma once

// What an encrypted connection tells about itself, for the window to show and
// to judge. The component finishes a handshake whatever the certificate check
// says; the window decides whether to go on (for instance once the user has
// trusted the certificate by its fingerprint) or to disconnect.

#include <cstdint>
#include <string>

// The certificate check, by what a user can act on.
enum TTlsVerifyResult {
    tvOk = 0,
    tvExpired = 1,
    tvNotYetValid = 2,
    tvWrongHost = 3, // valid, but for another name or address
    tvSelfSigned = 4, // the certificate signed itself and is not trusted
    tvUntrusted = 5, // unknown issuer, or a chain ending in an untrusted root
    tvOther = 6,
    tvIncompleteChain = 7 // the issuer is neither among the certificates sent nor in the store
};

struct TTlsInfo {
    std::string Protocol; // "TLSv1.3"
    std::string Cipher; // "TLS_AES_256_GCM_SHA384"
    std::string Subject; // "CN=localhost, O=Example"
    std::string Issuer;
    std::string NotBefore; // "2026-12-07 11:00:00 UTC"
    std::string NotAfter;
    std::string Fingerprint; // SHA-256 of the certificate, "AB:01:..." (95 characters)
    TTlsVerifyResult Verify = tvOther;
    int32_t VerifyCode = 0; // OpenSSL's X509_V_ number
    std::string VerifyText; // OpenSSL's English text for it
};
