#pragma once
// Where the program works (grafimo.cfg and the key of its history directory) and the rule
// that only one copy works in a folder at a time.

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "grafimo/file_fault.h"
#include "grafimo/platform/dirs.h"

namespace grafimo::platform {

// The per-user folder of a start from the desktop menu: $XDG_DATA_HOME/grafimo485 when
// XDG_DATA_HOME is an absolute path, else ~/.local/share/grafimo485. Not created here.
std::optional<std::filesystem::path> desktopDataDir(std::string* error = nullptr);

// Makes `dir` the working directory; with `create`, missing folders are made first
// (mode 0700 for the last one). False with `error` set when that fails.
bool enterDirectory(const std::filesystem::path& dir, bool create, std::string* error = nullptr);

// One copy per working folder: an exclusive lock on "instance.lock" in the folder's private
// directory, held for the lifetime of the object (flock: it goes with the process, so a
// crashed copy never leaves a folder locked). The holder also listens on "instance.sock"
// beside it, where a later start in the same folder asks it to bring its window forward;
// only this user can reach that directory, and no process is ever signalled by number.
class InstanceLock {
public:
    enum class State { Acquired, HeldElsewhere, Failed };

    explicit InstanceLock(const PrivateDir& dir);
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    State state() const { return state_; }
    // For Failed: what went wrong.
    const std::string& error() const { return error_; }
    const FileFault& fault() const { return fault_; }

    // Acquired: the listening socket, readable when a later start asks (-1 when it could
    // not be made; the lock holds all the same).
    int requestFd() const { return listenFd_; }
    // Acquired: takes every waiting request; when there was one, calls `bringForward` once
    // and then tells each asker it is done. True when there was a request.
    bool answerRequests(const std::function<void()>& bringForward);

    // HeldElsewhere: asks the holder to bring its window forward and waits up to `wait`
    // for its answer. True when it answered.
    bool askHolderForward(std::chrono::milliseconds wait) const;

private:
    int fd_ = -1;
    int dirFd_ = -1;
    int listenFd_ = -1;
    State state_ = State::Failed;
    std::string error_;
    FileFault fault_;
};

} // namespace grafimo::platform
