#include "grafimo/platform/work_dir.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace grafimo::platform {

namespace {

std::string executableOf(const std::string& procEntry)
{
    char buffer[4096];
    const ssize_t n = ::readlink(procEntry.c_str(), buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

// The pid written in the lock file is only trusted while that process runs this same
// program: the file may still hold an earlier holder's number for a moment, and that
// number may have gone to another process since.
bool runsThisProgram(long pid)
{
    if (pid <= 0)
        return false;
    const std::string self = executableOf("/proc/self/exe");
    return !self.empty() && executableOf("/proc/" + std::to_string(pid) + "/exe") == self;
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

InstanceLock::InstanceLock(const std::filesystem::path& lockFile)
{
    fd_ = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ < 0) {
        error_ = lockFile.string() + ": " + std::strerror(errno);
        return;
    }
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            state_ = State::HeldElsewhere;
            char buffer[32] = {};
            if (::pread(fd_, buffer, sizeof buffer - 1, 0) > 0)
                holderPid_ = std::strtol(buffer, nullptr, 10);
            if (!runsThisProgram(holderPid_))
                holderPid_ = 0;
        } else {
            error_ = lockFile.string() + ": " + std::strerror(errno);
        }
        ::close(fd_);
        fd_ = -1;
        return;
    }
    state_ = State::Acquired;
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd_, 0) == 0)
        [[maybe_unused]] const auto n = ::pwrite(fd_, pid.data(), pid.size(), 0);
}

InstanceLock::~InstanceLock()
{
    if (fd_ >= 0)
        ::close(fd_);
}

std::filesystem::path instanceLockFile(const std::filesystem::path& historyDir)
{
    return historyDir / "instance.lock";
}

} // namespace grafimo::platform
