#include "grafimo/platform/dirs.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace grafimo::platform {
namespace {

struct Failure {
    std::string* error;
    FileFault* fault;

    bool operator()(const std::filesystem::path& p, FileFault::Step step, int err, const std::string& why = {}) const
    {
        if (error)
            *error = p.string() + ": " + (why.empty() ? std::strerror(err) : why);
        if (fault)
            *fault = {step, p, err};
        return false;
    }
};

int openDirectory(int at, const char* name, int extra)
{
    int fd;
    do {
        fd = ::openat(at, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | extra);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// One of the program's own levels, `name` in the directory `parent`: made when missing,
// opened without following a link, and then checked and kept private through the
// descriptor. The descriptor, or -1.
int privateLevel(int parent, const std::filesystem::path& path, const Failure& fail)
{
    if (::mkdirat(parent, path.filename().c_str(), 0700) != 0 && errno != EEXIST) {
        fail(path, FileFault::Step::Create, errno);
        return -1;
    }
    const int fd = openDirectory(parent, path.filename().c_str(), O_NOFOLLOW);
    if (fd < 0) {
        // ELOOP or ENOTDIR: a link or a file stands where the directory should be.
        const int err = errno;
        fail(path, FileFault::Step::Open, err,
             err == ELOOP || err == ENOTDIR ? "not a directory of this user" : std::string());
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
        fail(path, FileFault::Step::Open, EACCES, "not a directory of this user");
        ::close(fd);
        return -1;
    }
    if ((st.st_mode & 077) != 0 && ::fchmod(fd, 0700) != 0) {
        fail(path, FileFault::Step::Permissions, errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string keyOf(const std::filesystem::path& workingDir)
{
    // FNV-1a over the absolute working directory: short, stable across runs.
    std::uint64_t h = 14695981039346656037ull; // FNV offset basis
    for (unsigned char c : workingDir.string()) {
        h ^= c;
        h *= 1099511628211ull;
    }
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
    return buf;
}

} // namespace

PrivateDir::~PrivateDir()
{
    if (fd_ >= 0)
        ::close(fd_);
}

std::optional<PrivateDir> openHistoryDirUnder(const std::filesystem::path& base,
                                              const std::filesystem::path& workingDir, std::string* error,
                                              FileFault* fault)
{
    const Failure fail{error, fault};
    // The place the program's own directory goes in must be a directory (a link to one
    // will do), and it is not ours to change.
    const int baseFd = openDirectory(AT_FDCWD, base.c_str(), 0);
    if (baseFd < 0) {
        fail(base, FileFault::Step::Open, errno, errno == ENOTDIR ? "not a directory" : std::string());
        return std::nullopt;
    }
    const std::filesystem::path app = base / "grafimo485";
    const int appFd = privateLevel(baseFd, app, fail);
    ::close(baseFd);
    if (appFd < 0)
        return std::nullopt;
    std::error_code ec;
    std::filesystem::path wd = std::filesystem::weakly_canonical(workingDir, ec);
    if (ec)
        wd = workingDir;
    const std::filesystem::path dir = app / keyOf(wd);
    const int dirFd = privateLevel(appFd, dir, fail);
    ::close(appFd);
    if (dirFd < 0)
        return std::nullopt;
    return PrivateDir(dir / "", dirFd);
}

std::optional<std::filesystem::path> stateHome(std::string* error)
{
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && state[0] == '/')
        return std::filesystem::path(state);
    const char* home = std::getenv("HOME");
    if (!home || home[0] != '/') {
        if (error) *error = "no folder for the history files: neither XDG_STATE_HOME nor HOME names one";
        return std::nullopt;
    }
    return std::filesystem::path(home) / ".local" / "state";
}

std::optional<PrivateDir> openHistoryDir(std::string* error, FileFault* fault)
{
    const auto base = stateHome(error);
    if (!base) {
        if (fault) *fault = {FileFault::Step::Open, "XDG_STATE_HOME", ENOENT};
        return std::nullopt;
    }
    // The state folder is made as any program makes it when missing (mode 0700 for the
    // levels made); one that is there is left as it is.
    std::error_code ec;
    if (!std::filesystem::is_directory(*base, ec)) {
        std::filesystem::path made;
        for (const auto& part : *base) {
            made /= part;
            if (::mkdir(made.c_str(), 0700) != 0 && errno != EEXIST)
                break;
        }
    }
    return openHistoryDirUnder(*base, std::filesystem::current_path(ec), error, fault);
}

std::optional<std::filesystem::path> historyDir(std::string* error, FileFault* fault)
{
    if (const auto dir = openHistoryDir(error, fault))
        return dir->path();
    return std::nullopt;
}

std::optional<std::filesystem::path> historyDirUnder(const std::filesystem::path& base,
                                                     const std::filesystem::path& workingDir, std::string* error)
{
    if (const auto dir = openHistoryDirUnder(base, workingDir, error))
        return dir->path();
    return std::nullopt;
}

} // namespace grafimo::platform
