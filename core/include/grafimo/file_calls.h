#pragma once
// The system calls behind the configuration file and the files replaced whole (exports),
// in one place, so that tests can hand them a full disk, a refused directory or a file of
// another owner without needing root.

#include <sys/stat.h>
#include <sys/types.h>

namespace grafimo {

struct FileCalls {
    virtual ~FileCalls();
    virtual int open(const char* path, int flags, mode_t mode);
    virtual int stat(const char* path, struct stat* st);
    virtual int lstat(const char* path, struct stat* st);
    virtual int fstat(int fd, struct stat* st);
    virtual ssize_t readlink(const char* path, char* buf, size_t size);
    virtual ssize_t write(int fd, const void* buf, size_t count);
    virtual ssize_t pwrite(int fd, const void* buf, size_t count, off_t offset);
    // fallocate(2) with mode 0, giving the error number, 0 on success; EOPNOTSUPP where
    // the file system cannot reserve space.
    virtual int fallocate(int fd, off_t offset, off_t length);
    virtual int ftruncate(int fd, off_t length);
    virtual int fsync(int fd);
    virtual int fchmod(int fd, mode_t mode);
    virtual int fchown(int fd, uid_t owner, gid_t group);
    virtual int rename(const char* from, const char* to);
    virtual int unlink(const char* path);
};

// The calls in use: the system's own unless a test has put others in place.
FileCalls& fileCalls();

// Puts `calls` in place for its lifetime (tests; set before any file is touched).
class ScopedFileCalls {
public:
    explicit ScopedFileCalls(FileCalls& calls);
    ~ScopedFileCalls();
    ScopedFileCalls(const ScopedFileCalls&) = delete;
    ScopedFileCalls& operator=(const ScopedFileCalls&) = delete;

private:
    FileCalls* previous_;
};

} // namespace grafimo
