#pragma once
// The one serial port of the system: opened exclusively, 9600 baud 8N1 raw, no flow
// control, a USB adapter in low-latency mode where its driver allows; written by the
// sender of the moment, read by the receive thread, and closable from the GUI thread while
// both are inside a call.

#include "grafimo/link.h"
#include "grafimo/platform/sys_io.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>

namespace grafimo::platform {

class SerialPort {
public:
    // The step at which an open failed; each maps to its status-bar text.
    enum class OpenStep { Ok, OpenFailed, GetAttrFailed, SetAttrFailed, TimeoutsFailed };
    // What ended a wait for received bytes.
    enum class Wait { Data, Closed, Lost, Interrupted };

    explicit SerialPort(SysIo& io = realSysIo());
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Opens and configures the named device; closes a port that was open before. On any
    // failure the port is left closed and the step is returned.
    OpenStep open(const std::string& path);
    // Status-bar text of a failed step; nullptr for Ok.
    static const char* statusText(OpenStep step);
    // Takes over a connected socket to a gateway that passes the bus's bytes through (see
    // tcp_link.h) and carries the bus on it under `name`; closes a port that was open
    // before. Everything below then works on the socket as on a device; the end of the
    // connection reads as the device going away. Fails only when the port's own wake-up
    // pipes cannot be made (the socket is closed then).
    OpenStep openStream(int socketFd, const std::string& name);
    // errno of the last open() that failed at OpenFailed: EACCES/EPERM when the user may
    // not open the device, EBUSY or EWOULDBLOCK when another program holds it (the
    // exclusive lock); 0 after a successful open or a failure at a later step.
    int openErrno() const;

    // False once close() has begun.
    bool isOpen() const;
    // A frame could not be written: the tty or socket is gone. The receive thread's wait
    // then ends with Lost, so the port takes the same way as a hang-up. Until the next open.
    bool isLost() const;
    // Name given to the last successful open(); for the thread that opens and closes.
    const std::string& path() const;

    // Sends every byte and returns when they are on the line (false when the port is
    // closed or closing, on an I/O error, or when the output queue stays full for the
    // whole write time-out). Never waits without a bound. A failure other than the close
    // marks the port lost (isLost()).
    bool writeFrame(std::span<const std::uint8_t> frame);
    // The same write, seen as the frame writer of an exchange; the conversion lets a
    // port be handed to exchange() directly.
    FrameWriter& writer() { return writer_; }
    operator FrameWriter&() { return writer_; }

    // Sleeps until bytes are queued (Data), the port is being closed (Closed), the
    // device went away: hang-up or error on the line (Lost), or interruptWait() was
    // called (Interrupted).
    Wait waitReadable();
    // Makes the current waitReadable(), or the next one if none is waiting, return
    // Interrupted; lets the receive thread reach its next pause or end point at once.
    void interruptWait();
    // Sleeps for `time` without looking at the line: Data when it has passed, otherwise
    // what ended it early (Closed, Lost, Interrupted as for waitReadable()).
    Wait pauseFor(std::chrono::microseconds time);
    // Bytes waiting in the driver's input queue (0 when unknown or closed).
    std::size_t bytesQueued();
    // Reads at most `max` queued bytes without waiting: the count (0 when none are
    // queued), or -1 when the port is closed or the device reported an error.
    long read(std::uint8_t* buffer, std::size_t max);

    // Wakes any thread waiting in waitReadable()/writeFrame(), waits until no thread is
    // inside a call on the port, then closes it. Safe from any thread; idempotent.
    void close();

    // Upper bound of one writeFrame() for `bytes` bytes at 9600 baud.
    static std::chrono::milliseconds writeTimeout(std::size_t bytes);

private:
    class Use;
    class PortWriter final : public FrameWriter {
    public:
        explicit PortWriter(SerialPort& port) : port_(port) {}
        bool writeFrame(std::span<const std::uint8_t> frame) override { return port_.writeFrame(frame); }
    private:
        SerialPort& port_;
    };

    struct Fds {
        int port = -1;
        int closing = -1; // readable once close() has begun; never drained
        int kick = -1;    // readable after interruptWait(); drained by the waiter
        bool stream = false;
    };
    bool enter(Fds& fds);
    void leave();
    void releaseFd(int fd, bool exclusive);
    // Takes the line and its two wake-up pipes as the port's own (mutex_ held).
    void adoptLocked(int fd, const int wake[2], const int kick[2], const std::string& name, bool stream);
    // Low-latency mode of a USB adapter: asked for on open (true when this open set it),
    // given back on close.
    bool askLowLatency(int fd);
    void dropLowLatency(int fd);
    void dropQueuedInput(int fd);
    // A write failed while the port was not being closed.
    void markLost();
    // After an interrupt: Lost when the port was marked lost, else Interrupted (drains the pipe).
    Wait afterKick(int kickFd);

    SysIo& io_;
    PortWriter writer_{*this};
    mutable std::mutex mutex_;
    std::condition_variable idleCv_; // users_ dropped to 0, or a close finished
    int fd_ = -1;
    bool exclusive_ = false; // this descriptor set TIOCEXCL
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    int kickRead_ = -1;
    int kickWrite_ = -1;
    int users_ = 0;
    bool closing_ = false;
    bool lowLatencySet_ = false;
    std::string path_;
    int openErrno_ = 0;
    bool stream_ = false; // a gateway's socket rather than a terminal
    bool lost_ = false;   // a write failed: see isLost()
};

} // namespace grafimo::platform
