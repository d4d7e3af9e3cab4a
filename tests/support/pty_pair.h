#pragma once
// A pseudo-terminal pair standing in for a serial line: the code under test opens the
// slave side by its path like any serial device, the test plays the device on the master.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <span>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace grafimo::testing {

class PtyPair {
public:
    PtyPair()
    {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0)
            return;
        char name[128] = {};
        if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0
            || ::ptsname_r(master_, name, sizeof name) != 0) {
            closeMaster();
            return;
        }
        slavePath_ = name;
        // The master side as a plain byte pipe too, so nothing it reads is translated.
        termios t{};
        if (::tcgetattr(master_, &t) == 0) {
            ::cfmakeraw(&t);
            ::tcsetattr(master_, TCSANOW, &t);
        }
    }
    ~PtyPair() { closeMaster(); }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool ok() const { return master_ >= 0; }
    int master() const { return master_; }
    const std::string& slavePath() const { return slavePath_; }

    // Hangs the line up: the slave side sees POLLHUP and EIO from now on.
    void closeMaster()
    {
        if (master_ >= 0)
            ::close(master_);
        master_ = -1;
    }

    // Writes all bytes from the device side.
    bool send(std::span<const std::uint8_t> bytes) const
    {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

    // Reads exactly `count` bytes from the device side, giving up after `timeout`.
    std::vector<std::uint8_t> receive(std::size_t count, std::chrono::milliseconds timeout) const
    {
        std::vector<std::uint8_t> out;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (out.size() < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                break;
            pollfd p{master_, POLLIN, 0};
            const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready <= 0 || (p.revents & POLLIN) == 0)
                break;
            std::uint8_t buf[256];
            const std::size_t want = std::min(sizeof buf, count - out.size());
            const ssize_t n = ::read(master_, buf, want);
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (n <= 0)
                break;
            out.insert(out.end(), buf, buf + n);
        }
        return out;
    }

private:
    int master_ = -1;
    std::string slavePath_;
};

} // namespace grafimo::testing
