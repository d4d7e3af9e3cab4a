// The simulator as a serial device server: the bus's bytes on one TCP connection at a time.

#include "grafimo/sim/server.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <system_error>

namespace grafimo::sim {

namespace {

struct HostPort {
    std::string host;
    std::string port;
};

HostPort splitHostPort(const std::string& text)
{
    const auto colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 == text.size())
        throw std::runtime_error("--tcp: expected HOST:PORT, got '" + text + "'");
    std::string host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    if (host.empty())
        throw std::runtime_error("--tcp: no host in '" + text + "' (0.0.0.0 listens on every address)");
    return {host, text.substr(colon + 1)};
}

std::string endpointText(const sockaddr_storage& addr)
{
    char host[INET6_ADDRSTRLEN] = {};
    std::uint16_t port = 0;
    if (addr.ss_family == AF_INET6) {
        const auto& a = reinterpret_cast<const sockaddr_in6&>(addr);
        ::inet_ntop(AF_INET6, &a.sin6_addr, host, sizeof host);
        port = ntohs(a.sin6_port);
        return "tcp://[" + std::string(host) + "]:" + std::to_string(port);
    }
    const auto& a = reinterpret_cast<const sockaddr_in&>(addr);
    ::inet_ntop(AF_INET, &a.sin_addr, host, sizeof host);
    port = ntohs(a.sin_port);
    return "tcp://" + std::string(host) + ":" + std::to_string(port);
}

} // namespace

void PtyServer::openListener()
{
    const HostPort where = splitHostPort(config_.tcpListen);
    // After an unplug the same port comes back, so a client finds the gateway again.
    const std::string port = listenPort_ != 0 ? std::to_string(listenPort_) : where.port;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (const int rc = ::getaddrinfo(where.host.c_str(), port.c_str(), &hints, &found); rc != 0)
        throw std::runtime_error("--tcp " + config_.tcpListen + ": " + ::gai_strerror(rc));
    int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int err = fd < 0 ? errno : 0;
    const int on = 1;
    if (fd >= 0 && (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0
                    || ::bind(fd, found->ai_addr, found->ai_addrlen) != 0 || ::listen(fd, 4) != 0))
        err = errno;
    ::freeaddrinfo(found);
    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    if (err == 0 && ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len) != 0)
        err = errno;
    if (err != 0) {
        if (fd >= 0)
            ::close(fd);
        throw std::system_error(err, std::generic_category(), "listen on " + config_.tcpListen);
    }
    listenFd_ = fd;
    listenPort_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6&>(bound).sin6_port
                                                   : reinterpret_cast<const sockaddr_in&>(bound).sin_port);
    std::lock_guard lock(mutex_);
    tty_ = endpointText(bound);
}

void PtyServer::acceptClient()
{
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
        return;  // gone again before it was taken, or out of descriptors: the next one
    if (lineFd_ >= 0) {
        ::close(fd);
        std::lock_guard lock(mutex_);
        ++stats_.refusedClients;
        changed_.notify_all();
        return;
    }
    // Answers leave as soon as they are due, as a gateway forwards them from its line.
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    lineFd_ = fd;
    writeBlocked_ = false;
    answersOnConnection_ = 0;
    framer_.reset();
    std::lock_guard lock(mutex_);
    ++stats_.connections;
    stats_.clientConnected = true;
    changed_.notify_all();
}

void PtyServer::dropClient()
{
    if (lineFd_ < 0)
        return;
    ::shutdown(lineFd_, SHUT_RDWR);
    ::close(lineFd_);
    lineFd_ = -1;
    const std::uint64_t lost = dropQueuedAnswers();
    std::lock_guard lock(mutex_);
    stats_.discardedAnswers += lost;
    stats_.clientConnected = false;
    changed_.notify_all();
}

}  // namespace grafimo::sim
