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
    const ssize_t N = ::send(SocketOf(Bio), Data, static_cast<size_t>(Length), MSG_NOSIGNAL);
    if (N < 0 && ErrnoWouldBlock(errno))
        BIO_set_retry_write(Bio);
    return static_cast<int>(N);
}

int SocketRead(BIO* Bio, char* Data, int Length)
{
    BIO_clear_retry_flags(Bio);
    const ssize_t N = ::recv(SocketOf(Bio), Data, static_cast<size_t>(Length), 0);
    if (N < 0 && ErrnoWouldBlock(errno))
        BIO_set_retry_read(Bio);
    return static_cast<int>(N);
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
    static BIO_METHOD* const kMethod = [] {
        BIO_METHOD* Made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "brieflotse socket");
        if (Made) {
            BIO_meth_set_write(Made, SocketWrite);
            BIO_meth_set_read(Made, SocketRead);
            BIO_meth_set_ctrl(Made, SocketControl);
            BIO_meth_set_create(Made, SocketCreate);
        }
        return Made;
    }();
    return kMethod;
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

std::string TimeText(const ASN1_TIME* Time)
{
    std::tm Parts {};
    if (!Time || ASN1_TIME_to_tm(Time, &Parts) != 1)
        return {};
    char Text[32];
    std::strftime(Text, sizeof Text, "%Y-%m-%d %H:%M:%S UTC", &Parts);
    return Text;
}

// An address in the form the certificate check compares, or empty for a name.
// inet_aton() as in the look-up, so "127.1" counts as the address it connects to.
std::string CanonicalAddress(const std::string& Host)
{
    char Text[INET6_ADDRSTRLEN] = {};
    in_addr V4 {};
    if (::inet_aton(Host.c_str(), &V4) != 0 && ::inet_ntop(AF_INET, &V4, Text, sizeof Text))
        return Text;
    in6_addr V6 {};
    if (::inet_pton(AF_INET6, Host.c_str(), &V6) == 1 && ::inet_ntop(AF_INET6, &V6, Text, sizeof Text))
        return Text;
    return {};
}

} // namespace

TTlsSession::TTlsSession(int Socket, const std::string& Host)
{
    ERR_clear_error();
    BIO_METHOD* Method = SocketMethod();
    FContext = Method ? SSL_CTX_new(TLS_client_method()) : nullptr;
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

    ssl_st* Ssl = SSL_new(FContext);
    BIO* Bio = Ssl ? BIO_new(Method) : nullptr;
    if (!Bio) {
        SSL_free(Ssl);
        Fail(kWinsockTlsSetupFailed, TlsReasonText(ERR_peek_error()));
        return;
    }
    BIO_set_data(Bio, reinterpret_cast<void*>(static_cast<intptr_t>(Socket)));
    SSL_set_bio(Ssl, Bio, Bio);

    std::string Name = Host;
    if (!Name.empty() && Name.back() == '.')
        Name.pop_back();
    Name = AsciiLower(Name);
    const std::string Address = CanonicalAddress(Name);
    X509_VERIFY_PARAM* Check = SSL_get0_param(Ssl);
    X509_VERIFY_PARAM_set_hostflags(Check, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    // SNI carries names only (RFC 6066); an address is checked against the
    // certificate's IP entries, a name against its DNS entries (RFC 6125).
    const bool Named = Address.empty() ? SSL_set_tlsext_host_name(Ssl, Name.c_str()) == 1
            && X509_VERIFY_PARAM_set1_host(Check, Name.c_str(), Name.size()) == 1
                                       : X509_VERIFY_PARAM_set1_ip_asc(Check, Address.c_str()) == 1;
    if (!Named) {
        SSL_free(Ssl);
        Fail(kWinsockTlsSetupFailed, TlsReasonText(ERR_peek_error()));
        return;
    }
    SSL_set_connect_state(Ssl);
    FSsl = Ssl;
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
    const int Result = SSL_connect(FSsl);
    if (Result == 1) {
        FEstablished = true;
        return tlsDone;
    }
    return Classify(Result, errno);
}

TTlsStep TTlsSession::Read(void* Buffer, int32_t Size, int32_t& Count)
{
    Count = 0;
    ERR_clear_error();
    errno = 0;
    const int Result = SSL_read(FSsl, Buffer, Size);
    if (Result > 0) {
        Count = Result;
        return tlsDone;
    }
    return Classify(Result, errno);
}

TTlsStep TTlsSession::Write(const void* Buffer, int32_t Count, int32_t& Written)
{
    Written = 0;
    ERR_clear_error();
    errno = 0;
    const int Result = SSL_write(FSsl, Buffer, Count);
    if (Result > 0) {
        Written = Result;
        return tlsDone;
    }
    return Classify(Result, errno);
}

TTlsStep TTlsSession::Peek()
{
    char Byte = 0;
    ERR_clear_error();
    errno = 0;
    const int Result = SSL_peek(FSsl, &Byte, 1);
    return Result > 0 ? tlsDone : Classify(Result, errno);
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
    TTlsInfo Info;
    if (!FSsl || !FEstablished)
        return Info;
    Info.Protocol = SSL_get_version(FSsl);
    const SSL_CIPHER* Cipher = SSL_get_current_cipher(FSsl);
    Info.Cipher = Cipher ? SSL_CIPHER_get_name(Cipher) : "";
    X509* Certificate = SSL_get1_peer_certificate(FSsl);
    if (!Certificate) {
        Info.Verify = tvOther;
        Info.VerifyCode = X509_V_ERR_UNSPECIFIED;
        Info.VerifyText = "no certificate from the peer";
        return Info;
    }
    Info.Subject = CertificateNameText(X509_get_subject_name(Certificate));
    Info.Issuer = CertificateNameText(X509_get_issuer_name(Certificate));
    Info.NotBefore = TimeText(X509_get0_notBefore(Certificate));
    Info.NotAfter = TimeText(X509_get0_notAfter(Certificate));
    Info.Fingerprint = CertificateFingerprint(Certificate);
    X509_free(Certificate);
    const long Result = SSL_get_verify_result(FSsl);
    Info.Verify = VerifyResultOf(Result);
    Info.VerifyCode = static_cast<int32_t>(Result);
    Info.VerifyText = X509_verify_cert_error_string(Result);
    return Info;
}
