#include "grafimo/platform/tcp_link.h"

#include <cerrno>
#include <condition_variable>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace grafimo::platform {

namespace {

using Clock = std::chrono::steady_clock;

std::string reasonFor(int err, std::chrono::milliseconds timeout)
{
    switch (err) {
    case ETIMEDOUT:
        return "нет ответа за " + std::to_string((timeout.count() + 999) / 1000) + " с";
    case ECONNREFUSED: return "соединение отклонено";
    case EHOSTUNREACH: return "узел недоступен";
    case ENETUNREACH: return "сеть недоступна";
    case ECONNRESET: return "соединение сброшено";
    default: return std::generic_category().message(err);
    }
}

void closeFd(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

} // namespace

ConnectedSocket::~ConnectedSocket()
{
    if (fd_ >= 0)
        ::close(fd_);
}

ConnectedSocket& ConnectedSocket::operator=(ConnectedSocket&& other) noexcept
{
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = other.release();
    }
    return *this;
}

bool setBusSocketOptions(int fd)
{
    const int on = 1;
    const int idle = TcpConnector::KeepIdleSeconds;
    const int probes = TcpConnector::KeepProbes;
    const int interval = TcpConnector::KeepIntervalSeconds;
    // Data left unacknowledged this long also ends the connection; keepalive alone stays
    // quiet while a request waits to be acknowledged.
    const unsigned userTimeoutMs = static_cast<unsigned>((idle + probes * interval) * 1000);
    bool ok = ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
    ok = ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) == 0 && ok;
    ok = ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) == 0 && ok;
    ok = ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes) == 0 && ok;
    ok = ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) == 0 && ok;
    ok = ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeoutMs, sizeof userTimeoutMs) == 0 && ok;
    return ok;
}

// Sockets of attempts that are still open, cancelled or not.
struct TcpConnector::Gate {
    std::mutex mutex;
    std::condition_variable freed;
    int open = 0;
};

struct TcpConnector::Attempt {
    std::mutex mutex;
    bool cancelled = false;
    bool finished = false;
    int cancelRead = -1;   // readable once cancelled
    int cancelWrite = -1;
    Done done;
};

namespace {

bool cancelled(TcpConnector::Attempt& a)
{
    std::lock_guard lock(a.mutex);
    return a.cancelled;
}

} // namespace

TcpConnector::TcpConnector() : gate_(std::make_shared<Gate>()) {}

TcpConnector::~TcpConnector() { cancel(); }

void TcpConnector::cancel()
{
    std::shared_ptr<Attempt> attempt;
    {
        std::lock_guard lock(mutex_);
        attempt = std::move(current_);
    }
    if (!attempt)
        return;
    {
        std::lock_guard lock(attempt->mutex);
        attempt->cancelled = true;
        if (!attempt->finished) {
            const char byte = 1;
            [[maybe_unused]] const ssize_t ignored = ::write(attempt->cancelWrite, &byte, 1);
        }
    }
    // An attempt waiting for an earlier socket to close looks at its flag again.
    std::lock_guard gateLock(gate_->mutex);
    gate_->freed.notify_all();
}

void TcpConnector::start(const std::string& host, std::uint16_t port, Done done, std::chrono::milliseconds timeout)
{
    cancel();
    auto attempt = std::make_shared<Attempt>();
    attempt->done = std::move(done);
    int pipeFds[2] = {-1, -1};
    if (::pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC) != 0) {
        const int err = errno;
        attempt->finished = true;
        attempt->done(TcpConnectResult{ConnectedSocket(), reasonFor(err, timeout)});
        return;
    }
    attempt->cancelRead = pipeFds[0];
    attempt->cancelWrite = pipeFds[1];
    {
        std::lock_guard lock(mutex_);
        current_ = attempt;
    }

    std::shared_ptr<Gate> gate = gate_;
    // Detached: cancel() must not wait for a resolver that may take seconds. The thread
    // holds everything it uses.
    std::thread([attempt, gate, host, port, timeout] {
        const auto deadline = Clock::now() + timeout;
        TcpConnectResult result;
        int lastErr = ETIMEDOUT;

        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_NUMERICSERV;
        addrinfo* found = nullptr;
        const int gai = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
        if (gai != 0) {
            result.reason = gai == EAI_NONAME || gai == EAI_NODATA || gai == EAI_FAIL
                                ? "имя узла не найдено"
                                : std::string("имя узла не разрешено: ") + ::gai_strerror(gai);
        }
        for (addrinfo* ai = found; ai && !result.socket.valid() && !cancelled(*attempt); ai = ai->ai_next) {
            // Never a second connection to the gateway: wait until an earlier attempt's
            // socket is closed.
            {
                std::unique_lock lock(gate->mutex);
                if (!gate->freed.wait_until(lock, deadline,
                                            [&] { return gate->open == 0 || cancelled(*attempt); })) {
                    lastErr = ETIMEDOUT;
                    break;
                }
                if (cancelled(*attempt))
                    break;
                ++gate->open;
            }
            int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
            int err = fd < 0 ? errno : 0;
            if (fd >= 0 && ::connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
                err = errno;
                if (err == EINPROGRESS || err == EINTR) {
                    err = ETIMEDOUT;
                    for (;;) {
                        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
                        if (left.count() <= 0)
                            break;
                        pollfd fds[2] = {{fd, POLLOUT, 0}, {attempt->cancelRead, POLLIN, 0}};
                        const int ready = ::poll(fds, 2, static_cast<int>(left.count()) + 1);
                        if (ready < 0 && errno == EINTR)
                            continue;
                        if (ready <= 0 || fds[1].revents != 0)
                            break;
                        int soError = 0;
                        socklen_t len = sizeof soError;
                        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) != 0)
                            soError = errno;
                        err = soError;
                        break;
                    }
                }
            }
            if (fd >= 0 && err == 0) {
                setBusSocketOptions(fd);
                result.socket = ConnectedSocket(fd);
            } else {
                lastErr = err;
                closeFd(fd);
                std::lock_guard lock(gate->mutex);
                --gate->open;
                gate->freed.notify_all();
            }
        }
        if (found)
            ::freeaddrinfo(found);
        const bool connected = result.socket.valid();
        if (!connected && result.reason.empty())
            result.reason = reasonFor(lastErr, timeout);

        {
            std::lock_guard lock(attempt->mutex);
            attempt->finished = true;
            closeFd(attempt->cancelRead);
            closeFd(attempt->cancelWrite);
            if (!attempt->cancelled)
                attempt->done(std::move(result));
            // Cancelled: the socket, if any, closes with `result` below.
        }
        result = TcpConnectResult();
        if (connected) {
            std::lock_guard lock(gate->mutex);
            --gate->open;
            gate->freed.notify_all();
        }
    }).detach();
}

} // namespace grafimo::platform
