// The real program against simulated devices on a pseudo-terminal: it polls and stores
// every device named in grafimo.cfg, survives the adapter being pulled out and put back,
// and closes cleanly on SIGTERM or SIGINT, taking its history files with it.

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "grafimo_test/live_readings.h"
#include "grafimo/history.h"
#include "grafimo_test/history_dir_rule.h"
#include "grafimo/sim/server.h"

extern char** environ;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr auto kDeadline = 30s;

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = kDeadline)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

std::uintmax_t sizeOf(const fs::path& p)
{
    std::error_code ec;
    const auto n = fs::file_size(p, ec);
    return ec ? 0 : n;
}

std::string slurp(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class TempDir {
public:
    TempDir()
    {
        std::string pattern = (fs::temp_directory_path() / "grafimo-e2e-XXXXXX").string();
        if (::mkdtemp(pattern.data()))
            path_ = pattern;
    }
    ~TempDir()
    {
        std::error_code ec;
        if (!path_.empty())
            fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// grafimo.cfg: the port name in the 100-byte header, then one record per device.
void writeConfig(const fs::path& file, const std::string& port, const std::vector<std::uint8_t>& addresses)
{
    std::string bytes(100, '\0');
    bytes[0] = static_cast<char>(port.size());
    bytes.replace(1, port.size(), port);
    for (std::uint8_t a : addresses) {
        const std::string description = "dev" + std::to_string(a);
        bytes += static_cast<char>(a);
        bytes += static_cast<char>(description.size());
        bytes += description;
    }
    std::ofstream(file, std::ios::binary) << bytes;
}

// The program under test, in its own working directory with a private runtime directory.
class Program {
public:
    Program(const fs::path& workDir, const fs::path& runtimeDir) : log_(workDir / "grafimo485.log")
    {
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            const std::string entry = *e;
            if (entry.rfind("QT_QPA_PLATFORM=", 0) != 0 && entry.rfind("XDG_RUNTIME_DIR=", 0) != 0)
                env.push_back(entry);
        }
        env.push_back("QT_QPA_PLATFORM=offscreen");
        env.push_back("XDG_RUNTIME_DIR=" + runtimeDir.string());
        std::vector<char*> envp;
        for (std::string& s : env)
            envp.push_back(s.data());
        envp.push_back(nullptr);
        std::string exe = GRAFIMO485_EXE;
        char* argv[] = {exe.data(), nullptr};
        const std::string logPath = log_.string();
        const std::string dir = workDir.string();

        pid_ = ::fork();
        if (pid_ == 0) {
            if (::chdir(dir.c_str()) != 0)
                ::_exit(126);
            const int fd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (fd >= 0) {
                ::dup2(fd, 1);
                ::dup2(fd, 2);
            }
            ::execve(argv[0], argv, envp.data());
            ::_exit(127);
        }
    }
    ~Program()
    {
        if (pid_ > 0 && !status_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    bool started() const { return pid_ > 0; }
    void signal(int sig) const { ::kill(pid_, sig); }

    // The exit status once the program has ended, within the deadline.
    std::optional<int> waitExit(std::chrono::milliseconds timeout = kDeadline)
    {
        waitUntil(
            [this] {
                int status = 0;
                if (::waitpid(pid_, &status, WNOHANG) == pid_)
                    status_ = status;
                return status_.has_value();
            },
            timeout);
        return status_;
    }
    bool running()
    {
        int status = 0;
        if (!status_ && ::waitpid(pid_, &status, WNOHANG) == pid_)
            status_ = status;
        return !status_;
    }
    std::string log() const { return slurp(log_); }

private:
    fs::path log_;
    pid_t pid_ = -1;
    std::optional<int> status_;
};

struct Scene {
    TempDir work;
    TempDir runtime;
    fs::path history;

    Scene()
    {
        ::chmod(runtime.path().c_str(), 0700);
        history = grafimo::test::historyDirByRule(runtime.path(), work.path());
    }
    fs::path historyFile(std::uint8_t address) const { return history / grafimo::historyFileName(address); }
};

} // namespace

TEST(Grafimo485EndToEnd, PollsStoresSurvivesAnUnplugAndClosesOnSigterm)
{
    Scene s;
    const fs::path link = s.work.path() / "ttyBUS";
    grafimo::sim::ServerConfig config;
    // Devices answer after their turnaround, as on a wire.
    config.turnaround = std::chrono::milliseconds(4);
    for (std::uint8_t a : {1, 2, 3}) {
        grafimo::sim::DeviceConfig d;
        d.address = a;
        config.devices.push_back(d);
    }
    config.linkPath = link.string();
    grafimo::sim::PtyServer sim(config);
    sim.start();
    writeConfig(s.work.path() / "grafimo.cfg", link.string(), {1, 2, 3});
    // A file left by an earlier run must not survive into this one.
    fs::create_directories(s.history);
    std::ofstream(s.historyFile(2)) << "stale";

    Program program(s.work.path(), s.runtime.path());
    ASSERT_TRUE(program.started());

    // Every device is polled and its samples stored, 16 bytes each.
    for (std::uint8_t a : {1, 2, 3}) {
        ASSERT_TRUE(waitUntil([&] { return sizeOf(s.historyFile(a)) >= 3 * 16; })) << "device " << int(a) << "\n"
                                                                                 << program.log();
    }
    EXPECT_EQ(sizeOf(s.historyFile(2)) % 16, 0u);
    // The stored values are the device's answers, in order.
    const auto records = grafimo::readAllHistory(s.historyFile(1));
    ASSERT_TRUE(records && records->size() >= 3);
    std::vector<grafimo::test::Reading> answered;
    for (const auto& a : sim.answerLog()) {
        if (a.address == 1 && a.complete && a.registers) {
            const auto reading = grafimo::test::tabledReading(1, a.sample);
            ASSERT_TRUE(reading) << "sample " << a.sample << " is not tabled";
            answered.push_back(*reading);
        }
    }
    // An answer may be lost on the line (it then fails its CRC), never made up or reordered:
    // the records are the device's answers in order, with at most a few missing.
    ASSERT_GE(answered.size(), records->size());
    std::size_t next = 0;
    for (const auto& r : *records) {
        while (next < answered.size() && (answered[next].value1 != r.value1 || answered[next].value2 != r.value2))
            ++next;
        ASSERT_LT(next, answered.size()) << "record " << r.value1 << " " << r.value2 << " was never answered";
        ++next;
        EXPECT_GT(r.time, 40000.0);
    }

    // Pulled out: polling stops.
    sim.unplug();
    const std::uint64_t beforeReplug = sim.stats().answers[1];
    EXPECT_TRUE(program.running());

    // Put back at the same path: the program finds it again by itself.
    sim.replug();
    ASSERT_TRUE(waitUntil([&] { return sim.stats().answers[1] >= beforeReplug + 3; })) << program.log();
    const auto grown = sizeOf(s.historyFile(3));
    ASSERT_TRUE(waitUntil([&] { return sizeOf(s.historyFile(3)) > grown; }));

    // The stored port name is unchanged by all this.
    EXPECT_EQ(slurp(s.work.path() / "grafimo.cfg").substr(0, 1 + link.string().size()),
              char(link.string().size()) + link.string());

    program.signal(SIGTERM);
    const std::optional<int> status = program.waitExit();
    ASSERT_TRUE(status) << "did not end on SIGTERM\n" << program.log();
    ASSERT_TRUE(WIFEXITED(*status)) << program.log();
    EXPECT_EQ(WEXITSTATUS(*status), 0) << program.log();
    for (std::uint8_t a : {1, 2, 3})
        EXPECT_FALSE(fs::exists(s.historyFile(a))) << int(a);
    // The configuration is not written at close.
    EXPECT_EQ(slurp(s.work.path() / "grafimo.cfg").size(), 100u + 3 * 6);

    // Nothing polls any more.
    const std::uint64_t after = sim.stats().requests[1];
    EXPECT_TRUE(sim.waitForIdle(5s));
    EXPECT_EQ(sim.stats().requests[1], after);
    sim.stop();
}

TEST(Grafimo485EndToEnd, SigintWhileAMessageBoxIsOpenClosesToo)
{
    // No grafimo.cfg: the program starts by telling the user so in a modal box.
    Scene s;
    Program program(s.work.path(), s.runtime.path());
    ASSERT_TRUE(program.started());
    ASSERT_TRUE(waitUntil([&] { return fs::exists(s.work.path() / "grafimo.cfg"); })) << program.log();
    program.signal(SIGINT);
    const std::optional<int> status = program.waitExit();
    ASSERT_TRUE(status) << "did not end on SIGINT\n" << program.log();
    ASSERT_TRUE(WIFEXITED(*status)) << program.log();
    EXPECT_EQ(WEXITSTATUS(*status), 0) << program.log();
}
