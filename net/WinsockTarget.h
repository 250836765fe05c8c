#pragma once

// Plain decisions about a connection target: how "host:port" splits, which
// ports are numbers, when TLS starts with the first byte, how long a wait may
// last.

#include <cstdint>
#include <string>

// A scheme decides; without one, the port does (see IsImplicitTlsPort).
enum TTargetSecurity { scByPort, scPlain, scImplicitTls };

struct TTargetParts {
    std::string Host;
    std::string Port; // empty: the text named no port
    TTargetSecurity Security = scByPort;
};

// "host:port" splits at the first ':'. An IPv6 literal in brackets keeps its
// colons: "[::1]" and "[::1]:110". In front, "pop3s://" asks for TLS from the
// first byte (port 995 unless one follows) and "pop3://" for plain text (port
// 110 unless one follows); schemes in any case, one trailing '/' allowed.
TTargetParts SplitTarget(const std::string& Value);

// POP3 inside TLS from the first byte: port 995, or the service "pop3s".
bool IsImplicitTlsPort(const std::string& Port);

// The host to resolve: brackets around an IPv6 literal removed.
std::string HostForLookup(const std::string& TargetHost);

// A decimal 32-bit number of 0 or more gives its low 16 bits; anything else,
// "-1" included, is a service name.
bool ParsePortNumber(const std::string& Text, uint16_t& Port);

// A wait lasts 1 to 60 seconds.
uint8_t ClampTimeout(int Seconds);
