#pragma once
// The file calls of the configuration file and the exports with faults on demand: a full
// disk, a folder that takes no new file, owners and groups of another user, a refused chown,
// a file that cannot be put in place.

#include "grafimo/file_calls.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

namespace grafimo::test {

class FakeFileCalls : public FileCalls {
public:
    bool diskFull = false;     // no file may grow: a write takes what fits in its present length
    bool refuseCreate = false; // a new file cannot be made (EACCES)
    std::map<std::string, uid_t> owners; // stat/lstat of these paths report this owner
    std::map<std::string, gid_t> groups; // ... and this group
    int fchownErrno = 0;
    std::vector<gid_t> groupsGiven; // the groups fchown was asked to give
    std::string refusedName;        // a finished file whose name begins so cannot take its place (EACCES)

    int open(const char* path, int flags, mode_t mode) override
    {
        return refuseCreate && (flags & O_CREAT) ? fail(EACCES) : FileCalls::open(path, flags, mode);
    }
    int stat(const char* path, struct stat* st) override { return seen(path, FileCalls::stat(path, st), st); }
    int lstat(const char* path, struct stat* st) override { return seen(path, FileCalls::lstat(path, st), st); }
    ssize_t write(int fd, const void* buf, size_t count) override
    {
        const size_t n = room(fd, ::lseek(fd, 0, SEEK_CUR), count);
        return n == 0 && count > 0 ? fail(ENOSPC) : FileCalls::write(fd, buf, n);
    }
    ssize_t pwrite(int fd, const void* buf, size_t count, off_t offset) override
    {
        const size_t n = room(fd, offset, count);
        return n == 0 && count > 0 ? fail(ENOSPC) : FileCalls::pwrite(fd, buf, n, offset);
    }
    int fallocate(int fd, off_t offset, off_t length) override
    {
        return diskFull && offset + length > sizeOf(fd) ? ENOSPC : FileCalls::fallocate(fd, offset, length);
    }
    int rename(const char* from, const char* to) override
    {
        const std::string name = std::filesystem::path(to).filename().string();
        return !refusedName.empty() && name.starts_with(refusedName) ? fail(EACCES) : FileCalls::rename(from, to);
    }
    int fchown(int, uid_t, gid_t group) override
    {
        groupsGiven.push_back(group);
        return fchownErrno ? fail(fchownErrno) : 0;
    }

private:
    static int fail(int err) { return errno = err, -1; }
    static off_t sizeOf(int fd)
    {
        struct stat st {};
        return ::fstat(fd, &st) == 0 ? st.st_size : 0;
    }
    int seen(const char* path, int r, struct stat* st)
    {
        if (const auto o = owners.find(path); r == 0 && o != owners.end())
            st->st_uid = o->second;
        if (const auto g = groups.find(path); r == 0 && g != groups.end())
            st->st_gid = g->second;
        return r;
    }
    size_t room(int fd, off_t offset, size_t count) const
    {
        return diskFull ? static_cast<size_t>(std::clamp<off_t>(sizeOf(fd) - offset, 0, static_cast<off_t>(count))) : count;
    }
};

} // namespace grafimo::test
