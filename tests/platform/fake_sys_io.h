#pragma once
// The real calls, with faults injected on demand: interrupted and short transfers, full
// output queues, hang-ups, I/O errors and failing terminal settings.

#include "grafimo/platform/sys_io.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>

namespace grafimo::testing {

class FakeSysIo : public platform::SysIo {
public:
    // ---- faults (set before the port is used; atomics so they may change meanwhile) ----
    std::atomic<int> openErrno{0};
    std::atomic<bool> failFlock{false};
    std::atomic<bool> failTcgetattr{false};
    std::atomic<int> failTcsetattrCall{0}; // 1-based number of the tcsetattr call that fails

    std::atomic<int> writeEintr{0};      // this many writes fail with EINTR
    std::atomic<int> writeEagain{0};     // then this many with EAGAIN
    std::atomic<std::size_t> writeChunk{0}; // at most this many bytes per write (0: all)
    std::atomic<bool> outputStuck{false};   // every write says EAGAIN; POLLOUT never comes
    std::atomic<bool> queueStalled{false};  // written bytes never leave the output queue
    std::atomic<int> writeErrno{0};         // every write and send fails with this (EIO, EPIPE)
    std::atomic<int> outputFlushes{0};      // tcflush calls that dropped the output queue

    std::atomic<int> readEintr{0};
    std::atomic<int> readEagain{0};
    std::atomic<int> readErrno{0};          // every read fails with this (EIO: device gone)
    std::atomic<short> pollRevents{0};      // reported for the port at once (POLLHUP, POLLERR)
    // A USB adapter's driver holding these serial flags (TIOCGSERIAL/TIOCSSERIAL); -1: none.
    std::atomic<int> serialFlags{-1};
    std::atomic<bool> serialRefused{false}; // TIOCSSERIAL fails with EPERM

    // ---- what happened ----
    std::atomic<int> portFd{-1};
    std::atomic<int> opens{0};
    std::atomic<int> closes{0};
    std::atomic<int> writes{0};
    std::atomic<int> reads{0};
    std::atomic<int> tcsetattrCalls{0};
    std::atomic<int> exclusiveSet{0};     // TIOCEXCL calls that succeeded
    std::atomic<int> exclusiveCleared{0}; // TIOCNXCL calls

    int open(const char* path, int flags) override
    {
        if (const int e = openErrno.load()) {
            errno = e;
            return -1;
        }
        const int fd = SysIo::open(path, flags);
        if (fd >= 0) {
            ++opens;
            portFd = fd;
        }
        return fd;
    }
    int close(int fd) override
    {
        if (fd == portFd.load())
            ++closes;
        return SysIo::close(fd);
    }
    int flock(int fd, int op) override
    {
        if (failFlock) {
            errno = EWOULDBLOCK;
            return -1;
        }
        return SysIo::flock(fd, op);
    }
    int ioctl(int fd, unsigned long request, void* arg) override
    {
        if ((request == TIOCGSERIAL || request == TIOCSSERIAL) && serialFlags >= 0) {
            if (request == TIOCSSERIAL && serialRefused)
                return errno = EPERM, -1;
            auto& flags = static_cast<serial_struct*>(arg)->flags;
            request == TIOCGSERIAL ? void(flags = serialFlags) : serialFlags.store(flags);
            return 0;
        }
        if (request == TIOCOUTQ && queueStalled) {
            *static_cast<int*>(arg) = 64;
            return 0;
        }
        if (request == TIOCNXCL)
            ++exclusiveCleared;
        const int r = SysIo::ioctl(fd, request, arg);
        if (request == TIOCEXCL && r == 0)
            ++exclusiveSet;
        return r;
    }
    int tcflush(int fd, int queue) override
    {
        if (queue == TCOFLUSH || queue == TCIOFLUSH)
            ++outputFlushes;
        return SysIo::tcflush(fd, queue);
    }
    int tcgetattr(int fd, termios* t) override
    {
        if (failTcgetattr) {
            errno = EIO;
            return -1;
        }
        return SysIo::tcgetattr(fd, t);
    }
    int tcsetattr(int fd, int action, const termios* t) override
    {
        const int call = ++tcsetattrCalls;
        if (call == failTcsetattrCall.load()) {
            errno = EINVAL;
            return -1;
        }
        {
            std::lock_guard lock(mutex_);
            lastSettings_ = *t;
        }
        return SysIo::tcsetattr(fd, action, t);
    }
    termios settings() const
    {
        std::lock_guard lock(mutex_);
        return lastSettings_;
    }

    ssize_t send(int fd, const void* buf, size_t count, int flags) override
    {
        ++writes;
        if (const int e = writeErrno.load()) {
            errno = e;
            return -1;
        }
        return SysIo::send(fd, buf, count, flags);
    }

    ssize_t write(int fd, const void* buf, size_t count) override
    {
        ++writes;
        if (const int e = writeErrno.load()) {
            errno = e;
            return -1;
        }
        if (consume(writeEintr)) {
            errno = EINTR;
            return -1;
        }
        if (outputStuck || consume(writeEagain)) {
            errno = EAGAIN;
            return -1;
        }
        const std::size_t chunk = writeChunk.load();
        return SysIo::write(fd, buf, chunk ? std::min(chunk, count) : count);
    }

    ssize_t read(int fd, void* buf, size_t count) override
    {
        ++reads;
        if (const int e = readErrno.load()) {
            errno = e;
            return -1;
        }
        if (consume(readEintr)) {
            errno = EINTR;
            return -1;
        }
        if (consume(readEagain)) {
            errno = EAGAIN;
            return -1;
        }
        return SysIo::read(fd, buf, count);
    }

    int poll(pollfd* fds, nfds_t n, int timeoutMs) override
    {
        {
            std::lock_guard lock(mutex_);
            ++polls_;
        }
        pollCv_.notify_all();
        if (const short r = pollRevents.load(); r != 0 && n > 0 && fds[0].fd == portFd.load()) {
            for (nfds_t i = 0; i < n; ++i)
                fds[i].revents = 0;
            fds[0].revents = r;
            return 1;
        }
        if (outputStuck && n == 2 && (fds[0].events & POLLOUT) != 0) {
            // Only the wake-up channel or the time-out can end this wait.
            const int ready = SysIo::poll(&fds[1], 1, timeoutMs);
            fds[0].revents = 0;
            return ready;
        }
        return SysIo::poll(fds, n, timeoutMs);
    }

    // Waits until poll() has been entered at least `count` times.
    bool waitForPolls(int count, std::chrono::milliseconds timeout)
    {
        std::unique_lock lock(mutex_);
        return pollCv_.wait_for(lock, timeout, [&] { return polls_ >= count; });
    }
    int polls() const
    {
        std::lock_guard lock(mutex_);
        return polls_;
    }

private:
    static bool consume(std::atomic<int>& left)
    {
        int n = left.load();
        while (n > 0) {
            if (left.compare_exchange_weak(n, n - 1))
                return true;
        }
        return false;
    }

    mutable std::mutex mutex_;
    std::condition_variable pollCv_;
    termios lastSettings_{};
    int polls_ = 0;
};

} // namespace grafimo::testing
