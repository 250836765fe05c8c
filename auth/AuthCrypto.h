#pragma once

// The hashes the log-ins need, on OpenSSL, with byte strings in and out.
// Internal to the auth library: its public headers stay free of OpenSSL.

#include <string>

std::string Md5(const std::string& Bytes);
std::string Sha256(const std::string& Bytes);
std::string HmacMd5(const std::string& Key, const std::string& Bytes);
std::string HmacSha256(const std::string& Key, const std::string& Bytes);
// PBKDF2 with HMAC-SHA-256, 32 bytes out (SCRAM's SaltedPassword).
std::string Pbkdf2Sha256(const std::string& Password, const std::string& Salt, int Iterations);
std::string LowerHex(const std::string& Bytes);
std::string RandomBytes(size_t Count);
std::string XorBytes(const std::string& A, const std::string& B); // same length
// Equal length and content, in time that does not depend on where they differ.
bool SameBytes(const std::string& A, const std::string& B);
// Overwrites a secret before its memory is given back.
void Forget(std::string& Secret);
