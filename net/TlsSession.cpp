// TLS client sessions on OpenSSL. The certificate is checked during the
// handshake (chain against OpenSSL's default paths, then name or address),
// but a failed check does not end the handshake: SSL_VERIFY_NONE keeps the
// result for Info(), and the window decides.
#include "net/TlsSession.h"

#include "net/TlsShared.h"
#include "net/WinsockErrors.h"
#include "text/AsciiText.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <sys/socket.h>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace {

// OpenSSL's own socket BIO writes with write(), which raises SIGPIPE on a
// closed peer; this one uses send() with MSG_NOSIGNAL like the plain path.
int SocketOf(BIO* Bio)
{
    return static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(Bio)));
}

int SocketWrite(BIO* Bio, const char* Data, int Length)
{
    BIO_clear_retry_flags(Bio);
    const ssize_t n = ::send(SocketOf(Bio), Data, static_cast<size_t>(Length), MSG_NOSIGNAL);
    if (n < 0 && ErrnoWouldBlock(errno))
        BIO_set_retry_write(Bio);
    return static_cast<int>(n);
}

int SocketRead(BIO* Bio, char* Data, int Length)
{
    BIO_clear_retry_flags(Bio);
    const ssize_t n = ::recv(SocketOf(Bio), Data, static_cast<size_t>(Length), 0);
    if (n < 0 && ErrnoWouldBlock(errno))
        BIO_set_retry_read(Bio);
    return static_cast<int>(n);
}

long SocketControl(BIO*, int Command, long, void*)
{
    return Command == BIO_CTRL_FLUSH ? 1 : 0;
}

int SocketCreate(BIO* Bio)
{
    BIO_set_init(Bio, 1);
    return 1;
}

BIO_METHOD* SocketMethod()
{
    static BIO_METHOD* const method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "brieflotse socket");
        if (m) {
            BIO_meth_set_write(m, SocketWrite);
            BIO_meth_set_read(m, SocketRead);
            BIO_meth_set_ctrl(m, SocketControl);
            BIO_meth_set_create(m, SocketCreate);
        }
        return m;
    }();
    return method;
}

bool IsVersionReason(int Reason)
{
    switch (Reason) {
    case SSL_R_UNSUPPORTED_PROTOCOL:
    case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
    case SSL_R_NO_PROTOCOLS_AVAILABLE:
    case SSL_R_VERSION_TOO_LOW:
    case SSL_R_WRONG_SSL_VERSION:
    case SSL_R_UNSUPPORTED_SSL_VERSION:
    case SSL_R_BAD_PROTOCOL_VERSION_NUMBER:
        return true;
    default:
        return false;
    }
}

// What a plain-text greeting looks like to a TLS client.
bool IsNotTlsReason(int Reason)
{
    return Reason == SSL_R_WRONG_VERSION_NUMBER || Reason == SSL_R_UNKNOWN_PROTOCOL
        || Reason == SSL_R_PACKET_LENGTH_TOO_LONG;
}

TTlsVerifyResult VerifyResultOf(long Code)
{
    switch (Code) {
    case X509_V_OK:
        return tvOk;
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return tvExpired;
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return tvNotYetValid;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return tvWrongHost;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        return tvSelfSigned;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        return tvIncompleteChain;
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_UNTRUSTED:
        return tvUntrusted;
    default:
        return tvOther;
    }
}

std::string NameText(const X509_NAME* Name)
{
    BIO* out = BIO_new(BIO_s_mem());
    if (!out)
        return {};
    // "CN=..., O=...", UTF-8 kept as it is.
    const unsigned long flags
        = (ASN1_STRFLGS_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) | XN_FLAG_SEP_CPLUS_SPC | XN_FLAG_DN_REV | XN_FLAG_FN_SN;
    X509_NAME_print_ex(out, Name, 0, flags);
    char* data = nullptr;
    const long length = BIO_get_mem_data(out, &data);
    std::string text(data ? data : "", length > 0 ? static_cast<size_t>(length) : 0);
    BIO_free(out);
    return text;
}

std::string TimeText(const ASN1_TIME* Time)
{
    std::tm parts {};
    if (!Time || ASN1_TIME_to_tm(Time, &parts) != 1)
        return {};
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
    return text;
}

// An address in the form the certificate check compares, or empty for a name.
// inet_aton() as in the look-up, so "127.1" counts as the address it connects to.
std::string CanonicalAddress(const std::string& Host)
{
    char text[INET6_ADDRSTRLEN] = {};
    in_addr v4 {};
    if (::inet_aton(Host.c_str(), &v4) != 0 && ::inet_ntop(AF_INET, &v4, text, sizeof text))
        return text;
    in6_addr v6 {};
    if (::inet_pton(AF_INET6, Host.c_str(), &v6) == 1 && ::inet_ntop(AF_INET6, &v6, text, sizeof text))
        return text;
    return {};
}

} // namespace

TTlsSession::TTlsSession(int Socket, const std::string& Host)
{
    ERR_clear_error();
    BIO_METHOD* method = SocketMethod();
    FContext = method ? SSL_CTX_new(TLS_client_method()) : nullptr;
    if (!FContext || SSL_CTX_set_min_proto_version(FContext, TLS1_2_VERSION) != 1) {
        Fail(kWinsockTlsSetupFailed, TlsReasonText(ERR_peek_error()));
        return;
    }
    // Missing store files are no set-up failure: every certificate is then
    // "untrusted", which the window can still show and the user decide on.
    SSL_CTX_set_default_verify_paths(FContext);
    SSL_CTX_set_verify(FContext, SSL_VERIFY_NONE, nullptr);
    // A close without close_notify ends the stream like one (POP3 replies
    // carry their own terminators); no renegotiation from the server.
    SSL_CTX_set_options(FContext, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_mode(FContext, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);

    ssl_st* ssl = SSL_new(FContext);
    BIO* bio = ssl ? BIO_new(method) : nullptr;
    if (!bio) {
        SSL_free(ssl);
        Fail(kWinsockTlsSetupFailed, TlsReasonText(ERR_peek_error()));
        return;
    }
    BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(Socket)));
    SSL_set_bio(ssl, bio, bio);

    std::string name = Host;
    if (!name.empty() && name.back() == '.')
        name.pop_back();
    name = AsciiLower(name);
    const std::string address = CanonicalAddress(name);
    X509_VERIFY_PARAM* check = SSL_get0_param(ssl);
    X509_VERIFY_PARAM_set_hostflags(check, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    // SNI carries names only (RFC 6066); an address is checked against the
    // certificate's IP entries, a name against its DNS entries (RFC 6125).
    const bool named = address.empty() ? SSL_set_tlsext_host_name(ssl, name.c_str()) == 1
            && X509_VERIFY_PARAM_set1_host(check, name.c_str(), name.size()) == 1
                                       : X509_VERIFY_PARAM_set1_ip_asc(check, address.c_str()) == 1;
    if (!named) {
        SSL_free(ssl);
        Fail(kWinsockTlsSetupFailed, TlsReasonText(ERR_peek_error()));
        return;
    }
    SSL_set_connect_state(ssl);
    FSsl = ssl;
    ERR_clear_error();
}

TTlsSession::~TTlsSession()
{
    SSL_free(FSsl);
    SSL_CTX_free(FContext);
}

TTlsStep TTlsSession::Fail(int32_t Code, const std::string& Reason)
{
    FBroken = true;
    FFailureCode = Code;
    FFailureReason = Reason;
    ERR_clear_error();
    return tlsFailed;
}

TTlsStep TTlsSession::Classify(int Result, int SavedErrno)
{
    const TTlsOutcome Outcome = ClassifyTlsResult(FSsl, Result);
    const std::string& Reason = Outcome.Reason;
    switch (Outcome.Step) {
    case tlsWantRead:
    case tlsWantWrite:
        return Outcome.Step;
    case tlsClosed:
        ERR_clear_error();
        if (!FEstablished)
            return Fail(kWinsockTlsClosedInHandshake, Reason);
        return tlsClosed;
    default:
        break;
    }
    if (Outcome.SslError == SSL_ERROR_SYSCALL) {
        if (SavedErrno != 0 && !ErrnoWouldBlock(SavedErrno))
            return Fail(WinsockCodeFromErrno(SavedErrno), {});
        if (!FEstablished)
            return Fail(kWinsockTlsClosedInHandshake, Reason);
        // An end of stream: read as a close, but say no close_notify later.
        FBroken = true;
        ERR_clear_error();
        return tlsClosed;
    }
    if (Outcome.SslError != SSL_ERROR_SSL)
        return Fail(FEstablished ? kWinsockTlsRecordError : kWinsockTlsHandshakeFailed, Reason);
    const int Code = ERR_GET_LIB(Outcome.Queued) == ERR_LIB_SSL ? ERR_GET_REASON(Outcome.Queued) : 0;
    if (Code == SSL_R_UNEXPECTED_EOF_WHILE_READING && FEstablished) {
        FBroken = true;
        ERR_clear_error();
        return tlsClosed;
    }
    if (FEstablished)
        return Fail(kWinsockTlsRecordError, Reason);
    if (Code == SSL_R_UNEXPECTED_EOF_WHILE_READING)
        return Fail(kWinsockTlsClosedInHandshake, Reason);
    if (IsVersionReason(Code))
        return Fail(kWinsockTlsOldProtocol, Reason);
    if (IsNotTlsReason(Code))
        return Fail(kWinsockTlsNotTls, Reason);
    return Fail(kWinsockTlsHandshakeFailed, Reason);
}

TTlsStep TTlsSession::Handshake()
{
    ERR_clear_error();
    errno = 0;
    const int result = SSL_connect(FSsl);
    if (result == 1) {
        FEstablished = true;
        return tlsDone;
    }
    return Classify(result, errno);
}

TTlsStep TTlsSession::Read(void* Buffer, int32_t Size, int32_t& Count)
{
    Count = 0;
    ERR_clear_error();
    errno = 0;
    const int result = SSL_read(FSsl, Buffer, Size);
    if (result > 0) {
        Count = result;
        return tlsDone;
    }
    return Classify(result, errno);
}

TTlsStep TTlsSession::Write(const void* Buffer, int32_t Count, int32_t& Written)
{
    Written = 0;
    ERR_clear_error();
    errno = 0;
    const int result = SSL_write(FSsl, Buffer, Count);
    if (result > 0) {
        Written = result;
        return tlsDone;
    }
    return Classify(result, errno);
}

TTlsStep TTlsSession::Peek()
{
    char byte = 0;
    ERR_clear_error();
    errno = 0;
    const int result = SSL_peek(FSsl, &byte, 1);
    return result > 0 ? tlsDone : Classify(result, errno);
}

int32_t TTlsSession::Pending() const
{
    return FSsl && FEstablished ? SSL_pending(FSsl) : 0;
}

void TTlsSession::Close()
{
    // After a fatal error OpenSSL forbids SSL_shutdown().
    if (!FSsl || !Sound())
        return;
    ERR_clear_error();
    SSL_shutdown(FSsl);
    ERR_clear_error();
}

TTlsInfo TTlsSession::Info() const
{
    TTlsInfo info;
    if (!FSsl || !FEstablished)
        return info;
    info.Protocol = SSL_get_version(FSsl);
    const SSL_CIPHER* cipher = SSL_get_current_cipher(FSsl);
    info.Cipher = cipher ? SSL_CIPHER_get_name(cipher) : "";
    X509* certificate = SSL_get1_peer_certificate(FSsl);
    if (!certificate) {
        info.Verify = tvOther;
        info.VerifyCode = X509_V_ERR_UNSPECIFIED;
        info.VerifyText = "no certificate from the peer";
        return info;
    }
    info.Subject = NameText(X509_get_subject_name(certificate));
    info.Issuer = NameText(X509_get_issuer_name(certificate));
    info.NotBefore = TimeText(X509_get0_notBefore(certificate));
    info.NotAfter = TimeText(X509_get0_notAfter(certificate));
    info.Fingerprint = CertificateFingerprint(certificate);
    X509_free(certificate);
    const long result = SSL_get_verify_result(FSsl);
    info.Verify = VerifyResultOf(result);
    info.VerifyCode = static_cast<int32_t>(result);
    info.VerifyText = X509_verify_cert_error_string(result);
    return info;
}
