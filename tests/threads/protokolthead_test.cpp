// The device log transfer against the simulated device over a pseudo-terminal: records in
// index order, retries, the end on an invalid date, on a stop and on a lost port, and the
// window's commands taking their turn between two record reads.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "Protokolthead.h"
#include "Readthread.h"
#include "grafimo/sim/server.h"
#include "grafimo_test/log_time.h"
#include "grafimo_test/port_rig.h"
#include "grafimo_test/sim_bus.h"

using namespace grafimo;
using namespace std::chrono_literals;

namespace {

constexpr auto kDeadline = 20s; // failure guard only
constexpr std::uint8_t kAddress = 7;

class RecordingLogView : public LogView {
public:
    void recordRead(const LogPoint& p) override
    {
        {
            std::lock_guard lock(mutex);
            points.push_back(p);
        }
        cv.notify_all();
    }
    void transferEnded(TransferEnd how) override
    {
        {
            std::lock_guard lock(mutex);
            ends.push_back(how);
        }
        cv.notify_all();
    }
    template <class Pred>
    bool waitUntil(Pred pred)
    {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, kDeadline, pred);
    }
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<LogPoint> points;
    std::vector<TransferEnd> ends;
};

// The device with its log, served before the port opens and stopped after it closes.
struct LogDevice {
    LogDevice(const sim::LogSettings& log, const sim::Faults& faults)
    {
        sim::ServerConfig cfg = test::simDevices({kAddress});
        cfg.devices[0].log = log;
        cfg.devices[0].faults = faults;
        server = std::make_unique<sim::PtyServer>(cfg);
        server->start();
    }
    ~LogDevice() { server->stop(); }

    std::unique_ptr<sim::PtyServer> server;
};

struct LogRig : LogDevice, test::PortRig {
    explicit LogRig(sim::LogSettings log, sim::Faults faults = {})
        : LogDevice(log, faults), PortRig(server->ttyPath())
    {
        state.LogRecordCount.store(log.count);
    }
    ~LogRig()
    {
        transfer.reset();
        closePort();
    }
    void startTransfer()
    {
        transfer = std::make_unique<PriemProtokola>(line, state, view);
        transfer->Start();
    }
    std::optional<TransferEnd> waitEnd()
    {
        EXPECT_TRUE(transfer->WaitFor(std::chrono::duration_cast<std::chrono::milliseconds>(kDeadline)));
        return transfer->end();
    }
    // The record indexes the device was asked for, in the order it answered them.
    std::vector<unsigned> answeredIndexes() const
    {
        std::vector<unsigned> out;
        for (const sim::ServedAnswer& a : server->answerLog()) {
            if (a.function == 0xA0 && a.bytes.size() >= 4)
                out.push_back((a.bytes[2] << 8) | a.bytes[3]);
        }
        return out;
    }

    LogLine line{link, port, kAddress};
    LogState state;
    RecordingLogView view;
    std::unique_ptr<PriemProtokola> transfer;
};

sim::LogSettings logOf(std::uint16_t count)
{
    sim::LogSettings log;
    log.count = count;
    log.minutes = 15;
    return log;
}

} // namespace

TEST(LogTransfer, ReadsEveryRecordInIndexOrderAsStored)
{
    sim::LogSettings log = logOf(40);
    log.disorder = true; // handed on in index order; sorting by time is the charts' affair
    LogRig rig(log);
    rig.startTransfer();
    EXPECT_EQ(rig.waitEnd(), TransferEnd::Complete);
    ASSERT_EQ(rig.view.points.size(), 40u);
    for (std::uint16_t i = 0; i < 40; ++i) {
        const sim::LogRecord r = sim::logRecordFor(kAddress, i, log);
        EXPECT_DOUBLE_EQ(rig.view.points[i].time, grafimo::test::logRecordTime(r)) << i;
        EXPECT_EQ(rig.view.points[i].value1, r.value1) << i;
        EXPECT_EQ(rig.view.points[i].value2, r.value2) << i;
    }
    EXPECT_GT(rig.view.points[5].time, rig.view.points[6].time) << "index 5 was stored after index 6";
    std::vector<unsigned> expected(40);
    for (unsigned i = 0; i < 40; ++i)
        expected[i] = i;
    EXPECT_EQ(rig.answeredIndexes(), expected);
    EXPECT_EQ(rig.state.LogRecordIndex.load(), 40);
    EXPECT_EQ(rig.view.ends, std::vector{TransferEnd::Complete});
}

TEST(LogTransfer, WrongCrcsAndSilenceAreRetriedUntilEachRecordIsIn)
{
    sim::Faults faults;
    faults.badCrcEvery = 3;
    LogRig rig(logOf(12), faults);
    rig.startTransfer();
    EXPECT_EQ(rig.waitEnd(), TransferEnd::Complete);
    ASSERT_EQ(rig.view.points.size(), 12u);
    for (std::uint16_t i = 0; i < 12; ++i)
        EXPECT_EQ(rig.view.points[i].value1, sim::logRecordFor(kAddress, i, logOf(12)).value1) << i;
    // Every third answer was spoilt, so some indexes were asked for twice.
    EXPECT_GT(rig.server->stats().requests[kAddress], 12u);
}

TEST(LogTransfer, EmptyLogSendsNothing)
{
    LogRig rig(logOf(0));
    rig.startTransfer();
    EXPECT_EQ(rig.waitEnd(), TransferEnd::Complete);
    EXPECT_TRUE(rig.view.points.empty());
    EXPECT_EQ(rig.server->stats().requests[kAddress], 0u);
}

TEST(LogTransfer, InvalidDateEndsTheTransferThereKeepingEarlierRecords)
{
    sim::LogSettings log = logOf(20);
    log.badDateIndex = 6;
    LogRig rig(log);
    rig.startTransfer();
    EXPECT_EQ(rig.waitEnd(), TransferEnd::InvalidDate);
    EXPECT_EQ(rig.view.points.size(), 6u);
    EXPECT_EQ(rig.view.ends, std::vector{TransferEnd::InvalidDate});
    // Nothing asked for after the bad record.
    EXPECT_EQ(rig.answeredIndexes().back(), 6u);
}

TEST(LogTransfer, StopsWithinOneAttemptOfTerminate)
{
    LogRig rig(logOf(1000));
    rig.startTransfer();
    ASSERT_TRUE(rig.view.waitUntil([&] { return rig.view.points.size() >= 3; }));
    rig.transfer->Terminate();
    EXPECT_EQ(rig.waitEnd(), TransferEnd::Stopped);
    const std::size_t asked = rig.server->stats().requests[kAddress];
    EXPECT_LE(asked, rig.view.points.size() + 1);
}

TEST(LogTransfer, SilentDeviceIsAskedAgainUntilStopped)
{
    sim::Faults faults;
    faults.silent = true;
    LogRig rig(logOf(5), faults);
    rig.startTransfer();
    ASSERT_TRUE(rig.server->waitForRequests(kAddress, 3, kDeadline));
    rig.transfer->Terminate();
    EXPECT_EQ(rig.waitEnd(), TransferEnd::Stopped);
    EXPECT_TRUE(rig.view.points.empty());
}

TEST(LogTransfer, EndsWhenThePortIsClosedInsteadOfRetrying)
{
    sim::Faults faults;
    faults.silent = true;
    LogRig rig(logOf(5), faults);
    rig.startTransfer();
    ASSERT_TRUE(rig.server->waitForRequests(kAddress, 2, kDeadline));
    rig.rx->Terminate();
    rig.port.close();
    EXPECT_EQ(rig.waitEnd(), TransferEnd::PortClosed);
    EXPECT_EQ(rig.view.ends, std::vector{TransferEnd::PortClosed});
}

TEST(LogTransfer, ACommandRunsBetweenTwoRecordReadsAndTheTransferCarriesOn)
{
    sim::LogSettings log = logOf(30);
    log.state = 0;
    LogRig rig(log);
    rig.startTransfer();
    ASSERT_TRUE(rig.view.waitUntil([&] { return rig.view.points.size() >= 5; }));
    bool accepted = false;
    {
        LogLine::CommandTurn turn(rig.line);
        AttemptBudget budget;
        accepted = requestUntilAccepted(rig.line.commandAttempt(), LogRequest::setState(1), budget).has_value();
    }
    EXPECT_TRUE(accepted);
    EXPECT_EQ(rig.waitEnd(), TransferEnd::Complete);
    EXPECT_EQ(rig.view.points.size(), 30u);
    EXPECT_EQ(rig.server->device(kAddress)->log().state, 1);
    // The switch went out between two record answers, each of which is whole.
    const auto answers = rig.server->answerLog();
    std::size_t records = 0;
    bool seenSwitch = false;
    for (const sim::ServedAnswer& a : answers) {
        if (a.function == 0xA7) {
            seenSwitch = true;
            EXPECT_GE(records, 5u);
            EXPECT_LT(records, 30u);
        } else if (a.function == 0xA0) {
            ++records;
            EXPECT_EQ(a.bytes.size(), 19u);
        }
    }
    EXPECT_TRUE(seenSwitch);
    EXPECT_EQ(records, 30u);
}
