#include "tests/support/ScriptedServer.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kStepLimitMs = 10000; // the longest any read or write may block
constexpr int kSliceMs = 50; // how often a blocked step looks at the stop flag

int remainingMs(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

} // namespace

ScriptedServer::ScriptedServer(Family family)
    : family_(family)
{
    const int domain = family == Family::IPv6 ? AF_INET6 : AF_INET;
    listener_ = ::socket(domain, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0)
        throw std::runtime_error("ScriptedServer: socket failed");
    int one = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);

    sockaddr_storage address {};
    socklen_t length = 0;
    if (family == Family::IPv6) {
        ::setsockopt(listener_, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
        v6->sin6_family = AF_INET6;
        v6->sin6_addr = in6addr_loopback;
        length = sizeof *v6;
    } else {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
        v4->sin_family = AF_INET;
        v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        length = sizeof *v4;
    }
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(listener_, 4) != 0) {
        ::close(listener_);
        throw std::runtime_error("ScriptedServer: bind or listen failed");
    }
    length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(family == Family::IPv6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                                         : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

ScriptedServer::~ScriptedServer()
{
    {
        // Under the lock, so that a pause cannot miss the wake-up.
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    // Every wait on the thread looks at the stop flag at least every slice.
    if (thread_.joinable())
        thread_.join();
    closeClient();
    if (listener_ >= 0)
        ::close(listener_);
}

std::string ScriptedServer::address() const
{
    return (family_ == Family::IPv6 ? "[::1]:" : "127.0.0.1:") + std::to_string(port_);
}

ScriptedServer& ScriptedServer::send(std::string bytes)
{
    steps_.push_back({ Kind::Send, std::move(bytes) });
    return *this;
}

ScriptedServer& ScriptedServer::stream(std::string pattern, int milliseconds)
{
    Step step { Kind::Stream, std::move(pattern) };
    step.milliseconds = milliseconds;
    steps_.push_back(std::move(step));
    return *this;
}

ScriptedServer& ScriptedServer::pause(int milliseconds)
{
    Step step { Kind::Pause, {} };
    step.milliseconds = milliseconds;
    steps_.push_back(step);
    return *this;
}

ScriptedServer& ScriptedServer::holdOpen(int milliseconds)
{
    return pause(milliseconds);
}

ScriptedServer& ScriptedServer::expectLine()
{
    steps_.push_back({ Kind::ExpectLine, {} });
    return *this;
}

ScriptedServer& ScriptedServer::expectBytes(size_t n)
{
    Step step { Kind::ExpectBytes, {} };
    step.count = n;
    steps_.push_back(step);
    return *this;
}

ScriptedServer& ScriptedServer::readSlowly(size_t n, size_t portion, int pauseMilliseconds)
{
    Step step { Kind::ReadSlowly, {} };
    step.count = n;
    step.portion = portion == 0 ? 1 : portion;
    step.milliseconds = pauseMilliseconds;
    steps_.push_back(step);
    return *this;
}

ScriptedServer& ScriptedServer::close()
{
    steps_.push_back({ Kind::Close, {} });
    return *this;
}

ScriptedServer& ScriptedServer::reset()
{
    steps_.push_back({ Kind::Reset, {} });
    return *this;
}

void ScriptedServer::setReceiveBuffer(int bytes)
{
    // Accepted sockets inherit the listener's buffer size.
    ::setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

void ScriptedServer::start()
{
    if (!thread_.joinable())
        thread_ = std::thread([this] { run(); });
}

std::string ScriptedServer::received() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

std::string ScriptedServer::error() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return error_;
}

bool ScriptedServer::waitFinished(int milliseconds)
{
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return done_; });
    return finished_;
}

void ScriptedServer::finish(bool finished, const std::string& why)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        done_ = true;
        finished_ = finished;
        error_ = why;
    }
    changed_.notify_all();
}

void ScriptedServer::run()
{
    if (!acceptClient()) {
        finish(false, "no client connected");
        return;
    }
    for (size_t i = 0; i < steps_.size(); ++i) {
        if (!runStep(steps_[i])) {
            std::string why = stopping() ? "stopped" : "step " + std::to_string(i + 1) + " failed";
            finish(false, why);
            return;
        }
    }
    // The connection stays as the script left it until the server is destroyed.
    finish(true, {});
}

bool ScriptedServer::acceptClient()
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(kStepLimitMs);
    while (!stopping() && Clock::now() < deadline) {
        pollfd watch { listener_, POLLIN, 0 };
        if (::poll(&watch, 1, kSliceMs) <= 0)
            continue;
        client_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client_ < 0)
            return false;
        int one = 1;
        // Each send() becomes its own segment, so pauses split what the client sees.
        ::setsockopt(client_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        return true;
    }
    return false;
}

bool ScriptedServer::sleepFor(int milliseconds)
{
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return stopping(); });
    return !stopping();
}

bool ScriptedServer::writeAll(const std::string& bytes)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(kStepLimitMs);
    size_t done = 0;
    while (done < bytes.size()) {
        if (stopping() || Clock::now() >= deadline)
            return false;
        pollfd watch { client_, POLLOUT, 0 };
        if (::poll(&watch, 1, kSliceMs) <= 0)
            continue;
        ssize_t n = ::send(client_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return false;
        if (n > 0)
            done += static_cast<size_t>(n);
    }
    return true;
}

// Reads into the record until `wanted` bytes arrived or, with untilLineEnd,
// until the bytes read so far end a line.
bool ScriptedServer::readInto(bool untilLineEnd, size_t wanted)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(kStepLimitMs);
    std::string got;
    char buffer[65536];
    while (untilLineEnd ? got.size() < 2 || got.compare(got.size() - 2, 2, "\r\n") != 0 : got.size() < wanted) {
        if (stopping() || Clock::now() >= deadline)
            return false;
        pollfd watch { client_, POLLIN, 0 };
        if (::poll(&watch, 1, std::min(kSliceMs, remainingMs(deadline))) <= 0)
            continue;
        // A line is read one byte at a time so that nothing after it is taken.
        size_t want = untilLineEnd ? 1 : std::min(sizeof buffer, wanted - got.size());
        ssize_t n = ::recv(client_, buffer, want, MSG_DONTWAIT);
        if (n == 0)
            return false;
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                continue;
            return false;
        }
        got.append(buffer, static_cast<size_t>(n));
        std::lock_guard<std::mutex> lock(mutex_);
        received_.append(buffer, static_cast<size_t>(n));
    }
    return true;
}

bool ScriptedServer::runStep(const Step& step)
{
    switch (step.kind) {
    case Kind::Send:
        return writeAll(step.bytes);
    case Kind::Stream: {
        const auto until = Clock::now() + std::chrono::milliseconds(step.milliseconds);
        while (Clock::now() < until && !stopping())
            if (!writeAll(step.bytes))
                return true; // the client has gone: the stream ends here
        return true;
    }
    case Kind::Pause:
        return sleepFor(step.milliseconds);
    case Kind::ExpectLine:
        return readInto(true, 0);
    case Kind::ExpectBytes:
        return readInto(false, step.count);
    case Kind::ReadSlowly:
        for (size_t left = step.count; left > 0;) {
            const size_t portion = std::min(step.portion, left);
            if (!readInto(false, portion))
                return false;
            left -= portion;
            if (left > 0 && !sleepFor(step.milliseconds))
                return false;
        }
        return true;
    case Kind::Close:
        ::shutdown(client_, SHUT_WR);
        return true;
    case Kind::Reset: {
        linger abortive { 1, 0 };
        ::setsockopt(client_, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
        closeClient();
        return true;
    }
    }
    return false;
}

void ScriptedServer::closeClient()
{
    if (client_ >= 0) {
        ::close(client_);
        client_ = -1;
    }
}
