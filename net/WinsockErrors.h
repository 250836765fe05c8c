#pragma once

// Error numbers as the transport reports them: WinSock's numbers (10000 plus
// the classic BSD socket error, 11001..11004 for name resolution, 12000 for
// our own time-out), so codes and texts look the same on every platform.

#include <cstdint>
#include <string>

constexpr int32_t kWinsockTimedOut = 12000;
// A wait ended by Cancel(): the user stopped it.
constexpr int32_t kWinsockCancelled = 10103;

// The English description of a code; empty for codes not in the table.
std::string WinsockErrorText(int32_t Code);

// Linux errno values differ from BSD's above 34, so this is an explicit table.
// An errno WinSock has no number for comes back as 20000 + errno (no text).
int32_t WinsockCodeFromErrno(int Errno);

// getaddrinfo() results (EAI_*); SavedErrno is used for EAI_SYSTEM.
int32_t WinsockCodeFromResolver(int EaiCode, int SavedErrno);
