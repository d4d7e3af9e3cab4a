#include "grafimo/run_marker.h"

#include "posix_file.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <sys/stat.h>

namespace grafimo {

namespace {

constexpr std::string_view kHeader = "grafimo485 run\n";
// The folder is a path: far below this.
constexpr std::size_t kMaxMarker = 64 * 1024;

} // namespace

bool writeRunMarker(const std::filesystem::path& dir, const RunMarker& marker)
{
    char number[64];
    const auto [end, ec] = std::to_chars(number, number + sizeof number, marker.started);
    if (ec != std::errc())
        return false;
    const std::string text = std::string(kHeader) + std::string(number, end) + "\n" + marker.folder + "\n";
    const std::filesystem::path file = dir / kRunMarkerName;
    const std::filesystem::path temp = dir / (std::string(".") + kRunMarkerName + ".new");
    ::unlink(temp.c_str());
    detail::Fd fd(detail::openRetry(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600));
    bool ok = fd && detail::writeAll(fd.get(), text.data(), text.size()) && ::fsync(fd.get()) == 0 && fd.close();
    ok = ok && ::rename(temp.c_str(), file.c_str()) == 0;
    if (!ok)
        ::unlink(temp.c_str());
    return ok;
}

std::optional<RunMarker> readRunMarker(const std::filesystem::path& dir)
{
    const std::filesystem::path file = dir / kRunMarkerName;
    detail::Fd fd(detail::openRetry(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK));
    struct stat st{};
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0 ||
        static_cast<std::size_t>(st.st_size) > kMaxMarker)
        return std::nullopt;
    std::string text(static_cast<std::size_t>(st.st_size), '\0');
    const ssize_t got = detail::preadUpTo(fd.get(), text.data(), text.size(), 0);
    if (got < 0)
        return std::nullopt;
    text.resize(static_cast<std::size_t>(got));
    if (text.compare(0, kHeader.size(), kHeader) != 0)
        return std::nullopt;
    const std::size_t numberEnd = text.find('\n', kHeader.size());
    if (numberEnd == std::string::npos || text.empty() || text.back() != '\n')
        return std::nullopt;
    RunMarker marker;
    const char* first = text.data() + kHeader.size();
    const char* last = text.data() + numberEnd;
    const auto [ptr, ec] = std::from_chars(first, last, marker.started);
    if (ec != std::errc() || ptr != last || !std::isfinite(marker.started))
        return std::nullopt;
    marker.folder = text.substr(numberEnd + 1, text.size() - numberEnd - 2);
    return marker;
}

void removeRunMarker(const std::filesystem::path& dir)
{
    ::unlink((dir / kRunMarkerName).c_str());
}

} // namespace grafimo
