#include "grafimo/platform/serial_port.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace grafimo::platform {

namespace {

using Clock = std::chrono::steady_clock;

bool makeWakePipe(int fds[2])
{
    // Both ends in one call: no window in which a fork could inherit them.
    return ::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0;
}

void closeIfOpen(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// 9600 baud, 8 data bits, no parity, one stop bit, raw bytes, no flow control of any kind.
void makeLineSettings(termios& t)
{
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL
                                        | IXON | IXOFF | IXANY | INPCK);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    ::cfsetispeed(&t, B9600);
    ::cfsetospeed(&t, B9600);
}

} // namespace

// Counts a thread as inside a call on the port for as long as it lives, so that close()
// never pulls the descriptor out from under it.
class SerialPort::Use {
public:
    explicit Use(SerialPort& port) : port_(port), ok_(port.enter(fds_)) {}
    ~Use()
    {
        if (ok_)
            port_.leave();
    }
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;
    explicit operator bool() const { return ok_; }
    int fd() const { return fds_.port; }
    int wake() const { return fds_.closing; }
    int kick() const { return fds_.kick; }
    bool stream() const { return fds_.stream; }

private:
    SerialPort& port_;
    Fds fds_;
    bool ok_;
};

SerialPort::SerialPort(SysIo& io) : io_(io) {}

SerialPort::~SerialPort() { close(); }

const char* SerialPort::statusText(OpenStep step)
{
    switch (step) {
    case OpenStep::Ok: return nullptr;
    case OpenStep::OpenFailed: return "Не удалось открыть порт";
    case OpenStep::GetAttrFailed: return "Не удалось считать DCB";
    case OpenStep::SetAttrFailed: return "Не удалось установить DCB";
    case OpenStep::TimeoutsFailed: return "Не удалось установить тайм-ауты";
    }
    return nullptr;
}

SerialPort::OpenStep SerialPort::open(const std::string& path)
{
    close();
    openErrno_ = 0;

    int wake[2] = {-1, -1};
    int kick[2] = {-1, -1};
    auto closePipes = [&] {
        for (int* fd : {&wake[0], &wake[1], &kick[0], &kick[1]})
            closeIfOpen(*fd);
    };
    if (!makeWakePipe(wake) || !makeWakePipe(kick)) {
        openErrno_ = errno;
        closePipes();
        return OpenStep::OpenFailed;
    }

    // Non-blocking so that no call can hang the caller; the waits are done by poll().
    const int fd = io_.open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        openErrno_ = errno;
        closePipes();
        return OpenStep::OpenFailed;
    }
    bool exclusive = false;
    auto fail = [&](OpenStep step) {
        releaseFd(fd, exclusive);
        closePipes();
        return step;
    };

    // Nobody else may share the line: the lock also holds against root, which TIOCEXCL
    // alone does not. A device that is not a terminal fails at tcgetattr just below.
    if (io_.flock(fd, LOCK_EX | LOCK_NB) != 0) {
        openErrno_ = errno;
        return fail(OpenStep::OpenFailed);
    }
    exclusive = io_.ioctl(fd, TIOCEXCL, nullptr) == 0;

    termios t{};
    if (io_.tcgetattr(fd, &t) != 0)
        return fail(OpenStep::GetAttrFailed);
    makeLineSettings(t);
    if (io_.tcsetattr(fd, TCSANOW, &t) != 0)
        return fail(OpenStep::SetAttrFailed);
    // No time-outs: a read returns at once with whatever is queued; waiting is poll()'s job.
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (io_.tcsetattr(fd, TCSANOW, &t) != 0)
        return fail(OpenStep::TimeoutsFailed);

    // DTR and RTS off; a pseudo-terminal has no modem lines and says ENOTTY, which is fine.
    int lines = TIOCM_DTR | TIOCM_RTS;
    io_.ioctl(fd, TIOCMBIC, &lines);
    // Linux sizes its tty queues itself (4 KiB and more); there is no call to ask for
    // 2000-byte driver queues, and they would be no better than what we get.
    io_.tcflush(fd, TCIFLUSH);
    const bool lowLatency = askLowLatency(fd);

    std::lock_guard lock(mutex_);
    lowLatencySet_ = lowLatency;
    exclusive_ = exclusive;
    adoptLocked(fd, wake, kick, path, false);
    return OpenStep::Ok;
}

SerialPort::OpenStep SerialPort::openStream(int socketFd, const std::string& name)
{
    close();
    openErrno_ = 0;
    int wake[2] = {-1, -1};
    int kick[2] = {-1, -1};
    if (!makeWakePipe(wake) || !makeWakePipe(kick)) {
        openErrno_ = errno;
        for (int* fd : {&wake[0], &wake[1], &kick[0], &kick[1], &socketFd})
            closeIfOpen(*fd);
        return OpenStep::OpenFailed;
    }
    std::lock_guard lock(mutex_);
    adoptLocked(socketFd, wake, kick, name, true);
    return OpenStep::Ok;
}

void SerialPort::adoptLocked(int fd, const int wake[2], const int kick[2], const std::string& name, bool stream)
{
    fd_ = fd;
    wakeRead_ = wake[0];
    wakeWrite_ = wake[1];
    kickRead_ = kick[0];
    kickWrite_ = kick[1];
    path_ = name;
    stream_ = stream;
    lost_ = false;
}

bool SerialPort::isOpen() const
{
    std::lock_guard lock(mutex_);
    return fd_ >= 0 && !closing_;
}

bool SerialPort::isLost() const
{
    std::lock_guard lock(mutex_);
    return lost_;
}

void SerialPort::markLost()
{
    std::lock_guard lock(mutex_);
    if (fd_ < 0 || closing_ || lost_)
        return;
    lost_ = true;
    // The receive thread's wait ends and reports the loss.
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(kickWrite_, &byte, 1);
}

const std::string& SerialPort::path() const { return path_; }

int SerialPort::openErrno() const { return openErrno_; }

std::chrono::milliseconds SerialPort::writeTimeout(std::size_t bytes)
{
    // A byte takes 10 bit times (about 1.04 ms) at 9600 baud; allow twice that plus a
    // fixed margin for a busy driver.
    return std::chrono::milliseconds(500 + 2 * static_cast<long>(bytes));
}

bool SerialPort::writeFrame(std::span<const std::uint8_t> frame)
{
    Use use(*this);
    if (!use)
        return false;
    // A tty or socket that cannot take a frame is gone, as one that hangs up is; a close
    // under way is no loss.
    const auto failed = [&](bool closing) {
        if (!closing)
            markLost();
        return false;
    };

    // Whatever still waits in the input queue arrived before this request and belongs to
    // no answer of it: the tail of an answer longer than the receive buffer, or babble.
    if (use.stream())
        dropQueuedInput(use.fd());
    else
        io_.tcflush(use.fd(), TCIFLUSH);
    const auto deadline = Clock::now() + writeTimeout(frame.size());
    std::size_t done = 0;
    while (done < frame.size()) {
        if (Clock::now() >= deadline)
            return failed(false);
        const ssize_t n = use.stream() ? io_.send(use.fd(), frame.data() + done, frame.size() - done, MSG_NOSIGNAL)
                                       : io_.write(use.fd(), frame.data() + done, frame.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return failed(false);
        // Output queue full: wait for room, or for close().
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd fds[2] = {{use.fd(), POLLOUT, 0}, {use.wake(), POLLIN, 0}};
        const int ready = io_.poll(fds, 2, static_cast<int>(std::max<long>(1, left.count())));
        if (ready < 0 && errno != EINTR)
            return failed(false);
        if (ready > 0) {
            if (fds[1].revents != 0)
                return failed(true);
            if ((fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0)
                return failed(false);
        }
    }
    // Returns when the last byte has left the driver. A stalled adapter may never empty
    // its queue, so the queue is watched against the same deadline (close() cuts the wait
    // short) and whatever is still in it then is thrown away. A gateway's socket has no
    // line to watch: the gateway puts the bytes on its bus as they come.
    if (use.stream())
        return true;
    for (;;) {
        int queued = 0;
        if (io_.ioctl(use.fd(), TIOCOUTQ, &queued) != 0) {
            if (errno == EINTR)
                continue;
            return true; // no count to watch: the bytes are with the driver
        }
        if (queued <= 0)
            return true;
        const auto now = Clock::now();
        if (now >= deadline) {
            io_.tcflush(use.fd(), TCOFLUSH);
            return failed(false);
        }
        // About the time the queued bytes take on the line, never past the deadline.
        const auto onLine = std::chrono::milliseconds(1 + queued * 105 / 100);
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
        pollfd wake{use.wake(), POLLIN, 0};
        const int ready = io_.poll(&wake, 1, static_cast<int>(std::max<long>(1, std::min(onLine, left).count())));
        if (ready > 0 && wake.revents != 0)
            return failed(true);
    }
}

SerialPort::Wait SerialPort::afterKick(int kickFd)
{
    std::uint8_t drain[16];
    while (::read(kickFd, drain, sizeof drain) > 0) {
    }
    return isLost() ? Wait::Lost : Wait::Interrupted;
}

SerialPort::Wait SerialPort::waitReadable()
{
    Use use(*this);
    if (!use)
        return Wait::Closed;
    if (isLost())
        return Wait::Lost;
    for (;;) {
        pollfd fds[3] = {{use.fd(), POLLIN, 0}, {use.wake(), POLLIN, 0}, {use.kick(), POLLIN, 0}};
        const int ready = io_.poll(fds, 3, -1);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return Wait::Lost;
        }
        if (fds[1].revents != 0)
            return Wait::Closed;
        if (fds[2].revents != 0)
            return afterKick(use.kick());
        if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)
            return Wait::Lost;
        if ((fds[0].revents & POLLIN) != 0)
            return Wait::Data;
    }
}

SerialPort::Wait SerialPort::pauseFor(std::chrono::microseconds time)
{
    Use use(*this);
    if (!use)
        return Wait::Closed;
    const auto until = Clock::now() + time;
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
        if (left.count() <= 0)
            return Wait::Data;
        pollfd fds[2] = {{use.wake(), POLLIN, 0}, {use.kick(), POLLIN, 0}};
        const int ready = io_.poll(fds, 2, static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR)
            return Wait::Lost;
        if (ready > 0 && fds[0].revents != 0)
            return Wait::Closed;
        if (ready > 0 && fds[1].revents != 0)
            return afterKick(use.kick());
    }
}

std::size_t SerialPort::bytesQueued()
{
    Use use(*this);
    if (!use)
        return 0;
    int queued = 0;
    if (io_.ioctl(use.fd(), FIONREAD, &queued) != 0 || queued < 0)
        return 0;
    return static_cast<std::size_t>(queued);
}

void SerialPort::interruptWait()
{
    std::lock_guard lock(mutex_);
    if (fd_ < 0 || closing_)
        return;
    const char byte = 1;
    // A full pipe already holds a pending wake-up; nothing more is needed.
    [[maybe_unused]] const ssize_t ignored = ::write(kickWrite_, &byte, 1);
}

long SerialPort::read(std::uint8_t* buffer, std::size_t max)
{
    Use use(*this);
    if (!use)
        return -1;
    if (max == 0)
        return 0;
    for (;;) {
        const ssize_t n = io_.read(use.fd(), buffer, max);
        if (n == 0 && use.stream())
            return -1; // the gateway closed the connection
        if (n >= 0)
            return static_cast<long>(n);
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        return -1;
    }
}

void SerialPort::close()
{
    std::unique_lock lock(mutex_);
    if (closing_) {
        // Another thread is closing it; return when it is done.
        idleCv_.wait(lock, [&] { return !closing_; });
        return;
    }
    if (fd_ < 0)
        return;
    closing_ = true;
    // Closing a descriptor does not wake a poll() on it; the pipe does.
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(wakeWrite_, &byte, 1);
    idleCv_.wait(lock, [&] { return users_ == 0; });
    if (lowLatencySet_)
        dropLowLatency(fd_);
    lowLatencySet_ = false;
    releaseFd(fd_, exclusive_);
    fd_ = -1;
    exclusive_ = false;
    closeIfOpen(wakeRead_);
    closeIfOpen(wakeWrite_);
    closeIfOpen(kickRead_);
    closeIfOpen(kickWrite_);
    closing_ = false;
    idleCv_.notify_all();
}

bool SerialPort::enter(Fds& fds)
{
    std::lock_guard lock(mutex_);
    if (fd_ < 0 || closing_)
        return false;
    ++users_;
    fds = Fds{fd_, wakeRead_, kickRead_, stream_};
    return true;
}

void SerialPort::leave()
{
    std::lock_guard lock(mutex_);
    if (--users_ == 0)
        idleCv_.notify_all();
}

void SerialPort::dropQueuedInput(int fd)
{
    // A bounded amount: a gateway that streams without pause cannot hold the writer here.
    std::uint8_t drain[256];
    for (int i = 0; i < 16; ++i) {
        const ssize_t n = io_.read(fd, drain, sizeof drain);
        if (n < static_cast<ssize_t>(sizeof drain) && !(n < 0 && errno == EINTR))
            return;
    }
}

bool SerialPort::askLowLatency(int fd)
{
    // A USB adapter holds received bytes back for its latency timer (16 ms on FTDI chips),
    // so an answer comes in pieces that far apart; in low-latency mode it passes them on at
    // once. A driver without the setting refuses it; the port works all the same.
    serial_struct serial{};
    if (io_.ioctl(fd, TIOCGSERIAL, &serial) != 0 || (serial.flags & ASYNC_LOW_LATENCY) != 0)
        return false;
    serial.flags |= ASYNC_LOW_LATENCY;
    return io_.ioctl(fd, TIOCSSERIAL, &serial) == 0;
}

void SerialPort::dropLowLatency(int fd)
{
    // Only our bit goes back; anything else set meanwhile stays.
    serial_struct serial{};
    if (io_.ioctl(fd, TIOCGSERIAL, &serial) != 0)
        return;
    serial.flags &= ~ASYNC_LOW_LATENCY;
    io_.ioctl(fd, TIOCSSERIAL, &serial);
}

void SerialPort::releaseFd(int fd, bool exclusive)
{
    // The exclusive flag belongs to the terminal, not to this descriptor: clear it so the
    // device can be opened again, but only when this descriptor set it (a copy that failed
    // to get the lock must not unlock the line of the copy that holds it). The lock goes
    // with the descriptor.
    if (exclusive)
        io_.ioctl(fd, TIOCNXCL, nullptr);
    io_.close(fd);
}

} // namespace grafimo::platform
