// A frame that cannot be written ends its exchange at once and takes the lost-port path:
// the receive thread reports the device gone, and the poll thread counts no miss for a
// request that never went out.

#include "Oproskanala.h"
#include "Readthread.h"
#include "fake_sys_io.h"
#include "grafimo_test/temp_dir.h"
#include "pty_pair.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <condition_variable>
#include <mutex>

namespace grafimo {
namespace {

using namespace std::chrono_literals;
using platform::SerialPort;

constexpr auto Guard = 5s; // failure guard only

class ShownLines : public PollView {
public:
    void requestSent(const std::string&) override { ++lines; }
    void answerReceived(const std::string&) override { ++lines; }
    void samplePlotted(std::uint8_t, float, float, double) override {}
    void historyReloaded(std::uint8_t, std::vector<HistoryRecord>) override {}
    void historyWriteFailed(std::uint8_t, const std::string&) override {}
    std::atomic<int> lines{0};
};

TEST(WriteFailure, EndsTheExchangeAtOnceAndTakesTheLostPortPathWithoutAMiss)
{
    const struct Case {
        const char* what;
        bool socket;
        int error;
    } cases[] = {
        {"terminal, I/O error", false, EIO},
        {"gateway socket, connection reset", true, ECONNRESET},
        {"gateway socket, broken pipe", true, EPIPE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testing::FakeSysIo io;
        io.writeErrno = c.error;
        testing::PtyPair pty;
        SerialPort port(io);
        int pair[2] = {-1, -1};
        if (c.socket) {
            ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pair), 0);
            ASSERT_EQ(port.openStream(pair[0], "tcp://gateway:4001"), SerialPort::OpenStep::Ok);
        } else {
            ASSERT_TRUE(pty.ok());
            ASSERT_EQ(port.open(pty.slavePath()), SerialPort::OpenStep::Ok);
        }
        Link link;
        std::mutex m;
        std::condition_variable cv;
        int lost = 0;
        ReadThread rx(port, link, [&] {
            { std::lock_guard lock(m); ++lost; }
            cv.notify_all();
        });
        PollDevices devices;
        devices.setTabs({1});
        ShownLines view;
        test::TempDir dir;
        oprosKanala poll(link, port, devices, view, dir.path(), &rx);
        rx.Start();
        poll.Start();
        {
            std::unique_lock lock(m);
            ASSERT_TRUE(cv.wait_for(lock, Guard, [&] { return lost > 0; }));
        }
        EXPECT_TRUE(port.isLost());
        EXPECT_FALSE(port.writeFrame(std::vector<std::uint8_t>{1, 2, 3}));
        poll.stopAndWait();
        rx.Terminate();
        port.close();
        rx.WaitFor();
        EXPECT_EQ(lost, 1);
        EXPECT_GE(io.writes.load(), 1);
        EXPECT_EQ(devices.noAnswerCount(1), 0); // not a miss: the request never went out
        EXPECT_EQ(view.lines.load(), 0);        // and it is not shown as sent
        EXPECT_EQ(link.resets(), 0u);           // no answer was waited for
        if (pair[1] >= 0)
            ::close(pair[1]);
    }
}

TEST(WriteFailure, AClosedPortIsNotALostOne)
{
    testing::FakeSysIo io;
    testing::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    SerialPort port(io);
    ASSERT_EQ(port.open(pty.slavePath()), SerialPort::OpenStep::Ok);
    port.close();
    EXPECT_FALSE(port.writeFrame(std::vector<std::uint8_t>{1, 2, 3}));
    EXPECT_FALSE(port.isLost());
    // And a port opened again after a loss starts sound.
    io.writeErrno = EIO;
    ASSERT_EQ(port.open(pty.slavePath()), SerialPort::OpenStep::Ok);
    EXPECT_FALSE(port.writeFrame(std::vector<std::uint8_t>{1, 2, 3}));
    EXPECT_TRUE(port.isLost());
    io.writeErrno = 0;
    ASSERT_EQ(port.open(pty.slavePath()), SerialPort::OpenStep::Ok);
    EXPECT_FALSE(port.isLost());
    EXPECT_TRUE(port.writeFrame(std::vector<std::uint8_t>{1, 2, 3}));
}

} // namespace
} // namespace grafimo
