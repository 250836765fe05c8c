#pragma once

// One address of a host as the resolver gives it, and its numeric text.

#include <cstdint>
#include <string>
#include <sys/socket.h>

struct TPeerAddress {
    sockaddr_storage Storage {};
    socklen_t Length = 0;

    int Family() const { return Storage.ss_family; }
};

// "127.0.0.1", "::1"; empty for any family but IPv4 and IPv6.
std::string NumericAddress(const TPeerAddress& Address);
// IPv4 or IPv6 in numeric form back into an address (port 0); false for
// anything else, names included.
bool ParseNumericAddress(const std::string& Text, TPeerAddress& Address);
// The port in host order (0 for other families), and setting it.
uint16_t AddressPort(const TPeerAddress& Address);
void SetAddressPort(TPeerAddress& Address, uint16_t PortNetworkOrder);
