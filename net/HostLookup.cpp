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

struct THostLookup::State {
    std::mutex Lock;
    bool Done = false;
    int32_t Code = 0;
    sockaddr_storage Found {};
    socklen_t FoundLength = 0;
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

// IPv4 first, as the program always did; IPv6 only for names without IPv4.
const addrinfo* Preferred(const addrinfo* List)
{
    for (const addrinfo* entry = List; entry; entry = entry->ai_next)
        if (entry->ai_family == AF_INET)
            return entry;
    for (const addrinfo* entry = List; entry; entry = entry->ai_next)
        if (entry->ai_family == AF_INET6)
            return entry;
    return nullptr;
}

void Resolve(const std::shared_ptr<THostLookup::State>& State, const std::string& Host)
{
    addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    const int result = ::getaddrinfo(Host.c_str(), nullptr, &hints, &list);
    const int savedErrno = errno;
    int32_t code = WinsockCodeFromResolver(result, savedErrno);
    if (code == 0) {
        const addrinfo* chosen = Preferred(list);
        if (chosen && chosen->ai_addrlen <= sizeof(sockaddr_storage)) {
            std::lock_guard<std::mutex> guard(State->Lock);
            std::memcpy(&State->Found, chosen->ai_addr, chosen->ai_addrlen);
            State->FoundLength = chosen->ai_addrlen;
        } else {
            code = kWinsockNoData;
        }
    }
    if (list)
        ::freeaddrinfo(list);
    State->Finish(code);
}

} // namespace

THostLookup::THostLookup(const std::string& Host)
    : FState(std::make_shared<State>())
{
    if (::pipe2(FState->Pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        FState->Pipe[0] = FState->Pipe[1] = -1;
        FState->Finish(WinsockCodeFromErrno(errno));
        return;
    }
    try {
        std::thread(Resolve, FState, Host).detach();
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

void THostLookup::Address(sockaddr_storage& Out, socklen_t& Length) const
{
    std::lock_guard<std::mutex> guard(FState->Lock);
    Out = FState->Found;
    Length = FState->FoundLength;
}
