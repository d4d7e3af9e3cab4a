// One run on the bus without a window: the session against the simulator on a
// pseudo-terminal and behind a gateway, with its events as a recorder or a publisher
// would receive them.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>

#include "grafimo/history.h"
#include "grafimo/run_marker.h"
#include "grafimo/sim/server.h"
#include "grafimo_test/live_readings.h"
#include "grafimo_test/session_rig.h"
#include "grafimo_test/sim_bus.h"
#include "grafimo_test/temp_dir.h"

using namespace grafimo;
using namespace grafimo::session;
using namespace std::chrono_literals;

namespace {

struct Folders {
    test::TempDir state{"session-state"};
    test::TempDir work{"session-work"};
};

std::unique_ptr<sim::PtyServer> startSim(std::vector<std::uint8_t> addresses, bool gateway = false)
{
    sim::ServerConfig config = test::simDevices(addresses);
    if (gateway)
        config.tcpListen = "127.0.0.1:0";
    auto server = std::make_unique<sim::PtyServer>(std::move(config));
    server->start();
    return server;
}

bool tabled(std::uint8_t address, const HistoryRecord& r)
{
    for (std::uint32_t sample = 0; sample < 16; ++sample) {
        const auto reading = test::tabledReading(address, sample);
        if (reading && reading->value1 == r.value1 && reading->value2 == r.value2)
            return true;
    }
    return false;
}

// Owner tasks as a front end's loop would get them, run by hand: the waits the session
// asks for are what is checked, not how long anything takes.
class ManualOwner final : public SessionExecutor {
public:
    void post(std::function<void()> task) override { ready.push_back(std::move(task)); }
    void postAfter(std::chrono::milliseconds delay, std::function<void()> task) override
    {
        delays.push_back(delay);
        ready.push_back(std::move(task));
    }
    void runOne()
    {
        auto task = std::move(ready.front());
        ready.erase(ready.begin());
        task();
    }
    std::vector<std::function<void()>> ready;
    std::vector<std::chrono::milliseconds> delays;
};

} // namespace

// The whole road of a sample, seen by two listeners: opened, polled, stored in the history
// file in the order the events said, with the tabled readings; closed without a trace of
// a loss.
TEST(BusSession, PollsStoresAndTellsEveryListener)
{
    Folders f;
    auto sim = startSim({1, 5});
    SessionLoop loop;
    BusSession s(loop, test::quickSession(f.state.path(), f.work.path()));
    test::SessionRecorder first, second;
    s.addListener(first);
    s.addListener(second);
    ASSERT_TRUE(s.setUpHistory());
    ASSERT_EQ(s.lockFolder(), platform::InstanceLock::State::Acquired);
    ASSERT_TRUE(s.markRun(false));
    s.setDevices({1, 5});

    EXPECT_EQ(s.open(sim->ttyPath()), LinkState::Open);
    ASSERT_TRUE(test::runUntil(loop, [&] { return first.storedOf(1) >= 5 && first.storedOf(5) >= 5; }));
    EXPECT_GT(s.lastExchangeAttempt().time_since_epoch().count(), 0);
    s.close();
    EXPECT_EQ(s.state(), LinkState::Closed);

    EXPECT_EQ(first.events(), std::vector<std::string>{"opened " + sim->ttyPath()});
    EXPECT_EQ(second.events(), first.events());
    EXPECT_EQ(second.stored().size(), first.stored().size());
    EXPECT_EQ(s.samplesTaken(), first.stored().size());
    for (std::uint8_t a : {1, 5}) {
        std::vector<HistoryRecord> told;
        for (const auto& st : first.stored()) {
            if (st.address == a && st.stored)
                told.push_back(st.record);
        }
        const auto file = readAllHistory(s.historyFile(a));
        ASSERT_TRUE(file);
        ASSERT_EQ(file->size(), told.size()) << int(a);
        for (std::size_t i = 0; i < told.size(); ++i) {
            EXPECT_EQ((*file)[i].time, told[i].time);
            EXPECT_TRUE(tabled(a, (*file)[i])) << "device " << int(a) << " record " << i;
        }
    }
    EXPECT_EQ(s.addressesWithHistory(), (std::vector<std::uint8_t>{1, 5}));
    ASSERT_TRUE(s.lastRunMarker());
    // The files and the marker outlive the session unless the run is ended with a word.
    s.endRun(true);
    EXPECT_TRUE(s.addressesWithHistory().empty());
    EXPECT_FALSE(s.lastRunMarker());
}

// The link's rules: a port unplugged and plugged again, a device that stops answering and
// comes back, a gateway that keeps its connection but passes no answer.
TEST(BusSession, LostPortIsFoundAgain)
{
    Folders f;
    auto sim = startSim({5});
    SessionLoop loop;
    BusSession s(loop, test::quickSession(f.state.path(), f.work.path()));
    test::SessionRecorder events;
    s.addListener(events);
    s.setDevices({5});
    ASSERT_EQ(s.open(sim->ttyPath()), LinkState::Open);
    ASSERT_TRUE(test::runUntil(loop, [&] { return events.storedOf(5) >= 2; }));

    sim->unplug();
    ASSERT_TRUE(test::runUntil(loop, [&] { return events.has("lost " + sim->ttyPath()); }));
    EXPECT_FALSE(s.pollThread());
    sim->replug();
    ASSERT_TRUE(test::runUntil(loop, [&] { return events.has("back " + sim->ttyPath()); }));
    const std::size_t before = events.storedOf(5);
    ASSERT_TRUE(test::runUntil(loop, [&] { return events.storedOf(5) > before; }));
    EXPECT_EQ(s.state(), LinkState::Open);
}

TEST(BusSession, DeviceSilentAfterThreeMissesAndBack)
{
    Folders f;
    auto sim = startSim({1, 5});
    SessionLoop loop;
    BusSession s(loop, test::quickSession(f.state.path(), f.work.path()));
    test::SessionRecorder events;
    s.addListener(events);
    s.setDevices({1, 5});
    ASSERT_EQ(s.open(sim->ttyPath()), LinkState::Open);
    ASSERT_TRUE(test::runUntil(loop, [&] { return events.storedOf(5) >= 1; }));

    ASSERT_TRUE(sim->removeDevice(5));
    ASSERT_TRUE(test::runUntil(loop, [&] { return events.has("silent 5 after 3"); }));
    // Said once, however long it stays silent: a few more of its polls go by.
    const std::uint64_t asked = sim->stats().requests[5];
    ASSERT_TRUE(sim->waitForRequests(5, asked + 3, 20s));
    sim->addDevice(sim::DeviceConfig{5, {}, {}});
    ASSERT_TRUE(test::runUntil(loop, [&] { return events.has("answers 5"); }));
    EXPECT_EQ(events.count("silent 5 after 3"), 1);
    EXPECT_FALSE(events.has("silent 1 after 3"));
    EXPECT_EQ(s.state(), LinkState::Open);
}

// A hung gateway: the connection stays up, no device answers. The link is closed and
// connected again; polling goes on over the new connection once the devices answer.
TEST(BusSession, SilentGatewayIsReconnected)
{
    Folders f;
    auto sim = startSim({5}, true);
    SessionLoop loop;
    SessionOptions options = test::quickSession(f.state.path(), f.work.path());
    options.gatewaySilence = 400ms;
    BusSession s(loop, options);
    test::SessionRecorder events;
    s.addListener(events);
    s.setDevices({5});
    const std::string name = sim->ttyPath();
    ASSERT_EQ(s.open(name), LinkState::Connecting);
    ASSERT_TRUE(test::runUntil(loop, [&] { return events.storedOf(5) >= 2; }));
    EXPECT_TRUE(s.gatewayLink());

    ASSERT_TRUE(sim->removeDevice(5));
    ASSERT_TRUE(test::runUntil(loop, [&] { return events.has("silent-link " + name); }));
    ASSERT_TRUE(test::runUntil(loop, [&] { return events.has("back " + name); }));
    sim->addDevice(sim::DeviceConfig{5, {}, {}});
    const std::size_t before = events.storedOf(5);
    ASSERT_TRUE(test::runUntil(loop, [&] { return events.storedOf(5) > before; }));
    EXPECT_GE(sim->stats().connections, 2u);
    // A serial line is never taken for lost by silence alone.
    EXPECT_FALSE(events.has("lost " + name));
}

// The reconnect policies, one row each: the waits asked of the owner for a port that is
// not there, attempt after attempt.
TEST(BusSession, ReconnectWaitsFollowThePolicy)
{
    Folders f;
    const std::string missing = (f.work.path() / "no-such-tty").string();
    struct Row {
        ReconnectPolicy policy;
        LinkState afterFirstOpen;
        std::vector<long> waitsMs;
    };
    const std::vector<Row> rows = {
        {ReconnectPolicy::window(), LinkState::Failed, {}},
        {ReconnectPolicy::headless(), LinkState::Lost, {1000, 2000, 4000, 8000, 16000, 30000, 30000}},
    };
    for (const Row& row : rows) {
        ManualOwner owner;
        SessionOptions options;
        options.stateBase = f.state.path();
        options.workingFolder = f.work.path();
        options.reconnect = row.policy;
        BusSession s(owner, options);
        test::SessionRecorder events;
        s.addListener(events);
        EXPECT_EQ(s.open(missing), row.afterFirstOpen);
        EXPECT_EQ(events.events(), std::vector<std::string>{"failed " + missing});
        while (owner.delays.size() < row.waitsMs.size() && !owner.ready.empty())
            owner.runOne();
        std::vector<long> waits;
        for (auto d : owner.delays)
            waits.push_back(static_cast<long>(d.count()));
        EXPECT_EQ(waits, row.waitsMs);
        // A close ends the search: a wait already asked for does nothing.
        s.close();
        while (!owner.ready.empty())
            owner.runOne();
        EXPECT_EQ(s.state(), LinkState::Closed);
    }
}

// Names that are refused before anything is tried leave the session closed.
TEST(BusSession, BadGatewayNameIsRefused)
{
    Folders f;
    ManualOwner owner;
    BusSession s(owner, test::quickSession(f.state.path(), f.work.path()));
    test::SessionRecorder events;
    s.addListener(events);
    for (const std::string& name : std::vector<std::string>{"tcp://host", "tcp://:502", "tcp://host:0", "tcp://" + std::string(120, 'h') + ":1"}) {
        EXPECT_EQ(s.open(name), LinkState::Closed) << name;
        EXPECT_TRUE(events.has("refused " + name)) << name;
    }
    EXPECT_TRUE(owner.ready.empty());
}

// The run marker only dates the files: one that cannot be written is said once, and a
// restarted recorder keeps the date of the run it continues.
TEST(BusSession, RunMarkerRules)
{
    Folders f;
    ManualOwner owner;
    {
        BusSession s(owner, test::quickSession(f.state.path(), f.work.path()));
        ASSERT_TRUE(s.setUpHistory());
        ASSERT_TRUE(s.markRun(false));
        const double started = s.lastRunMarker()->started;
        BusSession again(owner, test::quickSession(f.state.path(), f.work.path()));
        ASSERT_TRUE(again.setUpHistory());
        ASSERT_TRUE(again.markRun(true));
        EXPECT_EQ(again.lastRunMarker()->started, started);
        s.endRun(false);
    }
    BusSession s(owner, test::quickSession(f.state.path(), f.work.path()));
    test::SessionRecorder events;
    s.addListener(events);
    ASSERT_TRUE(s.setUpHistory());
    // A stray entry of the marker's name.
    std::filesystem::create_directory(*s.historyDir() / kRunMarkerName);
    ASSERT_TRUE(appendHistoryRecord(s.historyFile(7), HistoryRecord{1.f, 2.f, 45000.5}));
    EXPECT_FALSE(s.markRun(false));
    EXPECT_FALSE(s.markRun(false));
    EXPECT_EQ(events.count("marker failed"), 1);
    // The samples are there to be offered all the same.
    EXPECT_EQ(s.addressesWithHistory(), std::vector<std::uint8_t>{7});
}

// A second session in the same folder is refused while the first holds it.
TEST(BusSession, OneCopyPerFolder)
{
    Folders f;
    ManualOwner owner;
    BusSession first(owner, test::quickSession(f.state.path(), f.work.path()));
    BusSession second(owner, test::quickSession(f.state.path(), f.work.path()));
    ASSERT_TRUE(first.setUpHistory());
    ASSERT_TRUE(second.setUpHistory());
    EXPECT_EQ(first.lockFolder(), platform::InstanceLock::State::Acquired);
    EXPECT_EQ(second.lockFolder(), platform::InstanceLock::State::HeldElsewhere);
}

// A pause holds the poll thread between two exchanges, also across a loss of the port:
// the thread of the link found again starts paused and is let go with the pause.
TEST(BusSession, PauseOutlastsALostPort)
{
    Folders f;
    auto sim = startSim({5});
    SessionLoop loop;
    BusSession s(loop, test::quickSession(f.state.path(), f.work.path()));
    test::SessionRecorder events;
    s.addListener(events);
    s.setDevices({5});
    ASSERT_EQ(s.open(sim->ttyPath()), LinkState::Open);
    ASSERT_TRUE(test::runUntil(loop, [&] { return events.storedOf(5) >= 1; }));
    {
        BusSession::PollPause pause(s);
        ASSERT_TRUE(pause.parked());
        sim->unplug();
        ASSERT_TRUE(test::runUntil(loop, [&] { return events.has("lost " + sim->ttyPath()); }));
        sim->replug();
        ASSERT_TRUE(test::runUntil(loop, [&] { return events.has("back " + sim->ttyPath()); }));
        ASSERT_TRUE(s.pollThread());
        EXPECT_TRUE(s.pollThread()->Suspended());
    }
    EXPECT_FALSE(s.pollThread()->Suspended());
    const std::size_t before = events.storedOf(5);
    ASSERT_TRUE(test::runUntil(loop, [&] { return events.storedOf(5) > before; }));
}

// A worker that dies of a fault closes the link for good and says so.
TEST(BusSession, FaultInTheWorkerStopsPolling)
{
    Folders f;
    auto sim = startSim({5});
    SessionLoop loop;
    SessionOptions options = test::quickSession(f.state.path(), f.work.path());
    options.timing.reloadAtPoints = 3;
    options.historyReader = [](const std::filesystem::path&) -> std::optional<std::vector<HistoryRecord>> {
        throw std::runtime_error("reader broke");
    };
    BusSession s(loop, options);
    test::SessionRecorder events;
    s.addListener(events);
    ASSERT_TRUE(s.setUpHistory());
    s.setDevices({5});
    ASSERT_EQ(s.open(sim->ttyPath()), LinkState::Open);
    ASSERT_TRUE(test::runUntil(loop, [&] { return events.has("stopped"); }));
    EXPECT_EQ(s.state(), LinkState::Closed);
    EXPECT_FALSE(s.pollThread());
}

// The owner loop runs posts in order, timed tasks by their time, and nothing after stop.
TEST(SessionLoop, OrderAndStop)
{
    SessionLoop loop;
    std::vector<int> ran;
    loop.postAfter(30ms, [&] { ran.push_back(3); });
    loop.postAfter(10ms, [&] { ran.push_back(2); });
    loop.post([&] { ran.push_back(1); });
    ASSERT_TRUE(test::runUntil(loop, [&] { return ran.size() == 3; }));
    EXPECT_EQ(ran, (std::vector<int>{1, 2, 3}));
    loop.post([&] { loop.stop(); });
    loop.post([&] { ran.push_back(4); });
    loop.run();
    EXPECT_TRUE(loop.stopped());
    EXPECT_EQ(ran.size(), 3u);
}
