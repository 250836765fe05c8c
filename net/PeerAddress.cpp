#include "net/PeerAddress.h"

#include <arpa/inet.h>
#include <cstdint>
#include <netinet/in.h>

std::string NumericAddress(const TPeerAddress& Address)
{
    char Text[INET6_ADDRSTRLEN] = {};
    const void* Raw = nullptr;
    if (Address.Family() == AF_INET)
        Raw = &reinterpret_cast<const sockaddr_in*>(&Address.Storage)->sin_addr;
    else if (Address.Family() == AF_INET6)
        Raw = &reinterpret_cast<const sockaddr_in6*>(&Address.Storage)->sin6_addr;
    if (!Raw || !::inet_ntop(Address.Family(), Raw, Text, sizeof Text))
        return {};
    return Text;
}

bool ParseNumericAddress(const std::string& Text, TPeerAddress& Address)
{
    Address = TPeerAddress();
    auto* V4 = reinterpret_cast<sockaddr_in*>(&Address.Storage);
    if (::inet_pton(AF_INET, Text.c_str(), &V4->sin_addr) == 1) {
        V4->sin_family = AF_INET;
        Address.Length = sizeof(sockaddr_in);
        return true;
    }
    auto* V6 = reinterpret_cast<sockaddr_in6*>(&Address.Storage);
    if (::inet_pton(AF_INET6, Text.c_str(), &V6->sin6_addr) == 1) {
        V6->sin6_family = AF_INET6;
        Address.Length = sizeof(sockaddr_in6);
        return true;
    }
    Address = TPeerAddress();
    return false;
}

uint16_t AddressPort(const TPeerAddress& Address)
{
    if (Address.Family() == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in*>(&Address.Storage)->sin_port);
    if (Address.Family() == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&Address.Storage)->sin6_port);
    return 0;
}

void SetAddressPort(TPeerAddress& Address, uint16_t PortNetworkOrder)
{
    if (Address.Family() == AF_INET)
        reinterpret_cast<sockaddr_in*>(&Address.Storage)->sin_port = PortNetworkOrder;
    else if (Address.Family() == AF_INET6)
        reinterpret_cast<sockaddr_in6*>(&Address.Storage)->sin6_port = PortNetworkOrder;
}
