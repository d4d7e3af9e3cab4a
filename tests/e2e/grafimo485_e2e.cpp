// The real program against simulated devices on a pseudo-terminal: it polls and stores
// every device named in grafimo.cfg, survives the adapter being pulled out and put back,
// and ends cleanly on SIGTERM or SIGINT, keeping its history files and its run marker for
// the next start, since the user was not asked.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "e2e_support.h"
#include "grafimo/run_marker.h"
#include "grafimo_test/live_readings.h"

using namespace grafimo::e2e;

TEST(Grafimo485EndToEnd, PollsStoresSurvivesAnUnplugAndKeepsItsSamplesOnSigterm)
{
    Scene s;
    const fs::path link = s.work.path() / "ttyBUS";
    grafimo::sim::PtyServer sim(simBus(link, {1, 2, 3}));
    sim.start();
    writeConfig(s.work.path() / "grafimo.cfg", link.string(), {1, 2, 3});
    // A file left by an earlier run must not survive into this one.
    fs::create_directories(s.history);
    std::ofstream(s.historyFile(2)) << "stale";

    Program program(GRAFIMO485_EXE, s.work.path(), s.runtime.path());
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

    EXPECT_TRUE(fs::exists(s.history / grafimo::kRunMarkerName));
    const auto stopped = std::chrono::steady_clock::now();
    program.signal(SIGTERM);
    const std::optional<int> status = program.waitExit();
    ASSERT_TRUE(status) << "did not end on SIGTERM\n" << program.log();
    ASSERT_TRUE(WIFEXITED(*status)) << program.log();
    EXPECT_EQ(WEXITSTATUS(*status), 0) << program.log();
    std::printf("ended %.0f ms after SIGTERM\n",
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - stopped).count());
    // Whole records only, and the marker that makes the next start offer them.
    for (std::uint8_t a : {1, 2, 3}) {
        EXPECT_GE(sizeOf(s.historyFile(a)), 3u * 16) << int(a);
        EXPECT_EQ(sizeOf(s.historyFile(a)) % 16, 0u) << int(a);
    }
    EXPECT_TRUE(fs::exists(s.history / grafimo::kRunMarkerName));
    // The configuration is not written at close.
    EXPECT_EQ(slurp(s.work.path() / "grafimo.cfg").size(), 100u + 3 * 6);

    // Nothing polls any more.
    const std::uint64_t after = sim.stats().requests[1];
    EXPECT_TRUE(sim.waitForIdle(5s));
    EXPECT_EQ(sim.stats().requests[1], after);
    sim.stop();
}

TEST(Grafimo485EndToEnd, SigintOrSighupWhileAMessageBoxIsOpenClosesToo)
{
    for (const int sig : {SIGINT, SIGHUP}) {
        // No grafimo.cfg: the program starts by telling the user so in a modal box.
        Scene s;
        Program program(GRAFIMO485_EXE, s.work.path(), s.runtime.path());
        ASSERT_TRUE(program.started());
        ASSERT_TRUE(waitUntil([&] { return fs::exists(s.work.path() / "grafimo.cfg"); })) << program.log();
        program.signal(sig);
        const std::optional<int> status = program.waitExit();
        ASSERT_TRUE(status) << "did not end on signal " << sig << "\n" << program.log();
        ASSERT_TRUE(WIFEXITED(*status)) << program.log();
        EXPECT_EQ(WEXITSTATUS(*status), 0) << program.log();
    }
}
