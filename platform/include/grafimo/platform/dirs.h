#pragma once
#include <filesystem>
#include <optional>
#include <string>

namespace grafimo::platform {

// The directory that holds this run's history files: private to the user (mode 0700),
// never a predictable name in a shared /tmp. It is keyed by the working directory, so two
// instances started from different working directories never touch each other's files.
// Base: $XDG_RUNTIME_DIR when usable, else ~/.cache; only the program's own levels below
// it (grafimo485/<key>) are created, checked to be ours and kept at mode 0700.
// Returns the path with a trailing separator, or nullopt with `error` set.
std::optional<std::filesystem::path> historyDir(std::string* error = nullptr);

// The same rule for an explicit base and working directory (used by tests).
std::optional<std::filesystem::path> historyDirUnder(const std::filesystem::path& base,
                                                     const std::filesystem::path& workingDir,
                                                     std::string* error = nullptr);

} // namespace grafimo::platform
