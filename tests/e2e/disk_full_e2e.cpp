// The real program with its working directory and its history directory on a tiny
// filesystem that fills up while it polls: polling goes on, what was stored before stays
// as it was, storing resumes once there is room again, and a rewrite of grafimo.cfg that
// cannot complete leaves the file as it was. Needs root to mount the filesystem (a small
// tmpfs); skipped otherwise.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <sys/mount.h>

#include "e2e_support.h"
#include "grafimo/config_file.h"
#include "grafimo/sim/server.h"

using namespace grafimo::e2e;

namespace {

class TinyFilesystem {
public:
    TinyFilesystem()
    {
        if (::geteuid() != 0) {
            why_ = "needs root to mount a tmpfs";
            return;
        }
        if (::mount("grafimo-tiny", dir_.path().c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=256k,mode=0700") != 0) {
            why_ = std::string("mount tmpfs: ") + std::strerror(errno);
            return;
        }
        mounted_ = true;
    }
    ~TinyFilesystem()
    {
        if (mounted_)
            ::umount2(dir_.path().c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    const std::string& why() const { return why_; }
    const fs::path& path() const { return dir_.path(); }

private:
    TempDir dir_;
    bool mounted_ = false;
    std::string why_;
};

// Fills the filesystem with one file until the next write fails with ENOSPC.
bool fill(const fs::path& file)
{
    std::FILE* f = std::fopen(file.c_str(), "wb");
    if (!f)
        return false;
    std::setvbuf(f, nullptr, _IONBF, 0);
    const std::string block(4096, 'F');
    while (std::fwrite(block.data(), 1, block.size(), f) == block.size()) {
    }
    // Whatever part of a page is left goes byte by byte.
    while (std::fputc('F', f) != EOF) {
    }
    const bool full = errno == ENOSPC;
    std::fclose(f);
    return full;
}

} // namespace

TEST(Grafimo485DiskFull, PollingGoesOnStoredDataStaysAndTheConfigurationSurvives)
{
    TinyFilesystem tiny;
    if (!tiny.mounted())
        GTEST_SKIP() << "no tiny filesystem: " << tiny.why();

    Scene s(tiny.path());
    const fs::path link = s.work.path() / "ttyBUS";
    const std::vector<std::uint8_t> devices{1, 2, 3};
    grafimo::sim::PtyServer sim(simBus(link, devices));
    sim.start();
    const fs::path cfg = s.work.path() / "grafimo.cfg";
    writeConfig(cfg, link.string(), devices);
    const std::string cfgBefore = slurp(cfg);

    Program program(GRAFIMO485_EXE, s.work.path(), s.runtime.path());
    ASSERT_TRUE(program.started());
    for (std::uint8_t a : devices)
        ASSERT_TRUE(waitUntil([&] { return sizeOf(s.historyFile(a)) >= 3 * 16; })) << int(a) << "\n"
                                                                                 << program.log();

    // The disk fills up. What is stored at this moment must stay as it is.
    ASSERT_TRUE(fill(s.work.path() / "filler"));
    std::vector<std::string> stored;
    for (std::uint8_t a : devices)
        stored.push_back(slurp(s.historyFile(a)));

    // Polling goes on: every device is asked and answers several more times.
    for (std::uint8_t a : devices) {
        const auto answers = sim.stats().answers[a];
        ASSERT_TRUE(sim.waitForAnswers(a, answers + 5, 60s)) << int(a) << "\n" << program.log();
    }
    ASSERT_TRUE(program.running()) << program.log();
    for (std::size_t i = 0; i < devices.size(); ++i) {
        const std::string now = slurp(s.historyFile(devices[i]));
        EXPECT_EQ(now.size() % 16, 0u) << int(devices[i]);
        ASSERT_GE(now.size(), stored[i].size()) << int(devices[i]);
        EXPECT_EQ(now.substr(0, stored[i].size()), stored[i]) << "device " << int(devices[i]) << " lost stored data";
    }

    // A rewrite of the configuration that cannot complete leaves it whole.
    const std::vector<grafimo::DeviceRecord> more{{1, "dev1"}, {2, "dev2"}, {3, "dev3"}, {4, std::string(200, 'd')}};
    const grafimo::RewriteResult rewrite = grafimo::writeDeviceRecords(cfg, more);
    EXPECT_EQ(rewrite.status, grafimo::ConfigWrite::Failed);
    EXPECT_FALSE(rewrite.error.empty());
    EXPECT_EQ(slurp(cfg), cfgBefore);
    EXPECT_EQ(grafimo::loadDeviceList(cfg).devices.size(), devices.size());

    // Room again: storing resumes by itself.
    fs::remove(s.work.path() / "filler");
    for (std::uint8_t a : devices) {
        const auto want = sizeOf(s.historyFile(a)) + 2 * 16;
        EXPECT_TRUE(waitUntil([&] { return sizeOf(s.historyFile(a)) >= want; })) << int(a) << "\n" << program.log();
    }
    EXPECT_EQ(grafimo::writeDeviceRecords(cfg, more).status, grafimo::ConfigWrite::Ok);

    program.signal(SIGTERM);
    const auto status = program.waitExit();
    ASSERT_TRUE(status) << "did not end on SIGTERM\n" << program.log();
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << program.log();
    sim.stop();
}
