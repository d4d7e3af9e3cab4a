#include "grafimo/file_calls.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace grafimo {

FileCalls::~FileCalls() = default;

int FileCalls::open(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int FileCalls::stat(const char* path, struct stat* st) { return ::stat(path, st); }
int FileCalls::lstat(const char* path, struct stat* st) { return ::lstat(path, st); }
int FileCalls::fstat(int fd, struct stat* st) { return ::fstat(fd, st); }
ssize_t FileCalls::readlink(const char* path, char* buf, size_t size) { return ::readlink(path, buf, size); }
ssize_t FileCalls::write(int fd, const void* buf, size_t count) { return ::write(fd, buf, count); }
ssize_t FileCalls::pwrite(int fd, const void* buf, size_t count, off_t offset)
{
    return ::pwrite(fd, buf, count, offset);
}
// The system call itself, never posix_fallocate: where the file system cannot reserve
// space (NFSv3, many FUSE and CIFS mounts) the C library's stand-in reads the file, which a
// descriptor open for writing only refuses (EBADF). The caller writes as before instead.
int FileCalls::fallocate(int fd, off_t offset, off_t length)
{
    int r;
    do {
        r = ::fallocate(fd, 0, offset, length);
    } while (r != 0 && errno == EINTR);
    return r == 0 ? 0 : errno;
}
int FileCalls::ftruncate(int fd, off_t length) { return ::ftruncate(fd, length); }
int FileCalls::fsync(int fd) { return ::fsync(fd); }
int FileCalls::fchmod(int fd, mode_t mode) { return ::fchmod(fd, mode); }
int FileCalls::fchown(int fd, uid_t owner, gid_t group) { return ::fchown(fd, owner, group); }
int FileCalls::rename(const char* from, const char* to) { return ::rename(from, to); }
int FileCalls::unlink(const char* path) { return ::unlink(path); }

namespace {
FileCalls systemCalls;
std::atomic<FileCalls*> current{&systemCalls};
} // namespace

FileCalls& fileCalls() { return *current.load(std::memory_order_acquire); }

ScopedFileCalls::ScopedFileCalls(FileCalls& calls) : previous_(current.exchange(&calls)) {}
ScopedFileCalls::~ScopedFileCalls() { current.store(previous_); }

} // namespace grafimo
