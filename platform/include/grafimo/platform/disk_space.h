#pragma once
#include <cstdint>
#include <filesystem>
#include <optional>

namespace grafimo::platform {

// Bytes an unprivileged user may still write on the filesystem that holds `path`; nothing
// when it cannot be told.
std::optional<std::uint64_t> freeDiskBytes(const std::filesystem::path& path);

} // namespace grafimo::platform
