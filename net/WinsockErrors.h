#pragma once

// Error numbers as the transport reports them: WinSock's numbers (10000 plus
// the classic BSD socket error, 11001..11004 for name resolution, 12000 for
// our own time-out), so codes and texts look the same on every platform.

#include <cstdint>
#include <string>

// WinSock's numbers start here (10000 plus the BSD errno).
constexpr int32_t kWinsockFirstCode = 10000;

// Socket errors, each 10000 plus its BSD errno.
constexpr int32_t kWinsockBadAddress = 10014; // a null buffer
constexpr int32_t kWinsockInvalidArgument = 10022; // a negative size
constexpr int32_t kWinsockWouldBlock = 10035;
constexpr int32_t kWinsockMessageTooLong = 10040;
constexpr int32_t kWinsockAddressFamilyNotSupported = 10047;
constexpr int32_t kWinsockAddressNotAvailable = 10049; // also an empty host or port
constexpr int32_t kWinsockConnectionReset = 10054;
constexpr int32_t kWinsockNoBufferSpace = 10055;
constexpr int32_t kWinsockAlreadyConnected = 10056;
constexpr int32_t kWinsockNotConnected = 10057;
constexpr int32_t kWinsockShutDown = 10058; // sending after the connection was shut down
constexpr int32_t kWinsockConnectionTimedOut = 10060; // the system's time-out; ours is kWinsockTimedOut
constexpr int32_t kWinsockConnectionRefused = 10061;
// A wait ended by Cancel(): the user stopped it.
constexpr int32_t kWinsockCancelled = 10103;

// Name resolution.
constexpr int32_t kWinsockHostNotFound = 11001;
constexpr int32_t kWinsockTryAgain = 11002; // non-authoritative host not found
constexpr int32_t kWinsockNoRecovery = 11003;
constexpr int32_t kWinsockNoData = 11004; // no address, or an unknown service

// Our own time-out: a wait ran past Timeout.
constexpr int32_t kWinsockTimedOut = 12000;

// TLS failures, our own numbers next to the time-out. The socket's own
// failures during TLS keep their WinSock numbers (kWinsockConnectionReset, ...).
constexpr int32_t kWinsockTlsHandshakeFailed = 12101;
constexpr int32_t kWinsockTlsOldProtocol = 12102; // the peer speaks only TLS 1.0/1.1 or older
constexpr int32_t kWinsockTlsRecordError = 12103; // a bad record or fatal alert after the handshake
constexpr int32_t kWinsockTlsClosedInHandshake = 12104;
constexpr int32_t kWinsockTlsNotTls = 12105; // the answer was no TLS at all (a plain greeting)
constexpr int32_t kWinsockTlsAlreadyActive = 12106;
constexpr int32_t kWinsockTlsSetupFailed = 12107;

// The English description of a code; empty for codes not in the table.
std::string WinsockErrorText(int32_t Code);

// An errno WinSock has no number for comes back as this plus errno (no text).
constexpr int32_t kWinsockUnmappedErrnoBase = 20000;

// Linux errno values differ from BSD's above 34, so this is an explicit table.
int32_t WinsockCodeFromErrno(int Errno);

// EAGAIN, EWOULDBLOCK or EINTR: nothing failed, the call is made again once
// the socket is ready.
bool ErrnoWouldBlock(int Errno);

// The errno a socket holds (SO_ERROR: a connect's outcome, a reset), 0 for none.
int PendingSocketError(int Socket);

// getaddrinfo() results (EAI_*); SavedErrno is used for EAI_SYSTEM.
int32_t WinsockCodeFromResolver(int EaiCode, int SavedErrno);
