#pragma once
// Every system call made on the serial port goes through this one interface, so that
// tests can hand the port interrupted calls, short transfers, hang-ups and I/O errors.
// (The port's private wake-up pipe is plain plumbing and uses the calls directly; it
// does appear in the poll() set, next to the port.)

#include <cstddef>
#include <poll.h>
#include <sys/types.h>
#include <termios.h>

namespace grafimo::platform {

struct SysIo {
    virtual ~SysIo();
    virtual int open(const char* path, int flags);
    virtual int close(int fd);
    virtual ssize_t read(int fd, void* buf, size_t count);
    virtual ssize_t write(int fd, const void* buf, size_t count);
    virtual int poll(pollfd* fds, nfds_t nfds, int timeoutMs);
    virtual int tcgetattr(int fd, termios* t);
    virtual int tcsetattr(int fd, int action, const termios* t);
    virtual int tcdrain(int fd);
    virtual int tcflush(int fd, int queue);
    virtual int ioctl(int fd, unsigned long request, void* arg);
    virtual int flock(int fd, int operation);
    // A gateway's socket is written with send(MSG_NOSIGNAL): a connection the peer reset
    // must fail the write, not raise SIGPIPE.
    virtual ssize_t send(int fd, const void* buf, size_t count, int flags);
};

// The calls as the operating system makes them.
SysIo& realSysIo();

} // namespace grafimo::platform
