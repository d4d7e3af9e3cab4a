#include "grafimo/platform/dirs.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace grafimo::platform {
namespace {

// A directory we may keep files in: ours, a real directory (not a link), no access for others.
bool privateDirectory(const std::filesystem::path& dir, std::string* error)
{
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0) {
        if (errno != ENOENT) {
            if (error) *error = dir.string() + ": " + std::strerror(errno);
            return false;
        }
        if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
            if (error) *error = dir.string() + ": " + std::strerror(errno);
            return false;
        }
        if (::lstat(dir.c_str(), &st) != 0) {
            if (error) *error = dir.string() + ": " + std::strerror(errno);
            return false;
        }
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
        if (error) *error = dir.string() + ": not a directory of this user";
        return false;
    }
    if ((st.st_mode & 077) != 0 && ::chmod(dir.c_str(), 0700) != 0) {
        if (error) *error = dir.string() + ": " + std::strerror(errno);
        return false;
    }
    return true;
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

// The place the program's own directory goes in: it must be a directory (a link to one will
// do), and it is not ours to change.
bool usableBase(const std::filesystem::path& base, std::string* error)
{
    struct stat st {};
    if (::stat(base.c_str(), &st) != 0) {
        if (error) *error = base.string() + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        if (error) *error = base.string() + ": not a directory";
        return false;
    }
    return true;
}

} // namespace

std::optional<std::filesystem::path> historyDirUnder(const std::filesystem::path& base,
                                                     const std::filesystem::path& workingDir,
                                                     std::string* error)
{
    const std::filesystem::path app = base / "grafimo485";
    // Only the program's own levels are created, checked and kept private.
    if (!usableBase(base, error) || !privateDirectory(app, error))
        return std::nullopt;
    std::error_code ec;
    std::filesystem::path wd = std::filesystem::weakly_canonical(workingDir, ec);
    if (ec)
        wd = workingDir;
    const std::filesystem::path dir = app / keyOf(wd);
    if (!privateDirectory(dir, error))
        return std::nullopt;
    return dir / "";
}

std::optional<std::filesystem::path> historyDir(std::string* error)
{
    std::error_code ec;
    const std::filesystem::path cwd = std::filesystem::current_path(ec);
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
        std::string ignored;
        if (auto dir = historyDirUnder(runtime, cwd, &ignored))
            return dir;
    }
    const char* home = std::getenv("HOME");
    if (!home || !*home) {
        if (error) *error = "no private directory: neither XDG_RUNTIME_DIR nor HOME is usable";
        return std::nullopt;
    }
    const std::filesystem::path cache = std::filesystem::path(home) / ".cache";
    // Made as any program makes it when missing; an existing one is left as it is.
    if (!std::filesystem::exists(cache, ec))
        ::mkdir(cache.c_str(), 0700);
    return historyDirUnder(cache, cwd, error);
}

} // namespace grafimo::platform
