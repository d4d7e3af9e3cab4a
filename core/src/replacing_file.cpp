#include "replacing_file.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <signal.h>
#include <sys/stat.h>

namespace grafimo::detail {

namespace fs = std::filesystem;

namespace {
std::atomic<unsigned> tempCounter{0};

// Temporary files of rewrites that were killed half-way (".<name>.tmp<pid>.<n>" of a process
// that no longer runs) would pile up beside the file: they are removed.
void removeStaleTemporaries(const fs::path& dir, const std::string& prefix)
{
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
        const pid_t pid = static_cast<pid_t>(std::stol(digits));
        if (pid != ::getpid() && ::kill(pid, 0) != 0 && errno == ESRCH)
            ::unlink(it->path().c_str());
    }
}
} // namespace

std::string errnoText(const std::string& what, const fs::path& p, int err)
{
    return what + " " + p.string() + ": " + std::strerror(err);
}

fs::path resolveLink(const fs::path& file)
{
    std::error_code ec;
    if (fs::is_symlink(file, ec)) {
        const fs::path resolved = fs::weakly_canonical(file, ec);
        if (!ec)
            return resolved;
    }
    return file;
}

bool ReplacingFile::open(const fs::path& file, std::string& error)
{
    target_ = resolveLink(file);
    struct stat st{};
    if (::stat(target_.c_str(), &st) == 0) {
        existed_ = true;
        mode_ = st.st_mode & 07777;
    }
    dir_ = target_.has_parent_path() ? target_.parent_path() : fs::path(".");
    const std::string prefix = "." + target_.filename().string() + ".tmp";
    removeStaleTemporaries(dir_, prefix);
    const std::string base = prefix + std::to_string(::getpid()) + ".";
    for (int attempt = 0; attempt < 100 && !fd_; ++attempt) {
        temp_ = dir_ / (base + std::to_string(tempCounter.fetch_add(1)));
        // A new file gets the usual 0666 less the umask; an old file's bits are copied.
        fd_ = Fd(openRetry(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL, existed_ ? 0600 : 0666));
        if (!fd_ && errno != EEXIST)
            break;
    }
    if (!fd_) {
        lastError_ = errno;
        error = errnoText("cannot create", file, errno);
        temp_.clear();
        return false;
    }
    return true;
}

bool ReplacingFile::write(const void* bytes, std::size_t size, std::string& error)
{
    if (writeAll(fd_.get(), bytes, size))
        return true;
    lastError_ = errno;
    error = errnoText("cannot write", target_, errno);
    return false;
}

bool ReplacingFile::commit(std::string& error)
{
    if (existed_ && ::fchmod(fd_.get(), mode_) != 0)
        return failed("cannot set permissions of", error);
    if (::fsync(fd_.get()) != 0)
        return failed("cannot write", error);
    if (!fd_.close())
        return failed("cannot write", error);
    if (::rename(temp_.c_str(), target_.c_str()) != 0)
        return failed("cannot replace", error);
    temp_.clear();
    // Make the rename itself durable; the new content is complete either way.
    if (Fd d(openRetry(dir_.c_str(), O_RDONLY | O_DIRECTORY)); d)
        ::fsync(d.get());
    return true;
}

bool ReplacingFile::failed(const char* what, std::string& error)
{
    lastError_ = errno;
    error = errnoText(what, target_, errno);
    discard();
    return false;
}

void ReplacingFile::discard()
{
    fd_.reset();
    if (!temp_.empty())
        ::unlink(temp_.c_str());
    temp_.clear();
}

} // namespace grafimo::detail
