#pragma once
// The master's side of a simulated line in tests: opens a terminal raw at 9600 8N1 and
// exchanges bytes with deadlines instead of sleeps.

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "grafimo_test/crc_reference.h"

namespace grafimo::test {

// A request frame: the given bytes followed by their CRC-16, low byte first.
inline std::vector<std::uint8_t> withCrc(std::initializer_list<std::uint8_t> body)
{
    return reference::sealed(body);
}

// True when the last two bytes are the CRC-16 (low byte first) of the bytes before them.
inline bool hasValidCrc(std::span<const std::uint8_t> frame)
{
    return reference::sealOk(frame);
}

class TtyClient {
public:
    explicit TtyClient(const std::string& path)
    {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0)
            throw std::system_error(errno, std::generic_category(), "open " + path);
        termios t{};
        if (::tcgetattr(fd_, &t) == 0) {
            ::cfmakeraw(&t);
            ::cfsetispeed(&t, B9600);
            ::cfsetospeed(&t, B9600);
            t.c_cflag |= CLOCAL | CREAD;
            ::tcsetattr(fd_, TCSANOW, &t);
        }
    }
    // Takes over an open descriptor (for example the master of a test's own pty).
    struct Adopt {};
    TtyClient(Adopt, int fd) : fd_(fd) {}
    ~TtyClient()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    TtyClient(const TtyClient&) = delete;
    TtyClient& operator=(const TtyClient&) = delete;

    int fd() const noexcept { return fd_; }

    void send(std::span<const std::uint8_t> bytes)
    {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
            } else if (n < 0 && errno == EAGAIN) {
                pollfd p{fd_, POLLOUT, 0};
                ::poll(&p, 1, 1000);
            } else if (!(n < 0 && errno == EINTR)) {
                throw std::system_error(errno, std::generic_category(), "write");
            }
        }
    }

    // Reads until `n` bytes have come or the time is up; returns what came.
    std::vector<std::uint8_t> readExactly(std::size_t n, std::chrono::milliseconds timeout)
    {
        std::vector<std::uint8_t> out;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (out.size() < n) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() < 0)
                break;
            pollfd p{fd_, POLLIN, 0};
            const int rc = ::poll(&p, 1, static_cast<int>(left.count()) + 1);
            if (rc < 0 && errno == EINTR)
                continue;
            if (rc <= 0)
                break;
            if (!(p.revents & POLLIN))
                break;  // hang-up or error without data
            std::uint8_t buf[256];
            const ssize_t got = ::read(fd_, buf, std::min(sizeof buf, n - out.size()));
            if (got > 0)
                out.insert(out.end(), buf, buf + got);
            else if (!(got < 0 && (errno == EAGAIN || errno == EINTR)))
                break;
        }
        return out;
    }

    // Whatever has already arrived, without waiting.
    std::vector<std::uint8_t> readAvailable()
    {
        std::vector<std::uint8_t> out;
        std::uint8_t buf[256];
        for (;;) {
            const ssize_t got = ::read(fd_, buf, sizeof buf);
            if (got <= 0)
                return out;
            out.insert(out.end(), buf, buf + got);
        }
    }

private:
    int fd_ = -1;
};

}  // namespace grafimo::test
