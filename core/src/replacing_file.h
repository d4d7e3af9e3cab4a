#pragma once
// Replacing a file whole: the new content goes to a temporary file beside it and takes the
// old one's place (with its permission bits) only once complete and on disk, so a failure
// at any step leaves the old file as it was and no stray temporary file.
#include <filesystem>
#include <string>

#include "posix_file.h"

namespace grafimo::detail {

// "what path: reason".
std::string errnoText(const std::string& what, const std::filesystem::path& p, int err);

// The file a path names; a symbolic link stays a link, so the file it points to is the
// one replaced.
std::filesystem::path resolveLink(const std::filesystem::path& file);

class ReplacingFile {
public:
    ReplacingFile() = default;
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;
    ~ReplacingFile() { discard(); }

    // Creates the temporary file for `file`; errors name `file`.
    bool open(const std::filesystem::path& file, std::string& error);
    bool write(const void* bytes, std::size_t size, std::string& error);
    // Permission bits of the old file, sync, rename over it, sync of the directory.
    bool commit(std::string& error);
    // Drops the temporary file (also done by the destructor unless committed).
    void discard();
    // errno of the last step that failed.
    int lastError() const { return lastError_; }

private:
    bool failed(const char* what, std::string& error);

    std::filesystem::path target_;
    std::filesystem::path dir_;
    std::filesystem::path temp_;
    Fd fd_;
    bool existed_ = false;
    int lastError_ = 0;
    mode_t mode_ = 0666;
};

} // namespace grafimo::detail
