#pragma once
// A private directory under $TMPDIR (or /tmp, or a given folder), removed with everything
// in it at the end.

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

namespace grafimo::test {

class TempDir {
public:
    explicit TempDir(const std::string& prefix = "grafimo") : TempDir(prefix, defaultBase()) {}
    TempDir(const std::string& prefix, const std::filesystem::path& base)
    {
        std::string tmpl = (base / (prefix + "-XXXXXX")).string();
        if (!::mkdtemp(tmpl.data()))
            throw std::runtime_error("mkdtemp failed for " + tmpl);
        path_ = tmpl;
    }
    ~TempDir()
    {
        std::error_code ec;
        // A test may have taken the write bit away to provoke a failure.
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const noexcept { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    static std::filesystem::path defaultBase()
    {
        const char* base = std::getenv("TMPDIR");
        return base && *base ? base : "/tmp";
    }

    std::filesystem::path path_;
};

}  // namespace grafimo::test
