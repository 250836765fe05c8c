#pragma once

// Helpers of the POP3 log-ins: Base64 as SASL uses it (RFC 4648, strict), the
// timestamp of an APOP greeting and the APOP digest (RFC 1939 section 7).

#include <cstddef>
#include <string>

std::string Base64Encode(const std::string& Bytes);
// Strict: false for anything that is not canonical Base64 (blanks, line
// breaks, missing or extra padding, stray bits in the last character).
// "" decodes to "".
bool Base64Decode(const std::string& Text, std::string& Bytes);

// Characters a timestamp may have between its brackets: the conversation
// keeps 4 KB of a greeting, and real servers need a few dozen.
inline constexpr size_t MaxTimestampChars = 1024;
// The "<...@...>" of an APOP greeting, or "" when the greeting has none (or
// only one too long).
std::string GreetingTimestamp(const std::string& Greeting);
// True when a "<" starts more than MaxTimestampChars timestamp characters,
// closed or cut off: APOP is offered, but with a timestamp not taken.
bool GreetingTimestampTooLong(const std::string& Greeting);
// 32 lower-case hex digits: MD5 over the timestamp followed by the password.
std::string ApopDigest(const std::string& Timestamp, const std::string& Password);
// Does a client's digest (hex, either case) fit timestamp and password?
bool ApopMatches(const std::string& Timestamp, const std::string& Password, const std::string& Digest);
