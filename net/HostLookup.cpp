#include "net/HostLookup.h"

#include "net/WinsockErrors.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <netdb.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <utility>

struct THostLookup::State {
    std::mutex Lock;
    bool Done = false;
    int32_t Code = 0;
    std::vector<TPeerAddress> Found;
    int Pipe[2] = { -1, -1 };

    ~State()
    {
        for (int fd : Pipe)
            if (fd >= 0)
                ::close(fd);
    }

    void Finish(int32_t ResultCode)
    {
        {
            std::lock_guard<std::mutex> guard(Lock);
            Done = true;
            Code = ResultCode;
        }
        const char signal = 1;
        if (Pipe[1] >= 0)
            (void)!::write(Pipe[1], &signal, 1);
    }
};

namespace {

void Resolve(const std::shared_ptr<THostLookup::State>& State, const std::string& Host, const THostResolver& Resolver)
{
    std::vector<TPeerAddress> found;
    int32_t code = Resolver(Host, found);
    if (code == 0 && found.empty())
        code = kWinsockNoData;
    if (code == 0) {
        std::lock_guard<std::mutex> guard(State->Lock);
        State->Found = std::move(found);
    }
    State->Finish(code);
}

} // namespace

int32_t ResolveWithSystem(const std::string& Host, std::vector<TPeerAddress>& Found)
{
    addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    const int result = ::getaddrinfo(Host.c_str(), nullptr, &hints, &list);
    const int savedErrno = errno;
    const int32_t code = WinsockCodeFromResolver(result, savedErrno);
    for (const addrinfo* entry = list; code == 0 && entry; entry = entry->ai_next) {
        if ((entry->ai_family != AF_INET && entry->ai_family != AF_INET6)
            || entry->ai_addrlen > sizeof(sockaddr_storage))
            continue;
        TPeerAddress address;
        std::memcpy(&address.Storage, entry->ai_addr, entry->ai_addrlen);
        address.Length = entry->ai_addrlen;
        Found.push_back(address);
    }
    if (list)
        ::freeaddrinfo(list);
    return code;
}

THostLookup::THostLookup(const std::string& Host, THostResolver Resolver)
    : FState(std::make_shared<State>())
{
    if (::pipe2(FState->Pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        FState->Pipe[0] = FState->Pipe[1] = -1;
        FState->Finish(WinsockCodeFromErrno(errno));
        return;
    }
    try {
        std::thread(Resolve, FState, Host, Resolver ? std::move(Resolver) : THostResolver(ResolveWithSystem)).detach();
    } catch (const std::system_error&) {
        FState->Finish(kWinsockNoBufferSpace);
    }
}

THostLookup::~THostLookup() = default;

int THostLookup::ReadyHandle() const
{
    return FState->Pipe[0];
}

bool THostLookup::Finished() const
{
    std::lock_guard<std::mutex> guard(FState->Lock);
    return FState->Done;
}

int32_t THostLookup::ErrorCode() const
{
    std::lock_guard<std::mutex> guard(FState->Lock);
    return FState->Code;
}

std::vector<TPeerAddress> THostLookup::Addresses() const
{
    std::lock_guard<std::mutex> guard(FState->Lock);
    return FState->Found;
}
