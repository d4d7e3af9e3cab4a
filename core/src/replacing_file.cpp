#include "replacing_file.h"

#include "grafimo/file_calls.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <signal.h>
#include <sys/stat.h>

namespace grafimo::detail {

namespace fs = std::filesystem;

namespace {
std::atomic<unsigned> tempCounter{0};

// Temporary files of replacements that were killed half-way (an export or a rewrite ended
// by SIGKILL or a power cut) would pile up: this user's ones of a process that no longer
// runs are removed, whatever file they were meant for.
void removeStaleTemporaries(const fs::path& dir)
{
    FileCalls& calls = fileCalls();
    const std::string prefix = kTemporaryPrefix;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.rfind(prefix, 0) != 0)
            continue;
        const std::size_t dot = name.find('.', prefix.size());
        if (dot == std::string::npos || dot == prefix.size())
            continue;
        const std::string digits = name.substr(prefix.size(), dot - prefix.size());
        if (digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 9)
            continue;
        struct stat st {};
        if (calls.lstat(it->path().c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid())
            continue;
        const pid_t pid = static_cast<pid_t>(std::stol(digits));
        if (pid != ::getpid() && ::kill(pid, 0) != 0 && errno == ESRCH)
            calls.unlink(it->path().c_str());
    }
}
} // namespace

std::string errnoText(const std::string& what, const fs::path& p, int err)
{
    return what + " " + p.string() + ": " + std::strerror(err);
}

std::optional<fs::path> followLinks(const fs::path& file, FileFault& fault)
{
    FileCalls& calls = fileCalls();
    fs::path p = file;
    for (int hop = 0; hop < 40; ++hop) {
        struct stat link {};
        if (calls.lstat(p.c_str(), &link) != 0 || !S_ISLNK(link.st_mode))
            return p;
        const fs::path dir = p.has_parent_path() ? p.parent_path() : fs::path(".");
        struct stat folder {};
        if (calls.stat(dir.c_str(), &folder) != 0) {
            fault = {FileFault::Step::Open, file, errno};
            return std::nullopt;
        }
        if (link.st_uid != ::geteuid() && link.st_uid != folder.st_uid) {
            fault = {FileFault::Step::ForeignLink, file, EACCES};
            return std::nullopt;
        }
        char buffer[4096];
        const ssize_t n = calls.readlink(p.c_str(), buffer, sizeof buffer);
        if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buffer) {
            fault = {FileFault::Step::Open, file, n < 0 ? errno : ENAMETOOLONG};
            return std::nullopt;
        }
        const fs::path to(std::string(buffer, static_cast<std::size_t>(n)));
        p = to.is_absolute() ? to : dir / to;
    }
    fault = {FileFault::Step::Open, file, ELOOP};
    return std::nullopt;
}

bool ReplacingFile::open(const fs::path& file, std::string& error)
{
    FileCalls& calls = fileCalls();
    fault_ = {};
    const auto target = followLinks(file, fault_);
    if (!target) {
        error = describe(fault_);
        return false;
    }
    target_ = *target;
    struct stat st{};
    if (calls.stat(target_.c_str(), &st) == 0) {
        existed_ = true;
        mode_ = st.st_mode & 07777;
        group_ = st.st_gid;
    }
    dir_ = target_.has_parent_path() ? target_.parent_path() : fs::path(".");
    removeStaleTemporaries(dir_);
    const std::string base = std::string(kTemporaryPrefix) + std::to_string(::getpid()) + ".";
    for (int attempt = 0; attempt < 100 && !fd_; ++attempt) {
        temp_ = dir_ / (base + std::to_string(tempCounter.fetch_add(1)));
        // A new file gets the usual 0666 less the umask; an old file's bits are copied.
        int fd;
        do {
            fd = calls.open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, existed_ ? 0600 : 0666);
        } while (fd < 0 && errno == EINTR);
        fd_ = Fd(fd);
        if (!fd_ && errno != EEXIST)
            break;
    }
    if (!fd_) {
        fault_ = {FileFault::Step::Create, file, errno};
        error = describe(fault_);
        temp_.clear();
        return false;
    }
    return true;
}

bool ReplacingFile::write(const void* bytes, std::size_t size, std::string& error)
{
    FileCalls& calls = fileCalls();
    const auto* p = static_cast<const std::uint8_t*>(bytes);
    while (size > 0) {
        const ssize_t w = calls.write(fd_.get(), p, size);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            fault_ = {FileFault::Step::Write, target_, errno};
            error = describe(fault_);
            return false;
        }
        p += w;
        size -= static_cast<std::size_t>(w);
    }
    return true;
}

bool ReplacingFile::commit(std::string& error)
{
    FileCalls& calls = fileCalls();
    if (existed_) {
        // The old file's group first (a shared file of group "lab" stays one); only the
        // owner of that group may give it, so a refusal leaves the user's own group.
        struct stat st {};
        if (calls.fstat(fd_.get(), &st) == 0 && st.st_gid != group_
            && calls.fchown(fd_.get(), static_cast<uid_t>(-1), group_) != 0 && errno != EPERM)
            return failed(FileFault::Step::Permissions, errno, error);
        if (calls.fchmod(fd_.get(), mode_) != 0)
            return failed(FileFault::Step::Permissions, errno, error);
    }
    if (calls.fsync(fd_.get()) != 0)
        return failed(FileFault::Step::Write, errno, error);
    if (!fd_.close())
        return failed(FileFault::Step::Write, errno, error);
    if (calls.rename(temp_.c_str(), target_.c_str()) != 0)
        return failed(FileFault::Step::Replace, errno, error);
    temp_.clear();
    // Make the rename itself durable; the new content is complete either way.
    if (Fd d(openRetry(dir_.c_str(), O_RDONLY | O_DIRECTORY)); d)
        ::fsync(d.get());
    return true;
}

bool ReplacingFile::failed(FileFault::Step step, int err, std::string& error)
{
    fault_ = {step, target_, err};
    error = describe(fault_);
    discard();
    return false;
}

void ReplacingFile::discard()
{
    fd_.reset();
    if (!temp_.empty())
        fileCalls().unlink(temp_.c_str());
    temp_.clear();
}

} // namespace grafimo::detail
