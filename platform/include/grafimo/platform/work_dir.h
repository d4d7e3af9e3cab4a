#pragma once
// Where the program works (grafimo.cfg and the key of its history directory) and the rule
// that only one copy works in a folder at a time.

#include <filesystem>
#include <optional>
#include <string>

namespace grafimo::platform {

// The per-user folder of a start from the desktop menu: $XDG_DATA_HOME/grafimo485 when
// XDG_DATA_HOME is an absolute path, else ~/.local/share/grafimo485. Not created here.
std::optional<std::filesystem::path> desktopDataDir(std::string* error = nullptr);

// Makes `dir` the working directory; with `create`, missing folders are made first
// (mode 0700 for the last one). False with `error` set when that fails.
bool enterDirectory(const std::filesystem::path& dir, bool create, std::string* error = nullptr);

// An exclusive lock on a file, held for the lifetime of the object (flock: it goes with
// the process, so a crashed copy never leaves a folder locked).
class InstanceLock {
public:
    enum class State { Acquired, HeldElsewhere, Failed };

    explicit InstanceLock(const std::filesystem::path& lockFile);
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    State state() const { return state_; }
    // For Failed: what went wrong.
    const std::string& error() const { return error_; }
    // For HeldElsewhere: the process id the holder wrote into the file, when that process
    // runs this same executable; else 0.
    long holderPid() const { return holderPid_; }

private:
    int fd_ = -1;
    State state_ = State::Failed;
    std::string error_;
    long holderPid_ = 0;
};

// The lock file of the working directory: inside its private history directory, which is
// keyed by the working directory already.
std::filesystem::path instanceLockFile(const std::filesystem::path& historyDir);

} // namespace grafimo::platform
