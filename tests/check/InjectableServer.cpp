#include "tests/check/InjectableServer.h"

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <openssl/ssl.h>

InjectableServer::InjectableServer(const std::string& certificate, const std::string& key, bool ipv6)
{
    context_ = SSL_CTX_new(TLS_server_method());
    if (!context_ || SSL_CTX_use_certificate_chain_file(context_, certificate.c_str()) != 1
        || SSL_CTX_use_PrivateKey_file(context_, key.c_str(), SSL_FILETYPE_PEM) != 1)
        return;
    listener_ = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage address {};
    socklen_t length = 0;
    if (ipv6) {
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
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(listener_, 16) != 0
        || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return;
    port_ = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                       : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

InjectableServer::~InjectableServer()
{
    stop_ = true;
    if (acceptor_.joinable())
        acceptor_.join();
    for (std::thread& session : sessions_)
        session.join();
    if (listener_ >= 0)
        ::close(listener_);
    SSL_CTX_free(context_);
}

void InjectableServer::acceptLoop()
{
    while (!stop_) {
        pollfd watch { listener_, POLLIN, 0 };
        if (::poll(&watch, 1, 50) <= 0)
            continue;
        const int client = ::accept(listener_, nullptr, nullptr);
        if (client < 0)
            continue;
        std::lock_guard<std::mutex> guard(lock_);
        sessions_.emplace_back([this, client] { serve(client); });
    }
}

void InjectableServer::serve(int client)
{
    // OpenSSL writes with write(): a client gone must not end the test program.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    timeval limit { 3, 0 };
    ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    SSL* ssl = nullptr;
    std::string buffer; // the flaw: kept across STLS
    auto write = [&](const std::string& text) {
        if (ssl)
            SSL_write(ssl, text.data(), static_cast<int>(text.size()));
        else
            ::send(client, text.data(), text.size(), MSG_NOSIGNAL);
    };
    write("+OK injectable POP3 ready\r\n");
    while (!stop_) {
        const size_t end = buffer.find("\r\n");
        if (end == std::string::npos) {
            char chunk[1024];
            const int count
                = ssl ? SSL_read(ssl, chunk, sizeof chunk) : static_cast<int>(::recv(client, chunk, sizeof chunk, 0));
            if (count <= 0 || buffer.size() > 8192)
                break;
            buffer.append(chunk, static_cast<size_t>(count));
            continue;
        }
        const std::string command = buffer.substr(0, end);
        buffer.erase(0, end + 2);
        if (command == "CAPA") {
            write(std::string("+OK\r\nUSER\r\n") + (ssl ? "" : "STLS\r\n") + "SASL PLAIN\r\n.\r\n");
        } else if (command == "STLS" && !ssl) {
            write("+OK begin TLS\r\n");
            ssl = SSL_new(context_);
            SSL_set_fd(ssl, client);
            if (SSL_accept(ssl) != 1)
                break;
        } else if (command.rfind("USER ", 0) == 0) {
            write("+OK\r\n");
        } else if (command.rfind("PASS ", 0) == 0) {
            write("-ERR [AUTH] Authentication failed\r\n");
        } else if (command == "QUIT") {
            write("+OK bye\r\n");
            break;
        } else {
            write("-ERR unknown command\r\n");
        }
    }
    if (ssl) {
        SSL_shutdown(ssl);
        SSL_free(ssl);
    }
    ::close(client);
}
