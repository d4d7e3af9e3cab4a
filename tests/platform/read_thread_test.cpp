#include "Readthread.h"

#include "fake_sys_io.h"
#include "pty_pair.h"

#include <gtest/gtest.h>

#include <future>
#include <numeric>
#include <thread>

namespace grafimo {
namespace {

using namespace std::chrono_literals;
using platform::SerialPort;
using testing::FakeSysIo;
using testing::PtyPair;

constexpr auto Guard = 5s; // failure guard only
// A reader that sleeps uses well under a millisecond; one that spins burns all of it.
constexpr auto SpinBound = 50ms;

std::vector<std::uint8_t> sequence(std::size_t n, std::uint8_t first = 0)
{
    std::vector<std::uint8_t> v(n);
    std::iota(v.begin(), v.end(), first);
    return v;
}

// Waits until the driver holds at least `count` bytes for the port (the pty moves
// written bytes over in the background, so they show up a moment after the write).
bool waitQueued(SerialPort& port, std::size_t count)
{
    const auto deadline = std::chrono::steady_clock::now() + Guard;
    while (port.bytesQueued() < count) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        const auto woke = port.waitReadable();
        if (woke == SerialPort::Wait::Closed || woke == SerialPort::Wait::Lost)
            return false;
        std::this_thread::yield();
    }
    return true;
}

// A line with the port open on the slave side and a counter for lost-device calls.
struct Line {
    PtyPair pty;
    SerialPort port;
    Link link;
    std::atomic<int> lostCalls{0};

    explicit Line(platform::SysIo& io = platform::realSysIo()) : port(io) {}
    bool open() { return pty.ok() && port.open(pty.slavePath()) == SerialPort::OpenStep::Ok; }
    std::unique_ptr<ReadThread> startReader()
    {
        auto reader = std::make_unique<ReadThread>(port, link, [this] { ++lostCalls; });
        reader->Start();
        return reader;
    }
};

TEST(ReadThreadReceive, AnswerInThreeChunksEndsWithAllBytesInOrder)
{
    Line line;
    ASSERT_TRUE(line.open());
    auto reader = line.startReader();
    const auto answer = sequence(17, 0x20);
    const std::span<const std::uint8_t> all(answer);

    line.link.resetRx();
    // The sender waits for silence while the device answers in pieces.
    auto sender = std::async(std::launch::async, [&] {
        line.link.waitSilence(50);
        return line.link.rxCount();
    });
    ASSERT_TRUE(line.pty.send(all.subspan(0, 5)));
    ASSERT_TRUE(line.link.waitForCount(5, Guard));
    ASSERT_TRUE(line.pty.send(all.subspan(5, 6)));
    ASSERT_TRUE(line.link.waitForCount(11, Guard));
    ASSERT_TRUE(line.pty.send(all.subspan(11, 6)));
    ASSERT_TRUE(line.link.waitForCount(17, Guard));

    ASSERT_EQ(sender.wait_for(Guard), std::future_status::ready);
    EXPECT_EQ(sender.get(), 17u) << "one silence wait covers the whole answer";
    EXPECT_EQ(line.link.rxBytes(), answer);
    EXPECT_EQ(line.lostCalls.load(), 0);
}

TEST(ReadThreadReceive, MoreThanTheBufferHoldsWaitsQueuedUntilTheReset)
{
    Line line;
    ASSERT_TRUE(line.open());
    auto reader = line.startReader();
    const auto bytes = sequence(300);

    line.link.resetRx();
    ASSERT_TRUE(line.pty.send(bytes));
    ASSERT_TRUE(line.link.waitForCount(255, Guard));
    EXPECT_EQ(line.link.rxBytes(), std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 255));
    EXPECT_TRUE(waitQueued(line.port, 45));
    EXPECT_EQ(line.port.bytesQueued(), 45u) << "the rest stays in the driver";
    EXPECT_EQ(line.link.rxCount(), 255u);

    line.link.resetRx();
    ASSERT_TRUE(line.link.waitForCount(45, Guard));
    EXPECT_EQ(line.link.rxBytes(), std::vector<std::uint8_t>(bytes.begin() + 255, bytes.end()));
}

TEST(ReadThreadReceive, FullBufferDoesNotSpin)
{
    Line line;
    ASSERT_TRUE(line.open());
    auto reader = line.startReader();
    const auto bytes = sequence(300);
    line.link.resetRx();
    ASSERT_TRUE(line.pty.send(bytes));
    ASSERT_TRUE(line.link.waitForCount(255, Guard));
    const auto before = reader->cpuTime();
    // Observation window for the CPU bound (the reader has nothing to wait for here).
    line.link.waitSilence(200);
    EXPECT_LT(reader->cpuTime() - before, SpinBound);
    EXPECT_EQ(line.link.rxCount(), 255u);
}

TEST(ReadThreadReceive, SuspendedReaderLeavesNewBytesQueued)
{
    Line line;
    ASSERT_TRUE(line.open());
    auto reader = line.startReader();
    line.link.resetRx();
    // The pause cuts its wait on the port short; it parks without waiting for a byte.
    reader->Suspend();
    ASSERT_TRUE(reader->waitParked(Guard));
    const auto bytes = sequence(9, 0x70);
    ASSERT_TRUE(line.pty.send(bytes));
    ASSERT_TRUE(waitQueued(line.port, bytes.size()));
    EXPECT_TRUE(reader->isParked());
    EXPECT_EQ(line.link.rxCount(), 0u);
    reader->Resume();
    ASSERT_TRUE(line.link.waitForCount(9, Guard));
    EXPECT_EQ(line.link.rxBytes(), bytes);
}

// ---- ending ----

TEST(ReadThreadEnd, TerminateThenCloseEndsTheThreadPromptly)
{
    Line line;
    ASSERT_TRUE(line.open());
    auto reader = line.startReader();
    reader->Terminate();
    line.port.close();
    EXPECT_TRUE(reader->WaitFor(Guard));
    EXPECT_TRUE(reader->Finished());
    EXPECT_EQ(line.lostCalls.load(), 0) << "a close is not a lost device";
}

TEST(ReadThreadEnd, TerminateAloneEndsTheThread)
{
    Line line;
    ASSERT_TRUE(line.open());
    auto reader = line.startReader();
    reader->Terminate();
    EXPECT_TRUE(reader->WaitFor(Guard));
    EXPECT_TRUE(line.port.isOpen());
}

TEST(ReadThreadEnd, TerminateWhileSuspendedEndsTheThread)
{
    Line line;
    ASSERT_TRUE(line.open());
    auto reader = line.startReader();
    reader->Suspend();
    ASSERT_TRUE(reader->waitParked(Guard));
    reader->Terminate();
    EXPECT_TRUE(reader->WaitFor(Guard));
}

TEST(ReadThreadEnd, CloseAloneEndsTheThreadWithoutReportingALostDevice)
{
    Line line;
    ASSERT_TRUE(line.open());
    auto reader = line.startReader();
    line.port.close();
    EXPECT_TRUE(reader->WaitFor(Guard));
    EXPECT_EQ(line.lostCalls.load(), 0);
}

TEST(ReadThreadEnd, TerminateWakesAReaderWaitingForRoom)
{
    Line line;
    ASSERT_TRUE(line.open());
    auto reader = line.startReader();
    line.link.resetRx();
    const auto bytes = sequence(260);
    ASSERT_TRUE(line.pty.send(bytes));
    ASSERT_TRUE(line.link.waitForCount(255, Guard));
    reader->Terminate();
    EXPECT_TRUE(reader->WaitFor(Guard));
}

TEST(ReadThreadEnd, HangUpReportsTheLostDeviceOnceAndEndsWithoutSpinning)
{
    Line line;
    ASSERT_TRUE(line.open());
    auto reader = line.startReader();
    line.pty.closeMaster();
    ASSERT_TRUE(reader->WaitFor(Guard));
    EXPECT_EQ(line.lostCalls.load(), 1);
    EXPECT_LT(reader->cpuTime(), SpinBound);
}

TEST(ReadThreadEnd, InputOutputErrorReportsTheLostDevice)
{
    FakeSysIo io;
    Line line(io);
    ASSERT_TRUE(line.open());
    io.readErrno = EIO;
    auto reader = line.startReader();
    const std::vector<std::uint8_t> byte{1};
    ASSERT_TRUE(line.pty.send(byte));
    ASSERT_TRUE(reader->WaitFor(Guard));
    EXPECT_EQ(line.lostCalls.load(), 1);
    EXPECT_EQ(line.link.rxCount(), 0u);
}

TEST(ReadThreadEnd, PollHangUpReportsTheLostDevice)
{
    FakeSysIo io;
    Line line(io);
    ASSERT_TRUE(line.open());
    io.pollRevents = POLLHUP;
    auto reader = line.startReader();
    ASSERT_TRUE(reader->WaitFor(Guard));
    EXPECT_EQ(line.lostCalls.load(), 1);
}

TEST(ReadThreadEnd, ReadableLineThatNeverYieldsBytesIsALostDevice)
{
    FakeSysIo io;
    Line line(io);
    ASSERT_TRUE(line.open());
    io.readEagain = 1000000;
    auto reader = line.startReader();
    const std::vector<std::uint8_t> byte{1};
    ASSERT_TRUE(line.pty.send(byte));
    ASSERT_TRUE(reader->WaitFor(Guard));
    EXPECT_EQ(line.lostCalls.load(), 1);
    EXPECT_LT(io.reads.load(), 10);
}

TEST(ReadThreadEnd, OneEmptyReadIsNotALostDevice)
{
    FakeSysIo io;
    Line line(io);
    ASSERT_TRUE(line.open());
    io.readEagain = 1;
    auto reader = line.startReader();
    line.link.resetRx();
    const auto bytes = sequence(4);
    ASSERT_TRUE(line.pty.send(bytes));
    ASSERT_TRUE(line.link.waitForCount(4, Guard));
    EXPECT_EQ(line.link.rxBytes(), bytes);
    EXPECT_EQ(line.lostCalls.load(), 0);
    EXPECT_FALSE(reader->Finished());
}

} // namespace
} // namespace grafimo
