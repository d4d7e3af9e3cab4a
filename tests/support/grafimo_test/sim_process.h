#pragma once
// Runs the grafimo-sim tool (or another program) as a child process: reads the first line it
// prints, signals it and waits for its exit with deadlines.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

extern char** environ;

namespace grafimo::test {

class ChildProcess {
public:
    // `stderrPath`: file that receives the child's standard error; empty keeps ours.
    ChildProcess(const std::string& exe, const std::vector<std::string>& args, const std::string& stderrPath = {})
    {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0)
            throw std::system_error(errno, std::generic_category(), "pipe2");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        if (!stderrPath.empty())
            posix_spawn_file_actions_addopen(&actions, 2, stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(exe.c_str()));
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        const int rc = ::posix_spawn(&pid_, exe.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        if (rc != 0) {
            ::close(out[0]);
            throw std::system_error(rc, std::generic_category(), "posix_spawn " + exe);
        }
        stdout_ = out[0];
        // Lets waitExit poll with a deadline; without it, waitExit blocks.
        pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    }
    ~ChildProcess()
    {
        if (!status_) {
            ::kill(pid_, SIGKILL);
            int st = 0;
            ::waitpid(pid_, &st, 0);
        }
        if (stdout_ >= 0)
            ::close(stdout_);
        if (pidfd_ >= 0)
            ::close(pidfd_);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const noexcept { return pid_; }

    // The first line of standard output without its newline; none if the child closed its
    // output or the time ran out first.
    std::optional<std::string> firstLine(std::chrono::milliseconds timeout)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            if (const auto nl = buffered_.find('\n'); nl != std::string::npos) {
                std::string line = buffered_.substr(0, nl);
                buffered_.erase(0, nl + 1);
                return line;
            }
            if (!readSome(deadline))
                return std::nullopt;
        }
    }

    // Everything on standard output up to its end.
    std::string readAll(std::chrono::milliseconds timeout)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (readSome(deadline)) {
        }
        std::string all = std::move(buffered_);
        buffered_.clear();
        return all;
    }

    void signal(int sig) { ::kill(pid_, sig); }

    // The exit code, or 128 + signal number when a signal ended it; none on timeout.
    std::optional<int> waitExit(std::chrono::milliseconds timeout)
    {
        if (status_)
            return status_;
        if (pidfd_ >= 0) {
            pollfd p{pidfd_, POLLIN, 0};
            int rc;
            do
                rc = ::poll(&p, 1, static_cast<int>(timeout.count()));
            while (rc < 0 && errno == EINTR);
            if (rc == 0)
                return std::nullopt;
        }
        int st = 0;
        if (::waitpid(pid_, &st, 0) != pid_)
            return std::nullopt;
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return status_;
    }

private:
    bool readSome(std::chrono::steady_clock::time_point deadline)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() < 0)
            return false;
        pollfd p{stdout_, POLLIN, 0};
        const int rc = ::poll(&p, 1, static_cast<int>(left.count()) + 1);
        if (rc < 0 && errno == EINTR)
            return true;
        if (rc <= 0)
            return false;
        char buf[4096];
        const ssize_t n = ::read(stdout_, buf, sizeof buf);
        if (n <= 0)
            return false;
        buffered_.append(buf, static_cast<std::size_t>(n));
        return true;
    }

    pid_t pid_ = -1;
    int stdout_ = -1;
    int pidfd_ = -1;
    std::string buffered_;
    std::optional<int> status_;
};

}  // namespace grafimo::test
