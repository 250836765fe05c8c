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
        for (int Fd : Pipe)
            if (Fd >= 0)
                ::close(Fd);
    }

    void Finish(int32_t ResultCode)
    {
        {
            std::lock_guard<std::mutex> Guard(Lock);
            Done = true;
            Code = ResultCode;
        }
        const char Signal = 1;
        if (Pipe[1] >= 0)
            (void)!::write(Pipe[1], &Signal, 1);
    }
};

namespace {

void Resolve(const std::shared_ptr<THostLookup::State>& State, const std::string& Host, const THostResolver& Resolver)
{
    std::vector<TPeerAddress> Found;
    int32_t Code = Resolver(Host, Found);
    if (Code == 0 && Found.empty())
        Code = kWinsockNoData;
    if (Code == 0) {
        std::lock_guard<std::mutex> Guard(State->Lock);
        State->Found = std::move(Found);
    }
    State->Finish(Code);
}

} // namespace

int32_t ResolveWithSystem(const std::string& Host, std::vector<TPeerAddress>& Found)
{
    addrinfo Hints {};
    Hints.ai_family = AF_UNSPEC;
    Hints.ai_socktype = SOCK_STREAM;
    Hints.ai_protocol = IPPROTO_TCP;
    addrinfo* List = nullptr;
    const int Result = ::getaddrinfo(Host.c_str(), nullptr, &Hints, &List);
    const int SavedErrno = errno;
    const int32_t Code = WinsockCodeFromResolver(Result, SavedErrno);
    for (const addrinfo* Entry = List; Code == 0 && Entry; Entry = Entry->ai_next) {
        if ((Entry->ai_family != AF_INET && Entry->ai_family != AF_INET6)
            || Entry->ai_addrlen > sizeof(sockaddr_storage))
            continue;
        TPeerAddress Address;
        std::memcpy(&Address.Storage, Entry->ai_addr, Entry->ai_addrlen);
        Address.Length = Entry->ai_addrlen;
        Found.push_back(Address);
    }
    if (List)
        ::freeaddrinfo(List);
    return Code;
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
    std::lock_guard<std::mutex> Guard(FState->Lock);
    return FState->Done;
}

int32_t THostLookup::ErrorCode() const
{
    std::lock_guard<std::mutex> Guard(FState->Lock);
    return FState->Code;
}

std::vector<TPeerAddress> THostLookup::Addresses() const
{
    std::lock_guard<std::mutex> Guard(FState->Lock);
    return FState->Found;
}
