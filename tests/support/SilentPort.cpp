#include "tests/support/SilentPort.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

SilentPort::SilentPort()
{
    socket_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(socket_, 64);
    socklen_t length = sizeof address;
    ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
}

SilentPort::~SilentPort()
{
    ::close(socket_);
}

bool SilentPort::reached() const
{
    pollfd watch { socket_, POLLIN, 0 };
    return ::poll(&watch, 1, 0) > 0;
}
