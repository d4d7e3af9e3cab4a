// Answers end on their expected length: the exchange of the poll cycle and of the log
// window, through the port, the receive thread and the simulator, on a pseudo-terminal and
// on a gateway's TCP connection.

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "Oproskanala.h"
#include "grafimo/device_log.h"
#include "grafimo/frames.h"
#include "grafimo/history.h"
#include "grafimo/sim/server.h"
#include "grafimo_test/port_rig.h"
#include "grafimo_test/sim_bus.h"
#include "grafimo_test/temp_dir.h"

using namespace grafimo;
using namespace std::chrono_literals;

namespace {

constexpr auto kGuard = 20s; // failure guard only

struct Request {
    std::vector<std::uint8_t> message;
    std::size_t answerSize;
    unsigned silence;
};

std::vector<Request> liveRequest()
{
    const auto frame = buildLiveRequest(1);
    return {{{frame.begin(), frame.begin() + 6}, kLiveAnswerSize, 50}};
}

std::vector<Request> everyLogRequest()
{
    std::vector<Request> out;
    // The erase last: no record is left to read after it.
    for (const LogRequest& r : {LogRequest::readCount(), LogRequest::readInterval(), LogRequest::readState(),
                                LogRequest::readRecord(0), LogRequest::setInterval(1, 30), LogRequest::setState(1),
                                LogRequest::erase()})
        out.push_back({logMessage(1, r), logAnswerMinSize(r.code), kLogCommandSilence});
    return out;
}

enum class Echo { None, BeforeReset, AfterReset };

struct Case {
    std::string what;
    std::vector<Request> requests;
    unsigned pieces = 0, gapMs = 0;
    Echo echo = Echo::None;
    bool trailingGarbage = false;
    bool exception = false;
    bool intervalLikeRequest = false; // the 0xA4 answer starts with the whole request
};

std::vector<Case> cases()
{
    std::vector<Case> out;
    for (const bool log : {false, true})
        for (const unsigned pieces : {2u, 3u})
            for (const unsigned gap : {5u, 20u, 60u})
                out.push_back({std::string(log ? "log commands" : "live poll") + " in " + std::to_string(pieces)
                                   + " pieces " + std::to_string(gap) + " ms apart",
                               log ? everyLogRequest() : liveRequest(), pieces, gap});
    out.push_back({"live poll with garbage after the answer", liveRequest(), 0, 0, Echo::None, true});
    out.push_back({"live poll, exception answer", liveRequest(), 0, 0, Echo::None, false, true});
    for (const bool log : {false, true}) {
        const std::string what = log ? "log commands" : "live poll";
        out.push_back({what + ", echo before the reset", log ? everyLogRequest() : liveRequest(), 0, 0,
                       Echo::BeforeReset});
        out.push_back({what + ", echo after the reset", log ? everyLogRequest() : liveRequest(), 0, 0,
                       Echo::AfterReset});
    }
    const Request interval{logMessage(1, LogRequest::readInterval()), 6, kLogCommandSilence};
    out.push_back({"interval answer that begins like its request, in 2 pieces 60 ms apart", {interval}, 2, 60,
                   Echo::None, false, false, true});
    out.push_back({"interval answer that begins like its request, echoed", {interval}, 0, 0, Echo::AfterReset,
                   false, false, true});
    return out;
}

sim::ServerConfig simFor(const Case& c, bool tcp)
{
    // The answer starts well after the request's reset, however loaded the machine: a pty
    // or a socket takes the request at once, so nothing else holds the device back.
    sim::ServerConfig cfg = test::simDevices({1}, 30ms);
    if (tcp)
        cfg.tcpListen = "127.0.0.1:0";
    sim::Faults& f = cfg.devices[0].faults;
    f.pieces = c.pieces;
    f.chunkGapMs = c.gapMs;
    if (c.trailingGarbage) {
        f.garbageEvery = 1;
        f.garbageMode = sim::GarbageMode::After;
    }
    f.exceptionEvery = c.exception ? 1 : 0;
    if (c.intervalLikeRequest) { // 01 A4 01 9B is the request, and the answer's first four bytes
        cfg.devices[0].log.hours = 0x01;
        cfg.devices[0].log.minutes = 0x9B;
    }
    cfg.echo = c.echo != Echo::None;
    // The answer well after the echo, and the echo after the request's reset by as much:
    // however loaded the machine, each row is what it says.
    if (c.echo == Echo::BeforeReset)
        cfg.turnaround = 100ms;
    if (c.echo == Echo::AfterReset) {
        cfg.echoDelay = 100ms;
        cfg.turnaround = 200ms;
    }
    return cfg;
}

} // namespace

TEST(AnswerLength, EveryAnswerIsTakenWholeAtTheFirstRequestAndTheLineRestsBeforeTheNext)
{
    for (const bool tcp : {false, true}) {
        for (const Case& c : cases()) {
            SCOPED_TRACE((tcp ? "tcp: " : "pty: ") + c.what);
            sim::PtyServer server(simFor(c, tcp));
            server.start();
            test::PortRig rig(server.ttyPath());
            std::uint64_t sent = 0;
            for (const Request& r : c.requests) {
                const std::size_t before = rig.link.rxCount();
                const auto holdForEcho = [&](std::span<const std::uint8_t> frame) {
                    if (c.echo == Echo::BeforeReset) {
                        ASSERT_TRUE(rig.link.waitForCount(before + frame.size(), kGuard));
                    }
                };
                const Link::Answer got =
                    exchange(rig.link, rig.port, r.message, AnswerWait::full(r.silence, r.answerSize), holdForEcho);
                ++sent;
                ASSERT_EQ(server.stats().requests[1], sent); // no request asked twice
                const std::vector<std::uint8_t> served = server.answerLog().back().bytes;
                const std::vector<std::uint8_t> frame(served.begin(),
                                                      served.begin() + static_cast<std::ptrdiff_t>(c.exception ? 5 : r.answerSize));
                EXPECT_TRUE(got.complete);
                EXPECT_EQ(got.bytes, frame);
                EXPECT_TRUE(answerCrcOk(got.bytes));
                // The monitor's line: the echo when it came after the reset, the frame, and
                // whatever of the garbage had come with it.
                std::vector<std::uint8_t> line = appendCrc(r.message);
                if (c.echo != Echo::AfterReset)
                    line.clear();
                line.insert(line.end(), served.begin(), served.end());
                ASSERT_GE(got.received.size(), got.bytes.size() + (c.echo == Echo::AfterReset ? r.message.size() + 2 : 0));
                EXPECT_TRUE(std::equal(got.received.begin(), got.received.end(), line.begin())) << got.received.size();
            }
            // Let the last answer's garbage pass, then one request more to time the rest after it.
            ASSERT_TRUE(server.waitForIdle(kGuard));
            exchange(rig.link, rig.port, liveRequest()[0].message, AnswerWait::full(50, kLiveAnswerSize));
            const sim::ServerStats stats = server.stats();
            EXPECT_EQ(stats.quietAfterCount, c.requests.size());
            EXPECT_GE(stats.shortestQuietAfter, 4ms);
        }
    }
}

namespace {

class SampleView : public PollView {
public:
    void requestSent(const std::string&) override {}
    void answerReceived(const std::string& line) override { add([&] { lines.push_back(line); }); }
    void samplePlotted(std::uint8_t, float, float, double) override { add([&] { ++samples; }); }
    void historyReloaded(std::uint8_t, std::vector<HistoryRecord>) override {}
    void historyWriteFailed(std::uint8_t, const std::string&) override {}
    bool waitSamples(std::size_t n)
    {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, kGuard, [&] { return samples >= n; });
    }
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::string> lines;
    std::size_t samples = 0;

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

} // namespace

TEST(AnswerLength, ThePollCycleStoresEveryAnswerOfAnEchoingGatewayThatSplitsThem)
{
    // Three pieces 60 ms apart, each gap longer than the 50 ms silence limit, behind an
    // adapter that gives the request back.
    sim::ServerConfig cfg = test::simDevices({1});
    cfg.tcpListen = "127.0.0.1:0";
    cfg.echo = true;
    cfg.echoDelay = 100ms; // after the request's reset, however loaded the machine
    cfg.turnaround = 200ms;
    cfg.devices[0].faults.pieces = 3;
    cfg.devices[0].faults.chunkGapMs = 60;
    sim::PtyServer server(cfg);
    server.start();
    test::TempDir dir;
    test::PortRig rig(server.ttyPath());
    PollDevices devices;
    devices.setTabs({1});
    SampleView view;
    oprosKanala poll(rig.link, rig.port, devices, view, dir.path(), rig.rx.get());
    poll.Start();
    ASSERT_TRUE(view.waitSamples(4));
    poll.Suspend();
    ASSERT_TRUE(poll.waitParked(kGuard));
    const auto stored = readAllHistory(dir.path() / historyFileName(1)).value_or(std::vector<HistoryRecord>{});
    EXPECT_EQ(stored.size(), server.stats().requests[1]);
    EXPECT_EQ(devices.noAnswerCount(1), 0);
    std::lock_guard lock(view.mutex);
    ASSERT_FALSE(view.lines.empty());
    // The answer line holds every byte received: the echo, then the 17 of the answer.
    EXPECT_TRUE(view.lines[0].starts_with("0x01,0x03,0x00,0x00,0x00,0x06,0xC5,0xC8,0x01,0x03,0x0C,")) << view.lines[0];
}
