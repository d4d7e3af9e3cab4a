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
    std::uint64_t h = 1469598103934665603ull;
    for (unsigned char c : workingDir.string()) {
        h ^= c;
        h *= 1099511628211ull;
    }
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
    return buf;
}

} // namespace

std::optional<std::filesystem::path> historyDirUnder(const std::filesystem::path& base,
                                                     const std::filesystem::path& workingDir,
                                                     std::string* error)
{
    const std::filesystem::path app = base / "grafimo485";
    if (!privateDirectory(base, error) || !privateDirectory(app, error))
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
    std::filesystem::create_directories(cache, ec);
    return historyDirUnder(cache, cwd, error);
}

} // namespace grafimo::platform
