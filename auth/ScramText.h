#pragma once

// What both ends of SCRAM-SHA-256 (RFC 5802, RFC 7677) share: the message
// syntax and the keys. SASLprep is left out: names and passwords are passed
// through as they are, which is exact for ASCII.

#include <string>
#include <utility>
#include <vector>

// Above this a server's iteration count is refused: the key derivation would
// keep the program busy for as long as the server likes.
constexpr int ScramMaxIterations = 100000;

// "," and "=" in a name are written "=2C" and "=3D".
std::string EscapeSaslName(const std::string& Name);
bool UnescapeSaslName(const std::string& Text, std::string& Name); // false for a stray "="

// "r=...,s=...,i=..." as letter and value; false when an element is not of
// the form letter "=" value.
using TScramAttributes = std::vector<std::pair<char, std::string>>;
bool ParseScramAttributes(const std::string& Text, TScramAttributes& Attributes);
// Digits only, 1 to Limit; false otherwise (also for overflowing numbers).
bool ParseIterationCount(const std::string& Text, int Limit, int& Count);

struct TScramKeys {
    std::string StoredKey; // H(HMAC(SaltedPassword, "Client Key"))
    std::string ServerKey; // HMAC(SaltedPassword, "Server Key")
    std::string ClientKey;
};
TScramKeys ScramKeys(const std::string& Password, const std::string& Salt, int Iterations);
std::string ScramClientProof(const TScramKeys& Keys, const std::string& AuthMessage);
std::string ScramServerSignature(const TScramKeys& Keys, const std::string& AuthMessage);
// The server's check of a proof: does XOR with the client signature give a
// client key whose hash is the stored key?
bool ScramProofMatches(const TScramKeys& Keys, const std::string& AuthMessage, const std::string& Proof);
