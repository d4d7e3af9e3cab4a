#pragma once
// The program under test as a process of its own: its arguments, working directory,
// environment and output files; waited for, signalled, and killed if a test leaves it running.

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace grafimo::test {

// Polls `condition` until it holds or `timeout` has passed (a failure guard, not a timing).
inline bool waitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds timeout = std::chrono::seconds(60))
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

inline std::string slurp(const std::filesystem::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

struct Launch {
    std::filesystem::path exe;
    std::vector<std::string> args;
    std::filesystem::path workDir;
    std::filesystem::path out;         // its stdout
    std::filesystem::path err;         // its stderr; empty: into `out` as well
    std::vector<std::string> dropEnv;  // names of variables taken out of the environment
    std::vector<std::string> addEnv;   // "NAME=value" entries added to it
    bool wrapped = false;              // through $GRAFIMO_E2E_WRAPPER (e.g. a script running gdb) when set
};

class Program {
public:
    explicit Program(const Launch& launch) : out_(launch.out), err_(launch.err.empty() ? launch.out : launch.err)
    {
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            const std::string entry = *e;
            bool drop = false;
            for (const std::string& name : launch.dropEnv)
                drop = drop || entry.rfind(name + "=", 0) == 0;
            if (!drop)
                env.push_back(entry);
        }
        env.insert(env.end(), launch.addEnv.begin(), launch.addEnv.end());
        std::vector<std::string> args;
        const char* wrapper = std::getenv("GRAFIMO_E2E_WRAPPER");
        if (launch.wrapped && wrapper && *wrapper)
            args.push_back(wrapper);
        args.push_back(launch.exe.string());
        args.insert(args.end(), launch.args.begin(), launch.args.end());
        std::vector<char*> argv, envp;
        for (std::string& s : args)
            argv.push_back(s.data());
        argv.push_back(nullptr);
        for (std::string& s : env)
            envp.push_back(s.data());
        envp.push_back(nullptr);
        const std::string dir = launch.workDir.string(), outPath = out_.string(), errPath = launch.err.string();

        pid_ = ::fork();
        if (pid_ == 0) {
            if (::chdir(dir.c_str()) != 0)
                ::_exit(126);
            const int o = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int e = errPath.empty() ? o : ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (o >= 0)
                ::dup2(o, 1);
            if (e >= 0)
                ::dup2(e, 2);
            ::execve(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
    }
    // The window program in `workDir` on the offscreen platform with a private state
    // directory for its history files, its output in workDir/grafimo485.log.
    Program(const std::filesystem::path& exe, const std::filesystem::path& workDir,
            const std::filesystem::path& runtimeDir)
        : Program(Launch{exe, {}, workDir, workDir / "grafimo485.log", {},
                         {"QT_QPA_PLATFORM", "XDG_RUNTIME_DIR", "XDG_STATE_HOME"},
                         {"QT_QPA_PLATFORM=offscreen", "XDG_STATE_HOME=" + runtimeDir.string()}, true})
    {
    }
    ~Program()
    {
        if (pid_ > 0 && !status_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    pid_t pid() const { return pid_; }
    bool started() const { return pid_ > 0; }
    void signal(int sig) const { ::kill(pid_, sig); }

    bool ended()
    {
        int status = 0;
        if (!status_ && ::waitpid(pid_, &status, WNOHANG) == pid_)
            status_ = status;
        return status_.has_value();
    }
    bool running() { return !ended(); }
    // The wait status once the program has ended, nullopt if it has not within `timeout`.
    std::optional<int> waitExit(std::chrono::milliseconds timeout = std::chrono::seconds(60))
    {
        waitUntil([this] { return ended(); }, timeout);
        return status_;
    }
    // The exit code once the program has ended normally; nullopt if it has not ended
    // within the guard or died of a signal.
    std::optional<int> exitCode()
    {
        waitExit();
        if (!status_ || !WIFEXITED(*status_))
            return std::nullopt;
        return WEXITSTATUS(*status_);
    }
    std::string describe() const
    {
        if (!status_)
            return "still running";
        if (WIFSIGNALED(*status_))
            return "killed by signal " + std::to_string(WTERMSIG(*status_));
        return "exit " + std::to_string(WEXITSTATUS(*status_));
    }
    std::string out() const { return slurp(out_); }
    std::string err() const { return slurp(err_); }
    std::string log() const { return out(); }

private:
    std::filesystem::path out_, err_;
    pid_t pid_ = -1;
    std::optional<int> status_;
};

} // namespace grafimo::test
