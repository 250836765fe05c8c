#include "check/CertificateFacts.h"

#include <cstring>
#include <memory>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include "net/PeerAddress.h"
#include "net/TlsShared.h"

namespace {

std::string TimeText(const ASN1_TIME* Time, const char* Format)
{
    std::tm Parts {};
    if (!Time || ASN1_TIME_to_tm(Time, &Parts) != 1)
        return {};
    char Text[32];
    std::strftime(Text, sizeof Text, Format, &Parts);
    return Text;
}

std::string KeyTypeOf(EVP_PKEY* Key, int& Bits)
{
    Bits = Key ? EVP_PKEY_get_bits(Key) : 0;
    if (!Key)
        return {};
    switch (EVP_PKEY_get_base_id(Key)) {
    case EVP_PKEY_RSA:
        return "RSA";
    case EVP_PKEY_EC: {
        char Group[64] = {};
        size_t Length = 0;
        if (EVP_PKEY_get_group_name(Key, Group, sizeof Group, &Length) == 1)
            return std::string("EC ") + Group;
        return "EC";
    }
    case EVP_PKEY_ED25519:
        return "Ed25519";
    case EVP_PKEY_ED448:
        return "Ed448";
    case EVP_PKEY_DSA:
        return "DSA";
    default:
        return OBJ_nid2sn(EVP_PKEY_get_base_id(Key));
    }
}

TChainCertificate Describe(X509* Certificate)
{
    TChainCertificate Entry;
    Entry.Subject = CertificateNameText(X509_get_subject_name(Certificate));
    Entry.Issuer = CertificateNameText(X509_get_issuer_name(Certificate));
    Entry.NotBefore = TimeText(X509_get0_notBefore(Certificate), "%Y-%m-%d %H:%M:%S UTC");
    Entry.NotAfter = TimeText(X509_get0_notAfter(Certificate), "%Y-%m-%d %H:%M:%S UTC");
    Entry.KeyType = KeyTypeOf(X509_get0_pubkey(Certificate), Entry.KeyBits);
    const int Nid = X509_get_signature_nid(Certificate);
    Entry.SignatureAlgorithm = Nid != NID_undef ? OBJ_nid2ln(Nid) : "unknown";
    return Entry;
}

bool NameMatches(X509* Certificate, const std::string& Host)
{
    TPeerAddress Address;
    if (ParseNumericAddress(Host, Address))
        return X509_check_ip_asc(Certificate, Host.c_str(), 0) == 1;
    return X509_check_host(Certificate, Host.c_str(), Host.size(), X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS, nullptr) == 1;
}

// Trust and completeness apart from time and name: those have findings of
// their own, and an expired certificate should not also read as untrusted.
void JudgeChain(X509* Leaf, STACK_OF(X509) * Sent, TCertificateFacts& Facts)
{
    X509_STORE* Store = X509_STORE_new();
    X509_STORE_CTX* Context = X509_STORE_CTX_new();
    if (!Store || !Context || X509_STORE_set_default_paths(Store) != 1
        || X509_STORE_CTX_init(Context, Store, Leaf, Sent) != 1) {
        Facts.VerifyText = "no certificate store";
        X509_STORE_CTX_free(Context);
        X509_STORE_free(Store);
        ERR_clear_error();
        return;
    }
    X509_STORE_CTX_set_flags(Context, X509_V_FLAG_NO_CHECK_TIME);
    X509_STORE_CTX_set_purpose(Context, X509_PURPOSE_SSL_SERVER);
    const bool Verified = X509_verify_cert(Context) == 1;
    const int Code = X509_STORE_CTX_get_error(Context);
    Facts.Trusted = Verified;
    // Missing: the issuer of the last certificate sent is neither sent nor known.
    Facts.ChainComplete = Verified
        || (Code != X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY && Code != X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT);
    if (!Verified)
        Facts.VerifyText = X509_verify_cert_error_string(Code);
    X509_STORE_CTX_free(Context);
    X509_STORE_free(Store);
    ERR_clear_error();
}

} // namespace

void ReadTlsFacts(ssl_st* Ssl, const std::string& Host, std::time_t Now, TTlsFacts& Facts)
{
    Facts.Protocol = SSL_get_version(Ssl);
    const SSL_CIPHER* Cipher = SSL_get_current_cipher(Ssl);
    Facts.Cipher = Cipher ? SSL_CIPHER_get_name(Cipher) : "";
    const int Exchange = Cipher ? SSL_CIPHER_get_kx_nid(Cipher) : NID_undef;
    Facts.ForwardSecrecy = Exchange == NID_kx_ecdhe || Exchange == NID_kx_dhe || Exchange == NID_kx_ecdhe_psk
        || Exchange == NID_kx_dhe_psk || Exchange == NID_kx_any;
    Facts.KeyExchange = Exchange == NID_kx_any ? "any (TLS 1.3, ephemeral)"
        : Exchange != NID_undef                ? OBJ_nid2sn(Exchange)
                                               : "";

    TCertificateFacts& Certificate = Facts.Certificate;
    X509* Leaf = SSL_get1_peer_certificate(Ssl);
    if (!Leaf)
        return;
    Certificate.Present = true;
    Certificate.Subject = CertificateNameText(X509_get_subject_name(Leaf));
    Certificate.Issuer = CertificateNameText(X509_get_issuer_name(Leaf));
    Certificate.NotAfter = TimeText(X509_get0_notAfter(Leaf), "%Y-%m-%dT%H:%M:%SZ");
    int Days = 0;
    int Seconds = 0;
    ASN1_TIME* Today = ASN1_TIME_set(nullptr, Now);
    if (Today && ASN1_TIME_diff(&Days, &Seconds, Today, X509_get0_notAfter(Leaf)) == 1)
        Certificate.DaysLeft = Days == 0 && Seconds < 0 ? -1 : Days; // hours past the end count as expired
    ASN1_TIME_free(Today);
    Certificate.NameMatches = NameMatches(Leaf, Host);

    STACK_OF(X509)* Sent = SSL_get_peer_cert_chain(Ssl); // as sent, the leaf first
    const int Count = Sent ? sk_X509_num(Sent) : 0;
    for (int Index = 0; Index < Count && Index < 10; ++Index)
        Certificate.Chain.push_back(Describe(sk_X509_value(Sent, Index)));
    if (Certificate.Chain.empty())
        Certificate.Chain.push_back(Describe(Leaf));
    JudgeChain(Leaf, Sent, Certificate);

    X509_free(Leaf);
}
