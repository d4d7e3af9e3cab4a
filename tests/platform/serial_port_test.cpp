#include "grafimo/platform/serial_port.h"

#include "fake_sys_io.h"
#include "pty_pair.h"

#include <linux/serial.h>

#include <gtest/gtest.h>

#include <thread>

#include <future>
#include <numeric>

namespace grafimo {
namespace {

using namespace std::chrono_literals;
using platform::SerialPort;
using testing::FakeSysIo;
using testing::PtyPair;
using OpenStep = SerialPort::OpenStep;
using Wait = SerialPort::Wait;

constexpr auto Guard = 5s; // failure guard only

std::vector<std::uint8_t> sequence(std::size_t n, std::uint8_t first = 0)
{
    std::vector<std::uint8_t> v(n);
    std::iota(v.begin(), v.end(), first);
    return v;
}

// Reads what the device side has sent until `count` bytes are in or the guard runs out.
std::vector<std::uint8_t> readQueued(SerialPort& port, std::size_t count)
{
    std::vector<std::uint8_t> out;
    const auto deadline = std::chrono::steady_clock::now() + Guard;
    while (out.size() < count && std::chrono::steady_clock::now() < deadline) {
        if (port.waitReadable() != Wait::Data)
            break;
        std::uint8_t buf[256];
        const long n = port.read(buf, std::min(sizeof buf, count - out.size()));
        if (n < 0)
            break;
        out.insert(out.end(), buf, buf + n);
    }
    return out;
}

// ---- opening ----

TEST(SerialPortOpen, AsksAUsbAdapterForLowLatencyAndGivesItBackOnClose)
{
    // Flags before and while open (ASYNC_SPD_HI: someone else's); a refusing driver; a pty.
    const struct { int before, whileOpen; bool refused; } cases[] = {
        {ASYNC_SPD_HI, ASYNC_SPD_HI | ASYNC_LOW_LATENCY, false}, {ASYNC_SPD_HI, ASYNC_SPD_HI, true}, {-1, -1, false}};
    for (const auto& c : cases) {
        PtyPair pty;
        FakeSysIo io;
        io.serialFlags = c.before;
        io.serialRefused = c.refused;
        SerialPort port(io);
        ASSERT_EQ(port.open(pty.slavePath()), OpenStep::Ok);
        EXPECT_EQ(io.serialFlags.load(), c.whileOpen);
        port.close();
        EXPECT_EQ(io.serialFlags.load(), c.before);
    }
}

TEST(SerialPortOpen, StatusTextsOfEachStep)
{
    EXPECT_EQ(SerialPort::statusText(OpenStep::Ok), nullptr);
    EXPECT_STREQ(SerialPort::statusText(OpenStep::OpenFailed), "Не удалось открыть порт");
    EXPECT_STREQ(SerialPort::statusText(OpenStep::GetAttrFailed), "Не удалось считать DCB");
    EXPECT_STREQ(SerialPort::statusText(OpenStep::SetAttrFailed), "Не удалось установить DCB");
    EXPECT_STREQ(SerialPort::statusText(OpenStep::TimeoutsFailed), "Не удалось установить тайм-ауты");
}

TEST(SerialPortOpen, OpensATerminalAsRaw9600Baud8N1WithoutTimeouts)
{
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    FakeSysIo io;
    SerialPort port(io);
    ASSERT_EQ(port.open(pty.slavePath()), OpenStep::Ok);
    EXPECT_TRUE(port.isOpen());
    EXPECT_EQ(port.path(), pty.slavePath());

    const termios t = io.settings();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B9600));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
}

TEST(SerialPortOpen, SecondOpenOfTheSameDeviceFails)
{
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    SerialPort first;
    ASSERT_EQ(first.open(pty.slavePath()), OpenStep::Ok);
    SerialPort second;
    EXPECT_EQ(second.open(pty.slavePath()), OpenStep::OpenFailed);
    EXPECT_FALSE(second.isOpen());
    // The first one is unharmed.
    const std::vector<std::uint8_t> bytes{1, 2, 3};
    ASSERT_TRUE(pty.send(bytes));
    EXPECT_EQ(readQueued(first, 3), bytes);
}

TEST(SerialPortOpen, DeviceCanBeOpenedAgainAfterClose)
{
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    SerialPort first;
    ASSERT_EQ(first.open(pty.slavePath()), OpenStep::Ok);
    first.close();
    SerialPort second;
    EXPECT_EQ(second.open(pty.slavePath()), OpenStep::Ok);
    // And the same object reopens too.
    second.close();
    EXPECT_EQ(first.open(pty.slavePath()), OpenStep::Ok);
}

TEST(SerialPortOpen, InputQueuedBeforeTheOpenIsPurged)
{
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    {
        // Someone else had the line; what the device sent then is not ours.
        SerialPort earlier;
        ASSERT_EQ(earlier.open(pty.slavePath()), OpenStep::Ok);
        const std::vector<std::uint8_t> stale{9, 9, 9};
        ASSERT_TRUE(pty.send(stale));
        ASSERT_EQ(earlier.waitReadable(), Wait::Data);
        ASSERT_GT(earlier.bytesQueued(), 0u);
    }
    SerialPort port;
    ASSERT_EQ(port.open(pty.slavePath()), OpenStep::Ok);
    EXPECT_EQ(port.bytesQueued(), 0u);
    const std::vector<std::uint8_t> fresh{7};
    ASSERT_TRUE(pty.send(fresh));
    EXPECT_EQ(readQueued(port, 1), fresh);
}

TEST(SerialPortOpen, MissingOrEmptyNameFailsToOpen)
{
    SerialPort port;
    EXPECT_EQ(port.open("/dev/grafimo-no-such-port"), OpenStep::OpenFailed);
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(port.open(""), OpenStep::OpenFailed);
    EXPECT_FALSE(port.isOpen());
}

TEST(SerialPortOpen, ADeviceThatIsNoTerminalFailsReadingItsSettings)
{
    SerialPort port;
    EXPECT_EQ(port.open("/dev/null"), OpenStep::GetAttrFailed);
    EXPECT_FALSE(port.isOpen());
}

struct OpenFault {
    const char* name;
    void (*inject)(FakeSysIo&);
    OpenStep expected;
    friend void PrintTo(const OpenFault& f, std::ostream* os) { *os << f.name; }
};

class SerialPortOpenFault : public ::testing::TestWithParam<OpenFault> {};

TEST_P(SerialPortOpenFault, MapsToItsStepAndLeavesThePortClosed)
{
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    FakeSysIo io;
    GetParam().inject(io);
    SerialPort port(io);
    EXPECT_EQ(port.open(pty.slavePath()), GetParam().expected);
    ASSERT_FALSE(port.isOpen());
    EXPECT_EQ(io.opens.load(), io.closes.load()) << "descriptor leaked";
    // The line is unlocked only by the descriptor that locked it: a copy refused the lock
    // must leave the holder's TIOCEXCL in place.
    EXPECT_EQ(io.exclusiveCleared.load(), io.exclusiveSet.load());
    const std::vector<std::uint8_t> frame{1, 2};
    EXPECT_FALSE(port.writeFrame(frame));
    EXPECT_EQ(port.waitReadable(), Wait::Closed);
    // Nothing of the failed attempt stands in the way of a clean open.
    SerialPort clean;
    EXPECT_EQ(clean.open(pty.slavePath()), OpenStep::Ok);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, SerialPortOpenFault,
    ::testing::Values(
        OpenFault{"open", [](FakeSysIo& io) { io.openErrno = EACCES; }, OpenStep::OpenFailed},
        OpenFault{"lock", [](FakeSysIo& io) { io.failFlock = true; }, OpenStep::OpenFailed},
        OpenFault{"getattr", [](FakeSysIo& io) { io.failTcgetattr = true; }, OpenStep::GetAttrFailed},
        OpenFault{"setattr", [](FakeSysIo& io) { io.failTcsetattrCall = 1; }, OpenStep::SetAttrFailed},
        OpenFault{"timeouts", [](FakeSysIo& io) { io.failTcsetattrCall = 2; }, OpenStep::TimeoutsFailed}),
    [](const ::testing::TestParamInfo<OpenFault>& info) { return std::string(info.param.name); });

// ---- writing ----

TEST(SerialPortWrite, FrameArrivesWholeAtTheDevice)
{
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    SerialPort port;
    ASSERT_EQ(port.open(pty.slavePath()), OpenStep::Ok);
    const std::vector<std::uint8_t> request{0x01, 0x03, 0x00, 0x00, 0x00, 0x06, 0xC5, 0xC8};
    EXPECT_TRUE(port.writeFrame(request));
    EXPECT_EQ(pty.receive(request.size(), Guard), request);
}

TEST(SerialPortWrite, InterruptedShortAndRefusedWritesAreRetried)
{
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    FakeSysIo io;
    SerialPort port(io);
    ASSERT_EQ(port.open(pty.slavePath()), OpenStep::Ok);
    io.writeEintr = 2;
    io.writeEagain = 2;
    io.writeChunk = 3;
    const auto frame = sequence(20, 0x30);
    EXPECT_TRUE(port.writeFrame(frame));
    EXPECT_EQ(pty.receive(frame.size(), Guard), frame);
    EXPECT_GE(io.writes.load(), 2 + 2 + 7);
}

TEST(SerialPortWrite, ClosedPortReturnsAtOnceWithoutWriting)
{
    FakeSysIo io;
    SerialPort never(io);
    const std::vector<std::uint8_t> frame{1, 2, 3};
    EXPECT_FALSE(never.writeFrame(frame));

    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    SerialPort port(io);
    ASSERT_EQ(port.open(pty.slavePath()), OpenStep::Ok);
    port.close();
    EXPECT_FALSE(port.writeFrame(frame));
    EXPECT_EQ(io.writes.load(), 0);
}

// With `fault` set, a write waits (the fake has polled at least once) until the port closes,
// and then fails.
void expectAWaitingWriteEndsWhenThePortCloses(SerialPort& port, FakeSysIo& io, std::atomic<bool> FakeSysIo::*fault)
{
    io.*fault = true;
    const int pollsBefore = io.polls();
    const auto frame = sequence(8);
    auto writer = std::async(std::launch::async, [&] { return port.writeFrame(frame); });
    ASSERT_TRUE(io.waitForPolls(pollsBefore + 1, Guard));
    port.close();
    ASSERT_EQ(writer.wait_for(Guard), std::future_status::ready);
    EXPECT_FALSE(writer.get());
}

TEST(SerialPortWrite, WriteStuckOnAFullQueueEndsWhenThePortCloses)
{
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    FakeSysIo io;
    SerialPort port(io);
    ASSERT_EQ(port.open(pty.slavePath()), OpenStep::Ok);
    expectAWaitingWriteEndsWhenThePortCloses(port, io, &FakeSysIo::outputStuck);
    EXPECT_FALSE(port.isOpen());
}

TEST(SerialPortWrite, AQueueThatNeverEmptiesIsDroppedAtTheDeadline)
{
    // A stalled USB adapter takes the bytes but never sends them: the write gives up at
    // its deadline, discards them, and a close afterwards does not wait for it.
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    FakeSysIo io;
    SerialPort port(io);
    ASSERT_EQ(port.open(pty.slavePath()), OpenStep::Ok);
    io.queueStalled = true;
    const int flushesBefore = io.outputFlushes.load();
    EXPECT_FALSE(port.writeFrame(sequence(8)));
    EXPECT_EQ(io.outputFlushes.load(), flushesBefore + 1);
    port.close();
    EXPECT_FALSE(port.isOpen());
}

TEST(SerialPortWrite, AStalledQueueWaitEndsWhenThePortCloses)
{
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    FakeSysIo io;
    SerialPort port(io);
    ASSERT_EQ(port.open(pty.slavePath()), OpenStep::Ok);
    expectAWaitingWriteEndsWhenThePortCloses(port, io, &FakeSysIo::queueStalled);
}

TEST(SerialPortWrite, BytesWaitingFromBeforeTheRequestAreDropped)
{
    // The tail of an answer longer than the receive buffer, or a device's babble, must not
    // become the start of the next answer.
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    SerialPort port;
    ASSERT_EQ(port.open(pty.slavePath()), OpenStep::Ok);
    const std::vector<std::uint8_t> stale(40, 0x55);
    ASSERT_TRUE(pty.send(stale));
    const auto until = std::chrono::steady_clock::now() + Guard;
    while (port.bytesQueued() < stale.size() && std::chrono::steady_clock::now() < until)
        std::this_thread::yield();
    ASSERT_EQ(port.bytesQueued(), stale.size());
    ASSERT_TRUE(port.writeFrame(sequence(8)));
    EXPECT_EQ(port.bytesQueued(), 0u);
    EXPECT_EQ(pty.receive(8, Guard), sequence(8));
}

TEST(SerialPortWrite, HungUpLineFailsTheWrite)
{
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    SerialPort port;
    ASSERT_EQ(port.open(pty.slavePath()), OpenStep::Ok);
    pty.closeMaster();
    const auto frame = sequence(8);
    EXPECT_FALSE(port.writeFrame(frame));
}

TEST(SerialPortWrite, ServesAsTheFrameWriterOfAnExchange)
{
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    SerialPort port;
    ASSERT_EQ(port.open(pty.slavePath()), OpenStep::Ok);
    Link link;
    const std::vector<std::uint8_t> message{0x02, 0x03, 0x00, 0x00, 0x00, 0x06};
    const auto answer = exchange(link, port, message, 1);
    EXPECT_TRUE(answer.empty());
    const std::vector<std::uint8_t> expected{0x02, 0x03, 0x00, 0x00, 0x00, 0x06, 0xC5, 0xFB};
    EXPECT_EQ(pty.receive(expected.size(), Guard), expected);
}

// ---- waiting and reading ----

TEST(SerialPortRead, QueuedBytesAreReportedAndRead)
{
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    SerialPort port;
    ASSERT_EQ(port.open(pty.slavePath()), OpenStep::Ok);
    const auto bytes = sequence(17, 0x50);
    ASSERT_TRUE(pty.send(bytes));
    EXPECT_EQ(readQueued(port, 17), bytes);
    EXPECT_EQ(port.bytesQueued(), 0u);
    std::uint8_t b;
    EXPECT_EQ(port.read(&b, 1), 0) << "nothing queued reads as no bytes";
}

TEST(SerialPortRead, ReadTakesNoMoreThanAskedAndLeavesTheRestQueued)
{
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    SerialPort port;
    ASSERT_EQ(port.open(pty.slavePath()), OpenStep::Ok);
    const auto bytes = sequence(10);
    ASSERT_TRUE(pty.send(bytes));
    ASSERT_EQ(port.waitReadable(), Wait::Data);
    std::uint8_t buf[16] = {};
    ASSERT_EQ(port.read(buf, 4), 4);
    EXPECT_TRUE(std::equal(buf, buf + 4, bytes.begin()));
    const auto rest = readQueued(port, 6);
    EXPECT_EQ(rest, std::vector<std::uint8_t>(bytes.begin() + 4, bytes.end()));
}

TEST(SerialPortRead, CloseFromAnotherThreadWakesAWaitingReader)
{
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    FakeSysIo io;
    SerialPort port(io);
    ASSERT_EQ(port.open(pty.slavePath()), OpenStep::Ok);
    const int pollsBefore = io.polls();
    auto reader = std::async(std::launch::async, [&] { return port.waitReadable(); });
    ASSERT_TRUE(io.waitForPolls(pollsBefore + 1, Guard));
    port.close();
    ASSERT_EQ(reader.wait_for(Guard), std::future_status::ready);
    EXPECT_EQ(reader.get(), Wait::Closed);
    EXPECT_EQ(io.closes.load(), 1);
    port.close(); // idempotent
    EXPECT_EQ(io.closes.load(), 1);
}

TEST(SerialPortRead, HangUpIsALostDevice)
{
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    SerialPort port;
    ASSERT_EQ(port.open(pty.slavePath()), OpenStep::Ok);
    pty.closeMaster();
    EXPECT_EQ(port.waitReadable(), Wait::Lost);
}

TEST(SerialPortRead, PollHangUpOrErrorIsALostDevice)
{
    for (const short revents : {short(POLLHUP), short(POLLERR), short(POLLIN | POLLHUP)}) {
        PtyPair pty;
        ASSERT_TRUE(pty.ok());
        FakeSysIo io;
        SerialPort port(io);
        ASSERT_EQ(port.open(pty.slavePath()), OpenStep::Ok);
        io.pollRevents = revents;
        EXPECT_EQ(port.waitReadable(), Wait::Lost) << "revents " << revents;
    }
}

TEST(SerialPortRead, InterruptedReadIsRetriedAndEagainYieldsNoBytes)
{
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    FakeSysIo io;
    SerialPort port(io);
    ASSERT_EQ(port.open(pty.slavePath()), OpenStep::Ok);
    const auto bytes = sequence(5, 0x10);
    ASSERT_TRUE(pty.send(bytes));
    ASSERT_EQ(port.waitReadable(), Wait::Data);

    io.readEagain = 1;
    std::uint8_t buf[8] = {};
    EXPECT_EQ(port.read(buf, sizeof buf), 0);

    io.readEintr = 3;
    const int readsBefore = io.reads.load();
    EXPECT_EQ(readQueued(port, 5), bytes);
    EXPECT_GE(io.reads.load() - readsBefore, 4);
}

TEST(SerialPortRead, InputOutputErrorFailsTheRead)
{
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    FakeSysIo io;
    SerialPort port(io);
    ASSERT_EQ(port.open(pty.slavePath()), OpenStep::Ok);
    io.readErrno = EIO;
    std::uint8_t b;
    EXPECT_EQ(port.read(&b, 1), -1);
    EXPECT_TRUE(port.isOpen());
}

TEST(SerialPortClose, ConcurrentClosesAllReturnWithThePortClosed)
{
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    FakeSysIo io;
    SerialPort port(io);
    ASSERT_EQ(port.open(pty.slavePath()), OpenStep::Ok);
    auto reader = std::async(std::launch::async, [&] { return port.waitReadable(); });
    auto a = std::async(std::launch::async, [&] { port.close(); });
    auto b = std::async(std::launch::async, [&] { port.close(); });
    ASSERT_EQ(a.wait_for(Guard), std::future_status::ready);
    ASSERT_EQ(b.wait_for(Guard), std::future_status::ready);
    ASSERT_EQ(reader.wait_for(Guard), std::future_status::ready);
    EXPECT_EQ(reader.get(), Wait::Closed);
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(io.closes.load(), 1);
}

} // namespace
} // namespace grafimo
