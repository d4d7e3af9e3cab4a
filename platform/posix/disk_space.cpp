#include "grafimo/platform/disk_space.h"

#include <cerrno>
#include <sys/statvfs.h>

namespace grafimo::platform {

std::optional<std::uint64_t> freeDiskBytes(const std::filesystem::path& path)
{
    struct statvfs st{};
    int rc;
    do {
        rc = ::statvfs(path.c_str(), &st);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0)
        return std::nullopt;
    return static_cast<std::uint64_t>(st.f_bavail) * static_cast<std::uint64_t>(st.f_frsize);
}

} // namespace grafimo::platform
