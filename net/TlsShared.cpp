#include "net/TlsShared.h"

#include <cstdio>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

std::string CertificateFingerprint(const x509_st* Certificate)
{
    unsigned char Digest[EVP_MAX_MD_SIZE];
    unsigned int Size = 0;
    if (!Certificate || X509_digest(Certificate, EVP_sha256(), Digest, &Size) != 1)
        return {};
    std::string Text;
    char Part[4];
    for (unsigned int Index = 0; Index < Size; ++Index) {
        std::snprintf(Part, sizeof Part, Index ? ":%02X" : "%02X", Digest[Index]);
        Text += Part;
    }
    return Text;
}

std::string TlsReasonText(unsigned long Error)
{
    const char* Text = Error ? ERR_reason_error_string(Error) : nullptr;
    return Text ? Text : "";
}

TTlsOutcome ClassifyTlsResult(const ssl_st* Ssl, int Result)
{
    TTlsOutcome Outcome;
    Outcome.SslError = SSL_get_error(Ssl, Result);
    Outcome.Queued = ERR_peek_error();
    Outcome.Reason = TlsReasonText(Outcome.Queued);
    switch (Outcome.SslError) {
    case SSL_ERROR_WANT_READ:
        Outcome.Step = tlsWantRead;
        break;
    case SSL_ERROR_WANT_WRITE:
        Outcome.Step = tlsWantWrite;
        break;
    case SSL_ERROR_ZERO_RETURN:
        Outcome.Step = tlsClosed;
        break;
    default:
        Outcome.Step = tlsFailed;
        break;
    }
    return Outcome;
}
