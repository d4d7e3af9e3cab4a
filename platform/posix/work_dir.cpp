#include "grafimo/platform/work_dir.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace grafimo::platform {

namespace {

constexpr const char* kLockName = "instance.lock";
constexpr const char* kSocketName = "instance.sock";

// The socket's address through the directory's descriptor: short whatever the path, and it
// names the directory that was checked, not whatever the path leads to now.
bool socketAddress(int dirFd, sockaddr_un& address)
{
    address = {};
    address.sun_family = AF_UNIX;
    const int n = std::snprintf(address.sun_path, sizeof address.sun_path, "/proc/self/fd/%d/%s", dirFd, kSocketName);
    return n > 0 && static_cast<std::size_t>(n) < sizeof address.sun_path;
}

} // namespace

std::optional<std::filesystem::path> desktopDataDir(std::string* error)
{
    if (const char* data = std::getenv("XDG_DATA_HOME"); data && data[0] == '/')
        return std::filesystem::path(data) / "grafimo485";
    const char* home = std::getenv("HOME");
    if (!home || home[0] != '/') {
        if (error) *error = "neither XDG_DATA_HOME nor HOME names a folder";
        return std::nullopt;
    }
    return std::filesystem::path(home) / ".local" / "share" / "grafimo485";
}

bool enterDirectory(const std::filesystem::path& dir, bool create, std::string* error)
{
    if (create) {
        std::error_code ec;
        if (!std::filesystem::is_directory(dir, ec)) {
            std::filesystem::create_directories(dir.parent_path(), ec);
            // Another user may not read this user's configuration.
            if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
                if (error) *error = dir.string() + ": " + std::strerror(errno);
                return false;
            }
        }
    }
    if (::chdir(dir.c_str()) != 0) {
        if (error) *error = dir.string() + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

InstanceLock::InstanceLock(const PrivateDir& dir)
{
    const std::filesystem::path lockFile = dir.path() / kLockName;
    auto fail = [&](int err) {
        fault_ = {FileFault::Step::Open, lockFile, err};
        error_ = describe(fault_);
    };
    dirFd_ = ::fcntl(dir.fd(), F_DUPFD_CLOEXEC, 0);
    if (dirFd_ < 0) {
        fail(errno);
        return;
    }
    fd_ = ::openat(dirFd_, kLockName, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ < 0) {
        fail(errno);
        return;
    }
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            state_ = State::HeldElsewhere;
        else
            fail(errno);
        ::close(fd_);
        fd_ = -1;
        return;
    }
    state_ = State::Acquired;
    // A socket left by a copy that crashed is ours to replace: we hold the lock.
    sockaddr_un address{};
    ::unlinkat(dirFd_, kSocketName, 0);
    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listenFd_ >= 0
        && (!socketAddress(dirFd_, address) || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
            || ::listen(listenFd_, 8) != 0)) {
        ::close(listenFd_);
        listenFd_ = -1;
    }
}

InstanceLock::~InstanceLock()
{
    if (listenFd_ >= 0) {
        // Still under the lock, so no later holder's socket is removed.
        ::unlinkat(dirFd_, kSocketName, 0);
        ::close(listenFd_);
    }
    if (fd_ >= 0)
        ::close(fd_);
    if (dirFd_ >= 0)
        ::close(dirFd_);
}

bool InstanceLock::answerRequests(const std::function<void()>& bringForward)
{
    if (listenFd_ < 0)
        return false;
    std::vector<int> askers;
    // Bounded: a flood of starts is answered over several wake-ups.
    while (askers.size() < 16) {
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            break;
        }
        askers.push_back(fd);
    }
    if (askers.empty())
        return false;
    bringForward();
    for (const int fd : askers) {
        const char done = 'F';
        [[maybe_unused]] const auto n = ::send(fd, &done, 1, MSG_NOSIGNAL);
        ::close(fd);
    }
    return true;
}

bool InstanceLock::askHolderForward(std::chrono::milliseconds wait) const
{
    sockaddr_un address{};
    if (state_ != State::HeldElsewhere || !socketAddress(dirFd_, address))
        return false;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    bool answered = false;
    // The connection is the request; the holder may answer and close before anything
    // could be sent, so nothing is.
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        pollfd p{fd, POLLIN, 0};
        const auto end = std::chrono::steady_clock::now() + wait;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            const int r = ::poll(&p, 1, static_cast<int>(std::max<long long>(0, left.count())));
            if (r < 0 && errno == EINTR)
                continue;
            char reply = 0;
            answered = r == 1 && ::recv(fd, &reply, 1, 0) == 1 && reply == 'F';
            break;
        }
    }
    ::close(fd);
    return answered;
}

} // namespace grafimo::platform
