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

std::string CertificateNameText(const X509_name_st* Name)
{
    BIO* Out = BIO_new(BIO_s_mem());
    if (!Out)
        return {};
    // "CN=..., O=...", UTF-8 kept as it is.
    const unsigned long Flags
        = (ASN1_STRFLGS_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) | XN_FLAG_SEP_CPLUS_SPC | XN_FLAG_DN_REV | XN_FLAG_FN_SN;
    X509_NAME_print_ex(Out, Name, 0, Flags);
    char* Data = nullptr;
    const long Length = BIO_get_mem_data(Out, &Data);
    std::string Text(Data ? Data : "", Length > 0 ? static_cast<size_t>(Length) : 0);
    BIO_free(Out);
    return Text;
}
