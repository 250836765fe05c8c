#include "practice/PracticeTls.h"

#include "net/TlsShared.h"

#include <memory>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace {

template <typename T, void (*Free)(T*)> struct TFree {
    void operator()(T* Object) const { Free(Object); }
};
using TKey = std::unique_ptr<EVP_PKEY, TFree<EVP_PKEY, EVP_PKEY_free>>;
using TCertificate = std::unique_ptr<X509, TFree<X509, X509_free>>;

std::string OpenSslReason()
{
    char Text[256] = {};
    ERR_error_string_n(ERR_get_error(), Text, sizeof Text);
    return Text;
}

bool AddExtension(X509* Certificate, int Nid, const char* Value)
{
    X509V3_CTX Context;
    X509V3_set_ctx_nodb(&Context);
    X509V3_set_ctx(&Context, Certificate, Certificate, nullptr, nullptr, 0);
    X509_EXTENSION* Extension = X509V3_EXT_conf_nid(nullptr, &Context, Nid, Value);
    if (!Extension)
        return false;
    const bool Added = X509_add_ext(Certificate, Extension, -1) == 1;
    X509_EXTENSION_free(Extension);
    return Added;
}

// Valid from an hour ago (clocks differ a little) for three days.
TCertificate MakeCertificate(EVP_PKEY* Key)
{
    TCertificate Certificate(X509_new());
    if (!Certificate)
        return nullptr;
    unsigned char Serial[16];
    if (RAND_bytes(Serial, sizeof Serial) != 1)
        return nullptr;
    Serial[0] &= 0x7F; // positive
    BIGNUM* Number = BN_bin2bn(Serial, sizeof Serial, nullptr);
    const bool SerialSet = Number && BN_to_ASN1_INTEGER(Number, X509_get_serialNumber(Certificate.get()));
    BN_free(Number);
    X509_NAME* Name = X509_get_subject_name(Certificate.get());
    const bool Made = SerialSet && X509_set_version(Certificate.get(), 2) == 1
        && X509_gmtime_adj(X509_getm_notBefore(Certificate.get()), -3600)
        && X509_gmtime_adj(X509_getm_notAfter(Certificate.get()), 3L * 24 * 3600)
        && X509_set_pubkey(Certificate.get(), Key) == 1
        && X509_NAME_add_entry_by_txt(
               Name, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("Brieflotse-Uebungs-Server"), -1, -1, 0)
            == 1
        && X509_NAME_add_entry_by_txt(
               Name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0)
            == 1
        && X509_set_issuer_name(Certificate.get(), Name) == 1
        && AddExtension(Certificate.get(), NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1")
        && AddExtension(Certificate.get(), NID_basic_constraints, "critical,CA:FALSE")
        && AddExtension(Certificate.get(), NID_key_usage, "critical,digitalSignature")
        && AddExtension(Certificate.get(), NID_ext_key_usage, "serverAuth")
        && X509_sign(Certificate.get(), Key, EVP_sha256()) > 0;
    return Made ? std::move(Certificate) : nullptr;
}

std::string Pem(X509* Certificate)
{
    BIO* Memory = BIO_new(BIO_s_mem());
    std::string Text;
    if (Memory && PEM_write_bio_X509(Memory, Certificate) == 1) {
        char* Data = nullptr;
        const long Size = BIO_get_mem_data(Memory, &Data);
        Text.assign(Data, static_cast<size_t>(Size));
    }
    BIO_free(Memory);
    return Text;
}

} // namespace

TPracticeTls::TPracticeTls()
{
    TKey Key(EVP_EC_gen("P-256"));
    if (!Key) {
        FProblem = "no key: " + OpenSslReason();
        return;
    }
    TCertificate Certificate = MakeCertificate(Key.get());
    if (!Certificate) {
        FProblem = "no certificate: " + OpenSslReason();
        return;
    }
    SSL_CTX* Context = SSL_CTX_new(TLS_server_method());
    if (!Context || SSL_CTX_set_min_proto_version(Context, TLS1_2_VERSION) != 1
        || SSL_CTX_use_certificate(Context, Certificate.get()) != 1 || SSL_CTX_use_PrivateKey(Context, Key.get()) != 1
        || SSL_CTX_check_private_key(Context) != 1) {
        FProblem = "no TLS context: " + OpenSslReason();
        SSL_CTX_free(Context);
        return;
    }
    // Writes may go out in parts, from a buffer that moves between calls.
    SSL_CTX_set_mode(Context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    FContext = Context;
    FPem = Pem(Certificate.get());
    FFingerprint = CertificateFingerprint(Certificate.get());
}

TPracticeTls::~TPracticeTls()
{
    SSL_CTX_free(FContext);
}

ssl_st* TPracticeTls::NewSession(int Socket) const
{
    if (!FContext)
        return nullptr;
    SSL* Ssl = SSL_new(FContext);
    if (Ssl && SSL_set_fd(Ssl, Socket) != 1) {
        SSL_free(Ssl);
        return nullptr;
    }
    if (Ssl)
        SSL_set_accept_state(Ssl);
    return Ssl;
}

void CloseClient(ssl_st*& Ssl, int& Socket, bool Orderly)
{
    if (Ssl) {
        if (Orderly)
            SSL_shutdown(Ssl);
        SSL_free(Ssl);
        Ssl = nullptr;
    }
    if (Socket >= 0)
        ::close(Socket);
    Socket = -1;
}
