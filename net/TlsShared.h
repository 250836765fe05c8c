#pragma once

// What the client's TLS session and the practice server's connections share
// of OpenSSL: a certificate's fingerprint as the log shows it, and what a
// handshake, SSL_read or SSL_write that did not complete means. OpenSSL's
// types are only declared here; its headers stay out.

#include <string>

#include "net/TlsSession.h"

struct ssl_st;
struct x509_st;
struct X509_name_st;

// SHA-256 of the certificate's DER, "AB:01:..." (95 characters); empty if
// OpenSSL cannot compute it.
std::string CertificateFingerprint(const x509_st* Certificate);
// A subject or issuer as "CN=..., O=...", UTF-8 kept as it is.
std::string CertificateNameText(const X509_name_st* Name);

// OpenSSL's reason text for a queued error; empty for none or an unknown one.
std::string TlsReasonText(unsigned long Error);

struct TTlsOutcome {
    // tlsWantRead, tlsWantWrite, tlsClosed (close_notify came) or tlsFailed.
    TTlsStep Step = tlsFailed;
    int SslError = 0; // SSL_get_error()'s code, for rules finer than Step
    unsigned long Queued = 0; // the first error in OpenSSL's queue, 0 for none
    std::string Reason; // its reason text, may be empty
};

// Right after the call on Ssl that returned Result (not a success); clear
// OpenSSL's error queue before that call, or old errors count.
TTlsOutcome ClassifyTlsResult(const ssl_st* Ssl, int Result);
