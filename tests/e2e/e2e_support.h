#pragma once
// What the fault and soak runs of the real program share: a private directory, the program
// in its own working directory, grafimo.cfg, and what /proc tells about the process.

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "grafimo/history.h"
#include "grafimo/sim/server.h"
#include "grafimo_test/history_dir_rule.h"
#include "grafimo_test/program.h"
#include "grafimo_test/sim_bus.h"
#include "grafimo_test/temp_dir.h"
#include "grafimo_test/live_readings.h"

namespace grafimo::e2e {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using grafimo::test::Program;
using grafimo::test::slurp;
using grafimo::test::waitUntil;
using TempDir = grafimo::test::TempDir;

inline std::uintmax_t sizeOf(const fs::path& p)
{
    std::error_code ec;
    const auto n = fs::file_size(p, ec);
    return ec ? 0 : n;
}

// grafimo.cfg: the port name in the 100-byte header, then one record per device.
inline void writeConfig(const fs::path& file, const std::string& port, const std::vector<std::uint8_t>& addresses)
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

// The simulator serving plain devices at `addresses` on `link`; they answer after a wire's
// turnaround.
inline grafimo::sim::ServerConfig simBus(const fs::path& link, const std::vector<std::uint8_t>& addresses)
{
    grafimo::sim::ServerConfig config = grafimo::test::simDevices(addresses);
    config.linkPath = link.string();
    return config;
}

// The readings of the device's complete live answers, in the order they were sent: the
// sample the device meant to send, whatever a fault did to the bytes; the tabled reading
// where there is one.
inline std::vector<grafimo::test::Reading> answered(const grafimo::sim::PtyServer& sim, std::uint8_t address)
{
    std::vector<grafimo::test::Reading> out;
    for (const auto& a : sim.answerLog()) {
        if (a.address != address || !a.complete || !a.registers)
            continue;
        const auto tabled = grafimo::test::tabledReading(address, a.sample);
        out.push_back(tabled ? *tabled : grafimo::test::readingAsDecimal(*a.registers));
    }
    return out;
}

// Empty when every stored record is one of the device's answers, in order, none made up or
// stored twice; otherwise what is wrong.
inline std::string storedAsAnswered(const std::vector<grafimo::HistoryRecord>& records,
                                    const std::vector<grafimo::test::Reading>& answers)
{
    std::size_t next = 0;
    for (std::size_t i = 0; i < records.size(); ++i) {
        while (next < answers.size() &&
               (answers[next].value1 != records[i].value1 || answers[next].value2 != records[i].value2))
            ++next;
        if (next == answers.size())
            return "record " + std::to_string(i) + " (" + std::to_string(records[i].value1) + ", " +
                   std::to_string(records[i].value2) + ") was never answered";
        if (i > 0 && records[i].time <= records[i - 1].time)
            return "record " + std::to_string(i) + " is not later than the one before";
        ++next;
    }
    return {};
}

// Working directory and private runtime directory of one run, and where its history goes.
struct Scene {
    TempDir work;
    TempDir runtime;
    fs::path history;

    explicit Scene(const fs::path& base = fs::temp_directory_path()) : work("grafimo-e2e", base), runtime("grafimo-e2e", base)
    {
        ::chmod(runtime.path().c_str(), 0700);
        history = grafimo::test::historyDirByRule(runtime.path(), work.path());
    }
    fs::path historyFile(std::uint8_t address) const { return history / grafimo::historyFileName(address); }
};

// CPU time (user + system, in clock ticks) used so far by each thread of a process.
inline std::map<int, unsigned long long> threadCpuTicks(pid_t pid)
{
    std::map<int, unsigned long long> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
        const std::string stat = slurp(e.path() / "stat");
        const auto close = stat.rfind(')');
        if (close == std::string::npos)
            continue;
        std::istringstream rest(stat.substr(close + 2));
        std::string field;
        unsigned long long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && rest >> field; ++i) {
            if (i == 14)
                utime = std::stoull(field);
            if (i == 15)
                stime = std::stoull(field);
        }
        out[std::stoi(e.path().filename().string())] = utime + stime;
    }
    return out;
}

// The highest share of one core any single thread used between two samples.
inline double busiestThreadShare(const std::map<int, unsigned long long>& before,
                                 const std::map<int, unsigned long long>& after, double seconds)
{
    const double ticksPerSecond = static_cast<double>(::sysconf(_SC_CLK_TCK));
    double worst = 0;
    for (const auto& [tid, ticks] : after) {
        const auto b = before.find(tid);
        const unsigned long long used = ticks - (b == before.end() ? 0 : b->second);
        worst = std::max(worst, static_cast<double>(used) / ticksPerSecond / seconds);
    }
    return worst;
}

// Resident memory in KiB, 0 once the process is gone.
inline long residentKiB(pid_t pid)
{
    std::istringstream in(slurp("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return 0;
}

} // namespace grafimo::e2e
