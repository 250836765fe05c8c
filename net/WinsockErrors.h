#pragma once

// Error numbers as the transport reports them: WinSock's numbers (10000 plus
// the classic BSD socket error, 11001..11004 for name resolution, 12000 for
// our own time-out), so codes and texts look the same on every platform.

#include <cstdint>
#include <string>

constexpr int32_t kWinsockTimedOut = 12000;
// A wait ended by Cancel(): the user stopped it.
constexpr int32_t kWinsockCancelled = 10103;

// TLS failures, our own numbers next to the time-out. The socket's own
// failures during TLS keep their WinSock numbers (10054 for a reset, ...).
constexpr int32_t kWinsockTlsHandshakeFailed = 12101;
constexpr int32_t kWinsockTlsOldProtocol = 12102;       // the peer speaks only TLS 1.0/1.1 or older
constexpr int32_t kWinsockTlsRecordError = 12103;       // a bad record or fatal alert after the handshake
constexpr int32_t kWinsockTlsClosedInHandshake = 12104;
constexpr int32_t kWinsockTlsNotTls = 12105;            // the answer was no TLS at all (a plain greeting)
constexpr int32_t kWinsockTlsAlreadyActive = 12106;
constexpr int32_t kWinsockTlsSetupFailed = 12107;

// The English description of a code; empty for codes not in the table.
std::string WinsockErrorText(int32_t Code);

// Linux errno values differ from BSD's above 34, so this is an explicit table.
// An errno WinSock has no number for comes back as 20000 + errno (no text).
int32_t WinsockCodeFromErrno(int Errno);

// getaddrinfo() results (EAI_*); SavedErrno is used for EAI_SYSTEM.
int32_t WinsockCodeFromResolver(int EaiCode, int SavedErrno);
