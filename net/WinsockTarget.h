#pragma once

// Plain decisions about a connection target: how "host:port" splits, which
// ports are numbers, how long a wait may last.

#include <cstdint>
#include <string>

struct TTargetParts {
    std::string Host;
    std::string Port; // empty: the text named no port
};

// "host:port" splits at the first ':'. An IPv6 literal in brackets keeps its
// colons: "[::1]" and "[::1]:110".
TTargetParts SplitTarget(const std::string& Value);

// The host to resolve: brackets around an IPv6 literal removed.
std::string HostForLookup(const std::string& TargetHost);

// A decimal 32-bit number of 0 or more gives its low 16 bits; anything else,
// "-1" included, is a service name.
bool ParsePortNumber(const std::string& Text, uint16_t& Port);

// A wait lasts 1 to 60 seconds.
uint8_t ClampTimeout(int Seconds);
