// The poll cycle end to end: poll thread + receive thread + serial port over a
// pseudo-terminal, against the device simulator (or a hand-played device).

#include <gtest/gtest.h>

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <tuple>

#include "Oproskanala.h"
#include "Protokolthead.h"
#include "Readthread.h"
#include "grafimo/frames.h"
#include "grafimo/history.h"
#include "grafimo/sim/server.h"
#include "grafimo_test/crc_reference.h"
#include "grafimo_test/live_readings.h"
#include "grafimo_test/port_rig.h"
#include "grafimo_test/sim_bus.h"
#include "grafimo_test/temp_dir.h"
#include "pty_pair.h"

using namespace grafimo;
using namespace std::chrono_literals;

namespace {

constexpr auto kDeadline = 20s; // failure guard only

// Records what the poll thread hands to the windows, in order.
class RecordingView : public PollView {
public:
    struct Sample {
        std::uint8_t address;
        float value1;
        float value2;
        double time;
    };

    void requestSent(const std::string& line) override { add([&] { sent.push_back(line); }); }
    void answerReceived(const std::string& line) override { add([&] { received.push_back(line); }); }
    void samplePlotted(std::uint8_t a, float v1, float v2, double t) override
    {
        add([&] { samples.push_back({a, v1, v2, t}); });
    }
    void historyReloaded(std::uint8_t a, std::vector<HistoryRecord> r) override
    {
        add([&] {
            reloads.emplace_back(a, std::move(r));
            samplesAtReload.push_back(samples.size());
        });
    }
    void chartsThinned(std::uint8_t a, std::size_t stride) override
    {
        add([&] { thinnings.emplace_back(a, stride); });
    }
    void historyWriteFailed(std::uint8_t a, const std::string& path) override
    {
        add([&] { writeFailures.emplace_back(a, path); });
    }

    template <class Pred>
    bool waitUntil(Pred pred, std::chrono::milliseconds timeout = kDeadline)
    {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, timeout, [&] { return pred(); });
    }
    template <class F>
    auto locked(F f)
    {
        std::lock_guard lock(mutex);
        return f();
    }

    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::string> sent, received;
    std::vector<Sample> samples;
    std::vector<std::pair<std::uint8_t, std::vector<HistoryRecord>>> reloads;
    std::vector<std::size_t> samplesAtReload; // samples plotted when each reload came
    std::vector<std::pair<std::uint8_t, std::string>> writeFailures;
    std::vector<std::pair<std::uint8_t, std::size_t>> thinnings;

private:
    template <class F>
    void add(F f)
    {
        {
            std::lock_guard lock(mutex);
            f();
        }
        cv.notify_all();
    }
};

// Root may read a file whatever its mode. While alive, the calling thread sets that power
// aside, and so do the threads it starts meanwhile, which inherit it; the file modes then
// hold for them as for any user.
class FileModesHold {
public:
    FileModesHold()
    {
        ok_ = ::syscall(SYS_capget, &header_, saved_) == 0;
        if (!ok_)
            return;
        __user_cap_data_struct lowered[2] = {saved_[0], saved_[1]};
        lowered[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        ok_ = ::syscall(SYS_capset, &header_, lowered) == 0;
    }
    ~FileModesHold()
    {
        if (ok_)
            ::syscall(SYS_capset, &header_, saved_);
    }
    FileModesHold(const FileModesHold&) = delete;
    FileModesHold& operator=(const FileModesHold&) = delete;
    bool ok() const { return ok_; }

private:
    __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved_[2]{};
    bool ok_ = false;
};

// The whole live chain on one line: port, link, receive thread, poll thread.
struct Rig : test::PortRig {
    explicit Rig(std::string ttyPath, std::filesystem::path history)
        : PortRig(ttyPath), historyDir(std::move(history))
    {
    }
    ~Rig() { stop(); }

    void startPolling(PollTiming timing = {}, HistoryReader readHistory = {})
    {
        poll = std::make_unique<oprosKanala>(link, port, devices, view, historyDir, rx.get(), timing,
                                             std::move(readHistory));
        poll->Start();
    }
    void stopPolling()
    {
        if (poll) {
            poll->stopAndWait();
            poll.reset();
        }
    }
    void stop()
    {
        stopPolling();
        closePort();
    }

    std::filesystem::path historyDir;
    PollDevices devices;
    RecordingView view;
    std::unique_ptr<oprosKanala> poll;
};

sim::ServerConfig simWith(std::initializer_list<std::uint8_t> addresses, unsigned turnaroundMs = 4)
{
    return test::simDevices(addresses, std::chrono::milliseconds(turnaroundMs));
}

PollTiming quick()
{
    PollTiming t;
    t.gapBeforeRequest = 0ms;
    t.silenceLimit = 15;
    return t;
}

} // namespace

TEST(PollCycle, PollsTabsRoundRobinStartingAfterPollIndexAndStoresWhatWasServed)
{
    test::TempDir dir;
    sim::PtyServer server(simWith({1, 5, 9}));
    server.start();
    Rig rig(server.ttyPath(), dir.path());
    rig.devices.setTabs({1, 5, 9});
    rig.startPolling(); // the real timing: 5 ms gap, 50 ms of silence

    ASSERT_TRUE(rig.view.waitUntil([&] { return rig.view.samples.size() >= 7; }));
    // Parked between two exchanges, every answer served so far has been taken and stored.
    rig.poll->Suspend();
    ASSERT_TRUE(rig.poll->waitParked(kDeadline));
    rig.stopPolling();

    const auto log = server.answerLog();
    ASSERT_GE(log.size(), 7u);
    const std::uint8_t order[] = {5, 9, 1, 5, 9, 1, 5};
    for (std::size_t i = 0; i < 7; ++i)
        EXPECT_EQ(log[i].address, order[i]) << "exchange " << i;

    // Each device's history file holds the values served to it, in order. An answer the
    // simulator was slower than the silence limit to send (a loaded machine) is missed by
    // the program as on a wire; every stored value must still be one served, in its place.
    std::size_t storedInAll = 0;
    for (std::uint8_t a : {1, 5, 9}) {
        std::vector<test::Reading> served;
        for (const auto& s : log) {
            if (s.address == a && s.registers) {
                const auto reading = test::tabledReading(a, s.sample);
                ASSERT_TRUE(reading) << "sample " << s.sample << " of device " << int(a) << " is not tabled";
                served.push_back(*reading);
            }
        }
        const auto stored = readAllHistory(rig.historyDir / historyFileName(a));
        ASSERT_TRUE(stored.has_value());
        ASSERT_LE(stored->size(), served.size()) << "device " << int(a);
        std::size_t next = 0;
        for (std::size_t i = 0; i < stored->size(); ++i) {
            while (next < served.size() &&
                   ((*stored)[i].value1 != served[next].value1 || (*stored)[i].value2 != served[next].value2))
                ++next;
            ASSERT_LT(next, served.size()) << "device " << int(a) << ": stored record " << i << " ("
                                           << (*stored)[i].value1 << ", " << (*stored)[i].value2
                                           << ") was not served in this place";
            ++next;
            if (i > 0) {
                EXPECT_GE((*stored)[i].time, (*stored)[i - 1].time);
            }
        }
        storedInAll += stored->size();
    }
    EXPECT_GE(storedInAll, 7u);
    // The sent lines are the live requests, shown before their answers.
    rig.view.locked([&] {
        EXPECT_EQ(rig.view.sent.front(), "0x05,0x03,0x00,0x00,0x00,0x06,0xC4,0x4C,");
        EXPECT_GE(rig.view.received.size(), 7u);
        return 0;
    });
}

TEST(PollCycle, ReopenedPortContinuesAfterTheTabPolledLast)
{
    test::TempDir dir;
    sim::PtyServer server(simWith({1, 5, 9}));
    server.start();
    Rig rig(server.ttyPath(), dir.path());
    rig.devices.setTabs({1, 5, 9});
    rig.startPolling(quick());
    ASSERT_TRUE(server.waitForAnswers(9, 1, kDeadline));
    rig.poll->Suspend();
    ASSERT_TRUE(rig.poll->waitParked(kDeadline));
    rig.stopPolling();
    const std::uint8_t last = rig.devices.tabs()[rig.devices.PollIndex.load()];
    const std::size_t before = server.answerLog().size();

    rig.startPolling(quick()); // a new poll thread, as after closing and reopening
    ASSERT_TRUE(server.waitFor([&](const sim::ServerStats& st) {
        return st.answers[1] + st.answers[5] + st.answers[9] > before;
    }, kDeadline));
    const auto next = server.answerLog()[before].address;
    const std::uint8_t expected = last == 1 ? 5 : last == 5 ? 9 : 1;
    EXPECT_EQ(next, expected);
}

TEST(PollCycle, SilentDeviceCountClimbsByOnePerPollAndHoldsAt254)
{
    test::TempDir dir;
    sim::ServerConfig cfg = simWith({1, 2});
    cfg.devices[1].faults.silent = true;
    sim::PtyServer server(cfg);
    server.start();
    Rig rig(server.ttyPath(), dir.path());
    rig.devices.setTabs({2});
    rig.startPolling(quick());

    // While it climbs, the count equals the number of unanswered polls.
    ASSERT_TRUE(server.waitForRequests(2, 30, kDeadline));
    rig.poll->Suspend();
    ASSERT_TRUE(rig.poll->waitParked(kDeadline));
    EXPECT_EQ(rig.devices.noAnswerCount(2), server.stats().requests[2]);
    rig.poll->Resume();

    // From just below the cap on (as after 250 misses) it climbs to 254 and stays there.
    rig.poll->Suspend();
    ASSERT_TRUE(rig.poll->waitParked(kDeadline));
    rig.devices.setNoAnswerCount(2, 250);
    const std::uint64_t asked = server.stats().requests[2];
    rig.poll->Resume();
    ASSERT_TRUE(server.waitForRequests(2, asked + 10, kDeadline));
    rig.poll->Suspend();
    ASSERT_TRUE(rig.poll->waitParked(kDeadline));
    EXPECT_EQ(rig.devices.noAnswerCount(2), 254);
    EXPECT_TRUE(rig.view.locked([&] { return rig.view.samples.empty() && rig.view.received.empty(); }));
}

TEST(PollCycle, WrongCrcAnswerResetsTheCountShowsTheLineAndAddsNothing)
{
    test::TempDir dir;
    sim::ServerConfig cfg = simWith({3});
    cfg.devices[0].faults.badCrcEvery = 1; // every answer corrupt
    sim::PtyServer server(cfg);
    server.start();
    Rig rig(server.ttyPath(), dir.path());
    rig.devices.setTabs({3});
    rig.devices.setNoAnswerCount(3, 40);
    rig.startPolling(quick());

    ASSERT_TRUE(rig.view.waitUntil([&] { return rig.view.received.size() >= 3; }));
    rig.stopPolling();
    EXPECT_EQ(rig.devices.noAnswerCount(3), 0);
    EXPECT_TRUE(rig.view.locked([&] { return rig.view.samples.empty(); }));
    EXPECT_FALSE(std::filesystem::exists(rig.historyDir / historyFileName(3)));
}

TEST(PollCycle, AnswerCarryingAnotherConfiguredAddressLandsOnThatDevice)
{
    test::TempDir dir;
    grafimo::testing::PtyPair line;
    ASSERT_TRUE(line.ok());
    Rig rig(line.slavePath(), dir.path());
    rig.devices.setTabs({7, 5}); // PollIndex starts at 0, so the first poll goes to tab 1
    rig.devices.setNoAnswerCount(5, 9);
    // The hand-played answer must come within the silence limit of the reset: a loaded
    // machine (or a sanitizer) may take well over 15 ms to send it.
    PollTiming timing = quick();
    timing.silenceLimit = 500;
    rig.startPolling(timing);

    // Play a device that answers the poll of 5 as if it were 7 (value 1 = 3.25, value 2 = 4.5).
    const auto request = line.receive(8, kDeadline);
    ASSERT_EQ(request.size(), 8u);
    ASSERT_EQ(request[0], 5);
    // A device on a wire answers after its turnaround, never before the sender has reset its
    // receive count; answering at once over a pty could race that reset.
    ASSERT_TRUE(rig.link.waitForResets(1, kDeadline));
    const std::vector<std::uint8_t> answer =
        test::reference::sealed({7, 0x03, 12, 0, 0, 0, 3, 0, 25, 0, 4, 0, 5, 0, 0});
    ASSERT_TRUE(line.send(answer));

    ASSERT_TRUE(rig.view.waitUntil([&] { return !rig.view.samples.empty(); }));
    rig.stopPolling();
    const auto s = rig.view.locked([&] { return rig.view.samples.front(); });
    EXPECT_EQ(s.address, 7);
    EXPECT_EQ(s.value1, 3.25f);
    EXPECT_EQ(s.value2, 4.5f);
    EXPECT_EQ(rig.devices.noAnswerCount(5), 0); // the polled device counts as answered
    EXPECT_TRUE(std::filesystem::exists(rig.historyDir / historyFileName(7)));
    EXPECT_FALSE(std::filesystem::exists(rig.historyDir / historyFileName(5)));
}

TEST(PollCycle, ThousandthPointRebuildsTheChartsFromTheThinnedHistory)
{
    // 997 samples already stored and plotted, as after a long run: three more make 1000.
    test::TempDir dir;
    const std::filesystem::path file = dir.path() / historyFileName(4);
    for (int i = 0; i < 997; ++i)
        ASSERT_TRUE(appendHistoryRecord(file, HistoryRecord{float(i), float(-i), 45000.0 + i}));
    sim::PtyServer server(simWith({4}, 2));
    server.start();
    Rig rig(server.ttyPath(), dir.path());
    rig.devices.setTabs({4});
    rig.devices.setChartPoints(4, 997);
    PollTiming t = quick();
    t.silenceLimit = 8;
    rig.startPolling(t);

    ASSERT_TRUE(rig.view.waitUntil([&] { return !rig.view.reloads.empty(); }));
    rig.poll->Suspend();
    ASSERT_TRUE(rig.poll->waitParked(kDeadline));

    const auto [address, records] = rig.view.locked([&] { return rig.view.reloads.front(); });
    EXPECT_EQ(address, 4);
    // 1000 records in the file at that moment: every third, 334 points.
    ASSERT_EQ(records.size(), 334u);
    const auto all = readAllHistory(file);
    ASSERT_TRUE(all && all->size() >= 1000);
    for (std::size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(records[i].value1, (*all)[3 * i].value1);
        EXPECT_EQ(records[i].value2, (*all)[3 * i].value2);
        EXPECT_EQ(records[i].time, (*all)[3 * i].time);
    }
    // The reload came right after the 1000th point (the third sample) and before the next;
    // the charts count the 334 reloaded points and every sample plotted since.
    const auto [plotted, atReload] =
        rig.view.locked([&] { return std::pair(rig.view.samples.size(), rig.view.samplesAtReload.front()); });
    EXPECT_EQ(atReload, 3u);
    EXPECT_EQ(rig.devices.chartPoints(4), 334u + (plotted - 3));
}

TEST(PollCycle, PauseTakesEffectBetweenExchangesAndTerminateEndsAPausedThread)
{
    test::TempDir dir;
    sim::ServerConfig cfg = simWith({1});
    cfg.devices[0].faults.lateMs = 10; // long exchanges, so a pause request lands mid-exchange
    sim::PtyServer server(cfg);
    server.start();
    Rig rig(server.ttyPath(), dir.path());
    rig.devices.setTabs({1});
    PollTiming t = quick();
    t.silenceLimit = 60; // far beyond the answer's delay, so no answer is ever late here
    rig.startPolling(t);
    ASSERT_TRUE(server.waitForRequests(1, 2, kDeadline));
    // A request heard and its late answer not yet sent: the poller is inside an exchange.
    ASSERT_TRUE(server.waitFor([](const sim::ServerStats& st) { return st.requests[1] > st.answers[1]; },
                               kDeadline));
    EXPECT_FALSE(rig.devices.PollIdle.load());

    rig.poll->Suspend();
    ASSERT_TRUE(rig.poll->waitParked(kDeadline));
    EXPECT_TRUE(rig.devices.PollIdle.load());
    // Parked means no exchange is under way: everything asked has been answered and seen.
    const auto stats = server.stats();
    EXPECT_EQ(stats.requests[1], stats.answers[1]);

    rig.poll->Terminate();
    EXPECT_TRUE(rig.poll->WaitFor(kDeadline));
}

TEST(PollCycle, UnwritableHistoryStillPlotsAndIsReportedOnce)
{
    test::TempDir dir;
    sim::PtyServer server(simWith({2}));
    server.start();
    Rig rig(server.ttyPath(), dir.path() / "gone" / "");
    rig.devices.setTabs({2});
    rig.startPolling(quick());

    ASSERT_TRUE(rig.view.waitUntil([&] { return rig.view.samples.size() >= 5; }));
    rig.stopPolling();
    const auto failures = rig.view.locked([&] { return rig.view.writeFailures; });
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].first, 2);
}

TEST(PollCycle, AfterFailedStoresTheChartsAreThinnedInPlaceNotFromTheFile)
{
    // The file holds fewer samples than the charts: a reload from it would take plotted
    // samples away. Stores fail from the start here, so the file does not exist at all.
    test::TempDir dir;
    sim::PtyServer server(simWith({2}));
    server.start();
    Rig rig(server.ttyPath(), dir.path() / "gone" / "");
    rig.devices.setTabs({2});
    rig.devices.setChartPoints(2, 997);
    rig.startPolling(quick());
    ASSERT_TRUE(rig.view.waitUntil([&] { return !rig.view.thinnings.empty(); }));
    rig.stopPolling();
    const auto thinnings = rig.view.locked([&] { return rig.view.thinnings; });
    const auto reloads = rig.view.locked([&] { return rig.view.reloads.size(); });
    EXPECT_EQ(reloads, 0u);
    // 1000 points: step (1000 + 1) / 500 = 2, every third point kept, 334 of them, as a
    // reload of a 1000-record file keeps.
    EXPECT_EQ(thinnings[0], (std::pair<std::uint8_t, std::size_t>{2, 3}));
    // 334 after the thinning, plus every sample plotted after the third.
    const std::size_t plotted = rig.view.locked([&] { return rig.view.samples.size(); });
    EXPECT_EQ(rig.devices.chartPoints(2), 334u + (plotted - 3));
}

TEST(PollCycle, AHistoryFileWrittenAnewUnderThePollerThinsTheChartsInPlace)
{
    // The file was deleted while the charts held 997 points and has been written anew since:
    // it holds 10 records, far fewer than the charts show.
    test::TempDir dir;
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(appendHistoryRecord(dir.path() / historyFileName(2), HistoryRecord{1.0f, 2.0f, 45000.0 + i}));
    sim::PtyServer server(simWith({2}));
    server.start();
    Rig rig(server.ttyPath(), dir.path());
    rig.devices.setTabs({2});
    rig.devices.setChartPoints(2, 997);
    rig.startPolling(quick());
    ASSERT_TRUE(rig.view.waitUntil([&] { return !rig.view.thinnings.empty(); }));
    rig.stopPolling();
    EXPECT_EQ(rig.view.locked([&] { return rig.view.reloads.size(); }), 0u);
    EXPECT_EQ(rig.view.locked([&] { return rig.view.thinnings[0]; }), (std::pair<std::uint8_t, std::size_t>{2, 3}));
    // Every sample is still stored after the thinning.
    const std::size_t plotted = rig.view.locked([&] { return rig.view.samples.size(); });
    EXPECT_EQ(std::filesystem::file_size(dir.path() / historyFileName(2)), (10 + plotted) * 16);
}

TEST(PollCycle, WithoutTabsNothingIsSentAndThePollerStaysIdle)
{
    test::TempDir dir;
    grafimo::testing::PtyPair line;
    ASSERT_TRUE(line.ok());
    Rig rig(line.slavePath(), dir.path());
    PollTiming t = quick();
    t.idleWithoutTabs = 5ms;
    ASSERT_FALSE(rig.devices.PollIdle.load()); // until the poller says otherwise
    rig.startPolling(t);
    // Idle from its first round on...
    const auto until = std::chrono::steady_clock::now() + kDeadline;
    while (!rig.devices.PollIdle.load() && std::chrono::steady_clock::now() < until)
        EXPECT_TRUE(line.receive(1, 1ms).empty());
    // ...and through many more rounds, the line staying quiet.
    for (int i = 0; i < 20; ++i) {
        EXPECT_TRUE(line.receive(1, 5ms).empty());
        EXPECT_TRUE(rig.devices.PollIdle.load()) << "look " << i;
    }
    EXPECT_EQ(rig.link.resets(), 0u);
}

TEST(PollCycle, AReloadWithoutAReadableHistoryFileLeavesTheChartsAlone)
{
    // The file takes every sample but cannot be read back, as when it is gone by the time
    // the 1000th point reloads the charts: the charts are sent nothing, so they keep their
    // points, and the count starts again after that point.
    test::TempDir dir;
    // It holds every sample the charts show, so only its reading can fail.
    const std::filesystem::path file = dir.path() / historyFileName(4);
    for (int i = 0; i < 999; ++i)
        ASSERT_TRUE(appendHistoryRecord(file, HistoryRecord{float(i), float(-i), 45000.0 + i}));
    std::filesystem::permissions(file, std::filesystem::perms::owner_write);
    sim::PtyServer server(simWith({4}, 2));
    server.start();
    Rig rig(server.ttyPath(), dir.path());
    rig.devices.setTabs({4});
    rig.devices.setChartPoints(4, 999);
    {
        FileModesHold modesHold;
        ASSERT_TRUE(modesHold.ok());
        rig.startPolling(quick());
    }
    ASSERT_TRUE(rig.view.waitUntil([&] { return rig.view.samples.size() >= 3; }));
    rig.poll->Suspend();
    ASSERT_TRUE(rig.poll->waitParked(kDeadline));

    const auto [plotted, reloads, thinnings] = rig.view.locked([&] {
        return std::tuple(rig.view.samples.size(), rig.view.reloads.size(), rig.view.thinnings.size());
    });
    EXPECT_EQ(reloads, 0u);
    EXPECT_EQ(thinnings, 0u);
    EXPECT_EQ(rig.devices.chartPoints(4), plotted - 1);
    EXPECT_EQ(std::filesystem::file_size(file), (999 + plotted) * kHistoryRecordSize);
}

TEST(PollCycle, AFaultInAReloadEndsThePollerWithTheReceiverRunning)
{
    // The reload's read throws, as when memory runs out: the receive thread paused for it
    // goes on, and the fault is kept for the owner.
    test::TempDir dir;
    sim::PtyServer server(simWith({4}, 2));
    server.start();
    Rig rig(server.ttyPath(), dir.path());
    rig.devices.setTabs({4});
    PollTiming t = quick();
    t.reloadAtPoints = 2;
    std::atomic<bool> pausedForTheRead{false};
    rig.startPolling(t, [&](const std::filesystem::path&) -> std::optional<std::vector<HistoryRecord>> {
        pausedForTheRead = rig.rx->Suspended();
        throw std::runtime_error("reload fault");
    });
    ASSERT_TRUE(rig.poll->WaitFor(kDeadline));
    EXPECT_TRUE(rig.poll->failure());
    EXPECT_TRUE(pausedForTheRead.load());
    EXPECT_FALSE(rig.rx->Suspended());
}

// ---- devices that answer slowly ----

// How long after the request the device started its answer.
double startedAfterMs(const sim::ServedAnswer& a)
{
    if (a.writes.empty())
        return 1e9;
    return std::chrono::duration<double, std::milli>(a.writes.front().written - a.requestAt).count();
}

TEST(SlowDevices, EveryAnswerWithinTheDeadlineIsStoredOnceInItsPlaceAndALateOneCountsMissing)
{
    const struct Case {
        const char* what;
        bool log; // the log window's opening query instead of the live poll
        unsigned afterMs, pieceGapMs = 0, pieceBytes = 4;
        std::chrono::milliseconds gapBeforeRequest = 5ms;
    } cases[] = {
        {"live, 4 ms", false, 4}, {"live, 45 ms", false, 45}, {"live, 50 ms", false, 50},
        {"live, 60 ms", false, 60}, {"live, 300 ms", false, 300}, {"live, in 16 ms pieces", false, 4, 16},
        // Starts 119 ms after the 781 ms deadline, lasts 100 ms: the next request is due in it.
        {"live, 900 ms", false, 900, 5, 1, 200ms},
        {"log commands, 20 ms", true, 20}, {"log commands, 150 ms", true, 150},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::TempDir dir;
        sim::ServerConfig cfg = simWith({1}, c.afterMs);
        cfg.pace = !c.log; // a log answer in one piece: no load can open a 14 ms gap in it
        cfg.devices[0].faults.chunkBytes = c.pieceGapMs ? c.pieceBytes : 0;
        cfg.devices[0].faults.chunkGapMs = c.pieceGapMs;
        sim::PtyServer server(cfg);
        server.start();
        Rig rig(server.ttyPath(), dir.path());
        if (c.log) { // count, interval and state, each from its own answer at the first attempt
            LogLine line(rig.link, rig.port, 1);
            unsigned attempts = 0;
            LogLine::CommandTurn turn(line);
            const LogOpening o = runOpeningQuery(
                [&, inner = line.commandAttempt()](const LogRequest& r) { return ++attempts, inner(r); });
            EXPECT_TRUE(o.count == 100 && o.interval && o.interval->minutes == 15 && o.enabled == 1);
            // A loaded machine can hold the device itself past the 219 ms deadline: that attempt
            // is rightly lost and asked again, so one answer each is pinned only when it was not.
            const auto answers = server.answerLog();
            if (std::none_of(answers.begin(), answers.end(), [](const auto& a) { return startedAfterMs(a) > 219 - 50; })) {
                EXPECT_EQ(attempts, 3u);
            }
            continue;
        }
        rig.devices.setTabs({1});
        PollTiming timing;
        timing.gapBeforeRequest = c.gapBeforeRequest;
        rig.startPolling(timing);
        ASSERT_TRUE(server.waitForRequests(1, 4, kDeadline));
        rig.poll->Suspend();
        ASSERT_TRUE(rig.poll->waitParked(kDeadline));
        // Every answer served, unless the device started it after the deadline (as the device
        // did, not as planned: a loaded machine delays it). One that started at the deadline
        // itself may land on either side, and the row cannot tell.
        std::vector<HistoryRecord> inTime;
        bool atTheDeadline = false;
        for (const auto& a : server.answerLog()) {
            const double ms = startedAfterMs(a);
            atTheDeadline = atTheDeadline || std::abs(ms - 781) < 50;
            if (const test::Reading r = test::readingAsDecimal(a.registers.value()); ms < 781)
                inTime.push_back({r.value1, r.value2, 0});
        }
        if (atTheDeadline)
            continue;
        const auto stored = readAllHistory(rig.historyDir / historyFileName(1)).value_or(std::vector<HistoryRecord>{});
        EXPECT_TRUE(std::equal(stored.begin(), stored.end(), inTime.begin(), inTime.end(), [](const auto& x, const auto& y) {
            return x.value1 == y.value1 && x.value2 == y.value2;
        })) << stored.size() << " stored of " << inTime.size();
        EXPECT_EQ(rig.devices.noAnswerCount(1), server.stats().requests[1] - inTime.size());
        // One answer line each, ending with the time the device took to start it.
        const auto received = rig.view.locked([&] { return rig.view.received; });
        EXPECT_EQ(received.size(), inTime.size());
        for (const std::string& line : received)
            EXPECT_TRUE(line.ends_with(" мс)") && std::stoul(line.substr(line.rfind('(') + 1)) >= c.afterMs) << line;
    }
}
