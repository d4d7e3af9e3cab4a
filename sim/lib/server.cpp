#include "grafimo/sim/server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace grafimo::sim {

namespace {

[[noreturn]] void throwErrno(const std::string& what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

void closeFd(int& fd) noexcept
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// Raw 9600 8N1, no flow control: what the program expects of its serial port.
void makeRaw(int fd, const std::string& name)
{
    termios t{};
    if (::tcgetattr(fd, &t) != 0)
        throwErrno("tcgetattr " + name);
    ::cfmakeraw(&t);
    ::cfsetispeed(&t, B9600);
    ::cfsetospeed(&t, B9600);
    t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &t) != 0)
        throwErrno("tcsetattr " + name);
}

void setNonBlocking(int fd, const std::string& name)
{
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0)
        throwErrno("fcntl " + name);
}

void makeLink(const std::string& target, const std::string& path)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && !S_ISLNK(st.st_mode))
        throw std::runtime_error(path + " exists and is not a symbolic link; not replacing it");
    // Build the new link beside the old one and rename it over, so a client never finds
    // the path missing while a stale link is replaced.
    const std::string tmp = path + ".new" + std::to_string(::getpid());
    ::unlink(tmp.c_str());
    if (::symlink(target.c_str(), tmp.c_str()) != 0)
        throwErrno("symlink " + tmp);
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        const int e = errno;
        ::unlink(tmp.c_str());
        throw std::system_error(e, std::generic_category(), "rename " + tmp + " to " + path);
    }
}

void removeLinkTo(const std::string& path, const std::string& target) noexcept
{
    if (path.empty())
        return;
    char buf[4096];
    const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
    // Another simulator may have taken the path over meanwhile; leave its link alone.
    if (n > 0 && static_cast<std::size_t>(n) < sizeof buf && std::string_view(buf, static_cast<std::size_t>(n)) == target)
        ::unlink(path.c_str());
}

timespec toTimespec(SimClock::duration d)
{
    if (d < SimClock::duration::zero())
        d = SimClock::duration::zero();
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
    return timespec{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
}

}  // namespace

std::string hexBytes(std::span<const std::uint8_t> bytes)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(bytes.size() * 3);
    for (std::uint8_t b : bytes) {
        if (!s.empty())
            s.push_back(' ');
        s.push_back(digits[b >> 4]);
        s.push_back(digits[b & 0x0F]);
    }
    return s;
}

PtyServer::PtyServer(ServerConfig config)
    : config_(std::move(config)), framer_(config_.frameSilence)
{
    for (const DeviceConfig& d : config_.devices)
        devices_.insert_or_assign(d.address, DeviceModel(d));
}

PtyServer::~PtyServer()
{
    stop();
}

void PtyServer::start()
{
    if (thread_.joinable())
        throw std::logic_error("simulator already serving");
    if (::pipe2(wakeFds_, O_NONBLOCK | O_CLOEXEC) != 0)
        throwErrno("pipe2");
    try {
        openLine();
    } catch (...) {
        closeFd(wakeFds_[0]);
        closeFd(wakeFds_[1]);
        throw;
    }
    {
        std::lock_guard lock(mutex_);
        stats_.running = true;
        stats_.plugged = true;
        error_.reset();
    }
    thread_ = std::thread([this] { run(); });
}

void PtyServer::stop()
{
    std::lock_guard commandLock(commandMutex_);
    if (!thread_.joinable())
        return;
    {
        std::lock_guard lock(mutex_);
        command_ = Command::Stop;
    }
    wake();
    thread_.join();
    closeLine();
    closeFd(wakeFds_[0]);
    closeFd(wakeFds_[1]);
    std::lock_guard lock(mutex_);
    stats_.running = false;
    stats_.plugged = false;
    changed_.notify_all();
}

void PtyServer::waitUntilStopped()
{
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !stats_.running; });
}

std::string PtyServer::ttyPath() const
{
    std::lock_guard lock(mutex_);
    return tty_;
}

std::optional<std::string> PtyServer::error() const
{
    std::lock_guard lock(mutex_);
    return error_;
}

void PtyServer::addDevice(const DeviceConfig& device)
{
    std::lock_guard lock(mutex_);
    devices_.insert_or_assign(device.address, DeviceModel(device));
}

bool PtyServer::removeDevice(std::uint8_t address)
{
    std::lock_guard lock(mutex_);
    return devices_.erase(address) != 0;
}

bool PtyServer::setFaults(std::uint8_t address, const Faults& faults)
{
    std::lock_guard lock(mutex_);
    auto it = devices_.find(address);
    if (it == devices_.end())
        return false;
    it->second.setFaults(faults);
    return true;
}

bool PtyServer::setLog(std::uint8_t address, const LogSettings& log)
{
    std::lock_guard lock(mutex_);
    auto it = devices_.find(address);
    if (it == devices_.end())
        return false;
    it->second.setLog(log);
    return true;
}

std::optional<DeviceModel> PtyServer::device(std::uint8_t address) const
{
    std::lock_guard lock(mutex_);
    auto it = devices_.find(address);
    if (it == devices_.end())
        return std::nullopt;
    return it->second;
}

void PtyServer::unplug()
{
    std::lock_guard commandLock(commandMutex_);
    if (!thread_.joinable())
        throw std::logic_error("simulator not serving");
    std::unique_lock lock(mutex_);
    command_ = Command::Unplug;
    const std::uint64_t target = commandsDone_ + 1;
    lock.unlock();
    wake();
    lock.lock();
    changed_.wait(lock, [&] { return commandsDone_ >= target || !stats_.running; });
}

void PtyServer::replug()
{
    std::lock_guard commandLock(commandMutex_);
    if (!thread_.joinable())
        throw std::logic_error("simulator not serving");
    std::unique_lock lock(mutex_);
    command_ = Command::Replug;
    commandError_.reset();
    const std::uint64_t target = commandsDone_ + 1;
    lock.unlock();
    wake();
    lock.lock();
    changed_.wait(lock, [&] { return commandsDone_ >= target || !stats_.running; });
    if (commandError_)
        throw std::runtime_error(*commandError_);
}

ServerStats PtyServer::stats() const
{
    std::lock_guard lock(mutex_);
    return stats_;
}

std::vector<ServedAnswer> PtyServer::answerLog() const
{
    std::lock_guard lock(mutex_);
    return {answers_.begin(), answers_.end()};
}

bool PtyServer::waitFor(const std::function<bool(const ServerStats&)>& pred,
                        std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return pred(stats_); });
}

bool PtyServer::waitForRequests(std::uint8_t address, std::uint64_t n, std::chrono::milliseconds timeout) const
{
    return waitFor([&](const ServerStats& s) { return s.requests[address] >= n; }, timeout);
}

bool PtyServer::waitForAnswers(std::uint8_t address, std::uint64_t n, std::chrono::milliseconds timeout) const
{
    return waitFor([&](const ServerStats& s) { return s.answers[address] >= n; }, timeout);
}

bool PtyServer::waitForDropped(std::uint64_t n, std::chrono::milliseconds timeout) const
{
    return waitFor([&](const ServerStats& s) { return s.dropped >= n; }, timeout);
}

bool PtyServer::waitForIdle(std::chrono::milliseconds timeout) const
{
    return waitFor([](const ServerStats& s) { return s.queuedBytes == 0 && s.partialBytes == 0; }, timeout);
}

void PtyServer::openLine()
{
    if (tcp()) {
        openListener();
        return;
    }
    int fd = -1;
    int keep = -1;
    std::string tty;
    try {
        if (config_.portPath.empty()) {
            fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
            if (fd < 0)
                throwErrno("posix_openpt");
            if (::grantpt(fd) != 0 || ::unlockpt(fd) != 0)
                throwErrno("grantpt/unlockpt");
            char name[256];
            if (::ptsname_r(fd, name, sizeof name) != 0)
                throwErrno("ptsname_r");
            tty = name;
            // Held open for as long as the line exists: with no client attached the master
            // would otherwise report a hang-up on every poll.
            keep = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
            if (keep < 0)
                throwErrno("open " + tty);
            makeRaw(keep, tty);
        } else {
            tty = config_.portPath;
            fd = ::open(tty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0)
                throwErrno("open " + tty);
            makeRaw(fd, tty);
            ::tcflush(fd, TCIOFLUSH);
        }
        setNonBlocking(fd, tty);
        if (!config_.linkPath.empty())
            makeLink(tty, config_.linkPath);
    } catch (...) {
        closeFd(keep);
        closeFd(fd);
        throw;
    }
    lineFd_ = fd;
    keepSlaveFd_ = keep;
    writeBlocked_ = false;
    std::lock_guard lock(mutex_);
    tty_ = std::move(tty);
}

void PtyServer::closeLine()
{
    if (tcp()) {
        dropClient();
        closeFd(listenFd_);
        return;
    }
    if (lineFd_ < 0)
        return;
    removeLinkTo(config_.linkPath, ttyPath());
    closeFd(lineFd_);
    closeFd(keepSlaveFd_);
}

void PtyServer::wake()
{
    const std::uint8_t b = 1;
    // A full pipe already holds a wake-up, so EAGAIN is fine.
    [[maybe_unused]] const ssize_t n = ::write(wakeFds_[1], &b, 1);
}

void PtyServer::addTrace(std::string line)
{
    if (config_.trace)
        traceLines_.push_back(std::move(line));
}

void PtyServer::run()
{
    std::vector<FramerEvent> events;
    for (;;) {
        const SimClock::time_point now0 = SimClock::now();
        std::optional<SimClock::time_point> deadline;
        if (lineFd_ >= 0) {
            deadline = framer_.silenceDeadline();
            if (!queue_.empty() && !writeBlocked_ && (!deadline || queue_.front().due < *deadline))
                deadline = queue_.front().due;
            if (!echoes_.empty() && (!deadline || echoes_.front().due < *deadline))
                deadline = echoes_.front().due;
        }
        pollfd fds[3] = {{wakeFds_[0], POLLIN, 0}, {lineFd_, 0, 0}, {listenFd_, POLLIN, 0}};
        nfds_t nfds = 1;
        if (lineFd_ >= 0) {
            fds[1].events = static_cast<short>(POLLIN | (writeBlocked_ ? POLLOUT : 0));
            nfds = 2;
        }
        // The listener comes last; with no client the line's entry is ignored (fd -1).
        if (listenFd_ >= 0)
            nfds = 3;
        timespec ts{};
        if (deadline)
            ts = toTimespec(*deadline - now0);
        const int rc = ::ppoll(fds, nfds, deadline ? &ts : nullptr, nullptr);
        if (rc < 0 && errno != EINTR) {
            std::lock_guard lock(mutex_);
            error_ = std::string("poll: ") + std::strerror(errno);
            break;
        }
        const SimClock::time_point now = SimClock::now();

        if (rc > 0 && (fds[0].revents & POLLIN)) {
            std::uint8_t drain[64];
            while (::read(wakeFds_[0], drain, sizeof drain) > 0) {
            }
            if (!runCommand())
                break;
        }
        bool failed = false;
        if (rc > 0 && nfds == 3 && listenFd_ >= 0 && (fds[2].revents & POLLIN))
            acceptClient();
        if (lineFd_ >= 0 && fds[1].fd == lineFd_ && nfds >= 2 && rc > 0) {
            if (fds[1].revents & POLLOUT)
                writeBlocked_ = false;
            if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
                try {
                    handleInput(now);
                } catch (const std::exception& e) {
                    std::lock_guard lock(mutex_);
                    error_ = e.what();
                    failed = true;
                }
            }
        }
        if (!failed && lineFd_ >= 0) {
            events.clear();
            framer_.idle(now, events);
            handleFrames(events, now);
            try {
                sendDue(now);
            } catch (const std::exception& e) {
                std::lock_guard lock(mutex_);
                error_ = e.what();
                failed = true;
            }
        }
        {
            std::lock_guard lock(mutex_);
            std::size_t queued = 0;
            for (const Segment& s : queue_)
                queued += s.bytes.size();
            stats_.queuedBytes = queued;
            stats_.partialBytes = framer_.pending();
            changed_.notify_all();
        }
        for (const std::string& line : traceLines_)
            config_.trace(line);
        traceLines_.clear();
        if (failed)
            break;
    }
    for (const std::string& line : traceLines_)
        config_.trace(line);
    traceLines_.clear();
    std::lock_guard lock(mutex_);
    stats_.running = false;
    changed_.notify_all();
}

bool PtyServer::runCommand()
{
    Command cmd;
    {
        std::lock_guard lock(mutex_);
        cmd = command_;
        command_ = Command::None;
    }
    if (cmd == Command::None)
        return true;
    if (cmd == Command::Stop)
        return false;
    std::optional<std::string> failure;
    if (cmd == Command::Unplug) {
        closeLine();
        const std::uint64_t lost = dropQueuedAnswers();
        std::lock_guard lock(mutex_);
        stats_.discardedAnswers += lost;
        stats_.plugged = false;
    } else if (tcp() ? listenFd_ < 0 : lineFd_ < 0) {
        try {
            openLine();
        } catch (const std::exception& e) {
            failure = e.what();
        }
    }
    std::lock_guard lock(mutex_);
    if (cmd == Command::Replug) {
        commandError_ = failure;
        stats_.plugged = tcp() ? listenFd_ >= 0 : lineFd_ >= 0;
    }
    ++commandsDone_;
    changed_.notify_all();
    return true;
}

void PtyServer::handleInput(SimClock::time_point now)
{
    std::vector<FramerEvent> events;
    std::uint8_t buf[512];
    for (;;) {
        const ssize_t n = ::read(lineFd_, buf, sizeof buf);
        if (n > 0) {
            std::optional<SimClock::duration> quietAfter;
            {
                std::lock_guard lock(mutex_);
                stats_.bytesIn += static_cast<std::uint64_t>(n);
                if (lastAnswerId_ != 0) {
                    const SimClock::duration quiet = now - lastAnswerEnd_;
                    if (ServedAnswer* a = findAnswer(lastAnswerId_))
                        a->quietAfter = quiet;
                    stats_.shortestQuietAfter = std::min(stats_.shortestQuietAfter, quiet);
                    ++stats_.quietAfterCount;
                    lastAnswerId_ = 0;
                    quietAfter = quiet;
                }
            }
            if (quietAfter) {
                char text[64];
                std::snprintf(text, sizeof text, "quiet %.1f ms after the answer",
                              std::chrono::duration<double, std::milli>(*quietAfter).count());
                addTrace(text);
            }
            if (config_.echo) {
                echoes_.push_back({{buf, buf + n}, now + config_.echoDelay});
                sendEchoes(now);
            }
            framer_.push(std::span(buf, static_cast<std::size_t>(n)), now, events);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (n < 0 && errno == EINTR)
            continue;
        // A TCP client that went away: the next one is waited for.
        if (tcp()) {
            handleFrames(events, now);
            dropClient();
            return;
        }
        // End of file or an I/O error: the port has gone (a pty master keeps working while
        // our own open of the terminal side lasts).
        const std::string what = "read " + ttyPath() + ": " + (n == 0 ? "end of file" : std::strerror(errno));
        handleFrames(events, now);
        throw std::runtime_error(what);
    }
    handleFrames(events, now);
}

void PtyServer::handleFrames(std::vector<FramerEvent>& events, SimClock::time_point now)
{
    for (FramerEvent& ev : events) {
        if (ev.kind == FramerEvent::Kind::Dropped) {
            {
                std::lock_guard lock(mutex_);
                ++stats_.dropped;
            }
            addTrace("rx dropped " + hexBytes(ev.bytes));
            continue;
        }
        const std::uint8_t address = ev.bytes[0];
        std::optional<Reply> reply;
        {
            std::lock_guard lock(mutex_);
            ++stats_.requests[address];
            auto it = devices_.find(address);
            if (it != devices_.end())
                reply = it->second.handle(ev.bytes);
        }
        addTrace("rx " + hexBytes(ev.bytes) + (reply ? "" : "  (no answer)"));
        if (reply && !reply->bytes.empty())
            planAnswer(*reply, address, now);
    }
    events.clear();
}

void PtyServer::planAnswer(const Reply& reply, std::uint8_t address, SimClock::time_point now)
{
    std::size_t queued = 0;
    for (const Segment& s : queue_)
        queued += s.bytes.size();
    std::lock_guard lock(mutex_);
    if (queued + reply.bytes.size() > kMaxQueuedBytes) {
        ++stats_.discardedAnswers;
        return;
    }
    ServedAnswer served;
    served.id = nextAnswerId_++;
    served.address = address;
    served.function = reply.function;
    served.registers = reply.registers;
    served.sample = reply.sample;
    served.answerNumber = reply.answerNumber;
    served.logAnswerNumber = reply.logAnswerNumber;
    served.bytes = reply.bytes;
    served.requestAt = now;
    if (answers_.size() >= kAnswerLogSize)
        answers_.pop_front();
    answers_.push_back(served);

    // Deadlines are absolute, so the wire timing does not drift with scheduling delays.
    SimClock::time_point t =
        std::max(now + config_.turnaround + std::chrono::milliseconds(reply.lateMs), queueEnd_);
    const std::chrono::milliseconds gap(reply.splitBytes ? reply.splitGapMs : reply.chunkGapMs);
    std::size_t off = 0;
    unsigned piece = 0;
    for (const std::size_t len : replyPieces(reply)) {
        if (off != 0)
            t += gap;
        if (config_.pace) {
            for (std::size_t i = 0; i < len; ++i) {
                queue_.push_back({served.id, address, piece, {reply.bytes[off + i]}, t, false});
                t += kCharTime9600;
            }
        } else {
            queue_.push_back({served.id, address, piece,
                              std::vector<std::uint8_t>(reply.bytes.begin() + static_cast<std::ptrdiff_t>(off),
                                                        reply.bytes.begin() + static_cast<std::ptrdiff_t>(off + len)),
                              t, false});
        }
        off += len;
        ++piece;
    }
    queue_.back().last = true;
    queueEnd_ = t;
}

ServedAnswer* PtyServer::findAnswer(std::uint64_t id)
{
    for (auto it = answers_.rbegin(); it != answers_.rend(); ++it)
        if (it->id == id)
            return &*it;
    return nullptr;
}

void PtyServer::sendEchoes(SimClock::time_point now)
{
    while (!echoes_.empty() && echoes_.front().due <= now) {
        const std::vector<std::uint8_t>& b = echoes_.front().bytes;
        // A line too full to take it loses the echo only.
        [[maybe_unused]] const ssize_t e =
            tcp() ? ::send(lineFd_, b.data(), b.size(), MSG_NOSIGNAL) : ::write(lineFd_, b.data(), b.size());
        echoes_.pop_front();
    }
}

void PtyServer::sendDue(SimClock::time_point now)
{
    sendEchoes(now);
    while (!queue_.empty() && !writeBlocked_ && queue_.front().due <= now) {
        // Everything of one piece that is due goes out in one write.
        const std::uint64_t id = queue_.front().answerId;
        const unsigned piece = queue_.front().chunk;
        const std::uint8_t address = queue_.front().address;
        const SimClock::time_point due = queue_.front().due;
        std::vector<std::uint8_t> out;
        for (const Segment& s : queue_) {
            if (s.answerId != id || s.chunk != piece || s.due > now)
                break;
            out.insert(out.end(), s.bytes.begin(), s.bytes.end());
            if (s.last)
                break;
        }
        // The quiet time after an answer is counted from before its last write: a serving
        // thread held up after the write would otherwise shorten it.
        const SimClock::time_point writing = SimClock::now();
        const ssize_t n = tcp() ? ::send(lineFd_, out.data(), out.size(), MSG_NOSIGNAL)
                                : ::write(lineFd_, out.data(), out.size());
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                writeBlocked_ = true;
                return;
            }
            if (errno == EINTR)
                continue;
            if (tcp()) {
                dropClient();
                return;
            }
            throw std::runtime_error("write " + ttyPath() + ": " + std::strerror(errno));
        }
        const SimClock::time_point written = SimClock::now();
        std::size_t left = static_cast<std::size_t>(n);
        bool finished = false;
        while (left > 0) {
            Segment& s = queue_.front();
            if (left < s.bytes.size()) {
                s.bytes.erase(s.bytes.begin(), s.bytes.begin() + static_cast<std::ptrdiff_t>(left));
                break;
            }
            left -= s.bytes.size();
            finished = s.last;
            queue_.pop_front();
        }
        if (static_cast<std::size_t>(n) < out.size())
            writeBlocked_ = true;
        std::string traceLine;
        {
            std::lock_guard lock(mutex_);
            stats_.bytesOut += static_cast<std::uint64_t>(n);
            ServedAnswer* a = findAnswer(id);
            if (a) {
                a->writes.push_back({static_cast<std::size_t>(n), due, written});
                if (finished) {
                    a->complete = true;
                    traceLine = "tx " + hexBytes(a->bytes);
                }
            }
            if (finished) {
                ++stats_.answers[address];
                lastAnswerId_ = id;
                lastAnswerEnd_ = writing;
            }
            changed_.notify_all();
        }
        if (!traceLine.empty())
            addTrace(std::move(traceLine));
        if (finished && tcp() && config_.dropAfterAnswers != 0 && ++answersOnConnection_ >= config_.dropAfterAnswers) {
            addTrace("connection dropped after " + std::to_string(answersOnConnection_) + " answers");
            dropClient();
            std::lock_guard lock(mutex_);
            ++stats_.droppedConnections;
            changed_.notify_all();
            return;
        }
    }
}

std::uint64_t PtyServer::dropQueuedAnswers()
{
    const auto lost = static_cast<std::uint64_t>(
        std::count_if(queue_.begin(), queue_.end(), [](const Segment& s) { return s.last; }));
    queue_.clear();
    echoes_.clear();
    queueEnd_ = {};
    framer_.reset();
    return lost;
}

}  // namespace grafimo::sim
