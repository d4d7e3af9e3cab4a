#pragma once
// Replacing a file whole: the new content goes to a temporary file beside it and takes the
// old one's place (with its permission bits and group) only once complete and on disk, so
// a failure at any step leaves the old file as it was and no stray temporary file.
#include <filesystem>
#include <optional>
#include <string>

#include "grafimo/file_fault.h"
#include "posix_file.h"

namespace grafimo::detail {

// "what path: reason".
std::string errnoText(const std::string& what, const std::filesystem::path& p, int err);

// Every temporary file of a replacement starts with this, whatever the file it replaces:
// ".grafimo485.tmp.<pid>.<n>". Those of a process that no longer runs are removed.
inline constexpr const char* kTemporaryPrefix = ".grafimo485.tmp.";

// The file a path names, links followed the way the kernel's protected-symlink rule does:
// a link is followed only when it belongs to this user or to the owner of the folder it
// stands in. A link planted by anyone else (in /tmp, say) is refused: nullopt with `fault`.
std::optional<std::filesystem::path> followLinks(const std::filesystem::path& file, FileFault& fault);

class ReplacingFile {
public:
    ReplacingFile() = default;
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;
    ~ReplacingFile() { discard(); }

    // Creates the temporary file for `file`; errors name `file`.
    bool open(const std::filesystem::path& file, std::string& error);
    bool write(const void* bytes, std::size_t size, std::string& error);
    // Group and permission bits of the old file, sync, rename over it, sync of the directory.
    bool commit(std::string& error);
    // Drops the temporary file (also done by the destructor unless committed).
    void discard();
    // The step that failed last.
    const FileFault& fault() const { return fault_; }
    int lastError() const { return fault_.error; }

private:
    bool failed(FileFault::Step step, int err, std::string& error);

    std::filesystem::path target_;
    std::filesystem::path dir_;
    std::filesystem::path temp_;
    Fd fd_;
    bool existed_ = false;
    FileFault fault_;
    mode_t mode_ = 0666;
    gid_t group_ = 0;
};

} // namespace grafimo::detail
