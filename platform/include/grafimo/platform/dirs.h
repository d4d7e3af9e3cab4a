#pragma once
#include <filesystem>
#include <optional>
#include <string>

#include "grafimo/file_fault.h"

namespace grafimo::platform {

// A private directory held open for as long as it is used: it is checked through its
// descriptor (ours, a real directory, mode 0700) and the files kept in it are opened
// relative to that descriptor, so nothing can be swapped in between the check and the use.
class PrivateDir {
public:
    PrivateDir(std::filesystem::path path, int fd) noexcept : path_(std::move(path)), fd_(fd) {}
    PrivateDir(PrivateDir&& other) noexcept : path_(std::move(other.path_)), fd_(other.fd_) { other.fd_ = -1; }
    PrivateDir& operator=(PrivateDir&&) = delete;
    PrivateDir(const PrivateDir&) = delete;
    ~PrivateDir();

    // With a trailing separator.
    const std::filesystem::path& path() const noexcept { return path_; }
    int fd() const noexcept { return fd_; }

private:
    std::filesystem::path path_;
    int fd_;
};

// The directory that holds the history files of runs in the current working directory,
// on disk so that they outlive a logout: $XDG_STATE_HOME/grafimo485/<key>/ (by default
// ~/.local/state/grafimo485/<key>/). The key is that of the working directory, so two
// copies started from different working directories never touch each other's files. Only
// the program's own levels are checked to be ours and kept at mode 0700; the state folder
// itself is made (mode 0700) when missing, as any program makes it.
// nullopt with `error` (and `fault`, for the step that failed) set when that fails.
std::optional<PrivateDir> openHistoryDir(std::string* error = nullptr, FileFault* fault = nullptr);

// The same rule for an explicit base and working directory (used by tests).
std::optional<PrivateDir> openHistoryDirUnder(const std::filesystem::path& base,
                                              const std::filesystem::path& workingDir,
                                              std::string* error = nullptr, FileFault* fault = nullptr);

// The path of the above, with a trailing separator.
std::optional<std::filesystem::path> historyDir(std::string* error = nullptr, FileFault* fault = nullptr);
std::optional<std::filesystem::path> historyDirUnder(const std::filesystem::path& base,
                                                     const std::filesystem::path& workingDir,
                                                     std::string* error = nullptr);

// $XDG_STATE_HOME when it is an absolute path, else ~/.local/state; not created here.
std::optional<std::filesystem::path> stateHome(std::string* error = nullptr);

} // namespace grafimo::platform
