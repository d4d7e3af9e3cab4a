// The configuration file under SIGKILL: a child process rewrites grafimo.cfg over and over
// (a device added, changed, deleted, the port name changed) and is killed at a random point
// of a random rewrite. Whatever moment the kill lands on, the file must afterwards hold the
// complete content of one state of that sequence: never a mix, never cut short, never empty.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "grafimo/config_file.h"
#include "temp_dir.h"

using namespace grafimo;
using grafimo::testing::Bytes;
using grafimo::testing::readBytes;
using grafimo::testing::TempDir;
using grafimo::testing::writeBytes;

namespace {

using Op = std::function<bool(const std::filesystem::path&, std::vector<DeviceRecord>&)>;

bool rewrite(const std::filesystem::path& f, const std::vector<DeviceRecord>& d)
{
    return writeDeviceRecords(f, d).status == ConfigWrite::Ok;
}

// One cycle of edits that ends where it began, so the child can repeat it for ever.
// Each step takes the device list as it stands and changes it the way a user would. The
// two port names have one length: a shorter name would leave the longer one's tail behind.
const std::vector<std::pair<const char*, Op>>& editCycle()
{
    static const std::vector<std::pair<const char*, Op>> ops{
        {"add device 3", [](auto& f, auto& d) { d.push_back({3, "boiler\nroom 2"}); return rewrite(f, d); }},
        {"change device 1", [](auto& f, auto& d) { d[0].description = std::string(200, 'x'); return rewrite(f, d); }},
        {"port name", [](auto& f, auto&) { return writePortName(f, "/dev/ttyS1") == ConfigWrite::Ok; }},
        {"delete device 2", [](auto& f, auto& d) { d.erase(d.begin() + 1); return rewrite(f, d); }},
        {"add device 2 again", [](auto& f, auto& d) { d.push_back({2, "pump"}); return rewrite(f, d); }},
        {"change device 1 back", [](auto& f, auto& d) { d[0].description = "meter"; return rewrite(f, d); }},
        {"port name back", [](auto& f, auto&) { return writePortName(f, "/dev/ttyS0") == ConfigWrite::Ok; }},
        {"delete device 3", [](auto& f, auto& d) { d.erase(d.begin() + 1); return rewrite(f, d); }},
    };
    return ops;
}

const std::vector<DeviceRecord> kStart{{1, "meter"}, {2, "pump"}};

void writeStart(const std::filesystem::path& f)
{
    writeBytes(f, Bytes{});
    ASSERT_EQ(writePortName(f, "/dev/ttyS0"), ConfigWrite::Ok);
    ASSERT_TRUE(rewrite(f, kStart));
}

} // namespace

TEST(ConfigCrash, EveryStateOfTheEditCycleIsDistinct)
{
    // The check below can only tell states apart if they differ.
    TempDir dir;
    const auto f = dir / "grafimo.cfg";
    writeStart(f);
    std::vector<Bytes> states{readBytes(f)};
    auto devices = kStart;
    for (const auto& [name, op] : editCycle()) {
        ASSERT_TRUE(op(f, devices)) << name;
        states.push_back(readBytes(f));
    }
    EXPECT_EQ(states.front(), states.back()) << "the cycle must end where it began";
    for (std::size_t i = 0; i + 1 < states.size(); ++i)
        for (std::size_t j = i + 1; j + 1 < states.size(); ++j)
            EXPECT_NE(states[i], states[j]) << i << " and " << j;
}

TEST(ConfigCrash, KilledRewriteLeavesOneWholeState)
{
    constexpr int kKills = 300;
    TempDir dir;
    const auto f = dir / "grafimo.cfg";

    // Every state the file may legitimately be in, made the same way the child makes them.
    writeStart(f);
    std::vector<Bytes> states{readBytes(f)};
    {
        auto devices = kStart;
        for (const auto& step : editCycle()) {
            ASSERT_TRUE(step.second(f, devices));
            states.push_back(readBytes(f));
        }
        states.pop_back(); // the same as the first
    }

    std::mt19937 rng(20261209);
    int intact = 0;
    for (int kill = 0; kill < kKills; ++kill) {
        writeStart(f);
        int pipeFds[2];
        ASSERT_EQ(::pipe(pipeFds), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(pipeFds[0]);
            auto devices = kStart;
            for (std::uint8_t n = 0;; ++n) {
                for (const auto& step : editCycle()) {
                    // Tell the parent a rewrite starts, then do it.
                    if (::write(pipeFds[1], &n, 1) != 1 || !step.second(f, devices))
                        ::_exit(3);
                }
            }
        }
        ::close(pipeFds[1]);
        // Let the child get a random number of rewrites under way, then kill it a random
        // number of spins later: somewhere inside one rewrite or between two.
        const int started = std::uniform_int_distribution<int>(1, 9)(rng);
        char c;
        int seen = 0;
        while (seen < started && ::read(pipeFds[0], &c, 1) == 1)
            ++seen;
        const unsigned spins = std::uniform_int_distribution<unsigned>(0, 200000)(rng);
        volatile unsigned spun = 0;
        for (unsigned i = 0; i < spins; ++i)
            spun = spun + 1;
        ASSERT_EQ(::kill(child, SIGKILL), 0);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ::close(pipeFds[0]);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
            << "the child stopped by itself (a rewrite failed), status " << status;
        ASSERT_EQ(seen, started);

        const Bytes now = readBytes(f);
        const auto match = std::find(states.begin(), states.end(), now);
        ASSERT_NE(match, states.end()) << "kill " << kill << ": the file is not one whole state ("
                                       << now.size() << " bytes)";
        // The loader sees the devices of that state.
        const ConfigLoad load = loadDeviceList(f);
        ASSERT_TRUE(load.found);
        ASSERT_FALSE(load.devices.empty());
        ++intact;
    }
    EXPECT_EQ(intact, kKills);
    std::size_t leftovers = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.path()))
        leftovers += e.path().filename() != "grafimo.cfg";
    std::printf("kills: %d, file intact after %d; temporary files left by killed rewrites: %zu\n", kKills,
                intact, leftovers);
}
