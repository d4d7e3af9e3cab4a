#include "grafimo/platform/sys_io.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace grafimo::platform {

SysIo::~SysIo() = default;

int SysIo::open(const char* path, int flags) { return ::open(path, flags); }
int SysIo::close(int fd) { return ::close(fd); }
ssize_t SysIo::read(int fd, void* buf, size_t count) { return ::read(fd, buf, count); }
ssize_t SysIo::write(int fd, const void* buf, size_t count) { return ::write(fd, buf, count); }
int SysIo::poll(pollfd* fds, nfds_t nfds, int timeoutMs) { return ::poll(fds, nfds, timeoutMs); }
int SysIo::tcgetattr(int fd, termios* t) { return ::tcgetattr(fd, t); }
int SysIo::tcsetattr(int fd, int action, const termios* t) { return ::tcsetattr(fd, action, t); }
int SysIo::tcdrain(int fd) { return ::tcdrain(fd); }
int SysIo::tcflush(int fd, int queue) { return ::tcflush(fd, queue); }
int SysIo::ioctl(int fd, unsigned long request, void* arg) { return ::ioctl(fd, request, arg); }
int SysIo::flock(int fd, int operation) { return ::flock(fd, operation); }
ssize_t SysIo::send(int fd, const void* buf, size_t count, int flags) { return ::send(fd, buf, count, flags); }

SysIo& realSysIo()
{
    static SysIo io;
    return io;
}

} // namespace grafimo::platform
