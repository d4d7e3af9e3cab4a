// The working folder of a desktop start, and the one-copy-per-folder lock.

#include "grafimo/platform/work_dir.h"
#include "grafimo_test/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace grafimo {
namespace {

namespace fs = std::filesystem;
using platform::InstanceLock;
using TempFolder = grafimo::test::TempDir;

// Sets or clears an environment variable for one test and puts it back afterwards.
class EnvVar {
public:
    EnvVar(const char* name, const char* value) : name_(name)
    {
        if (const char* old = std::getenv(name))
            old_ = old;
        value ? ::setenv(name, value, 1) : ::unsetenv(name);
    }
    ~EnvVar() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }

private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(WorkDir, DesktopDataFolderFollowsXdgDataHome)
{
    struct Case {
        const char* dataHome;
        const char* home;
        std::optional<fs::path> expected;
    };
    const std::vector<Case> cases = {
        {"/data/x", "/home/u", fs::path("/data/x/grafimo485")},
        {nullptr, "/home/u", fs::path("/home/u/.local/share/grafimo485")},
        // A relative XDG_DATA_HOME is to be ignored.
        {"relative", "/home/u", fs::path("/home/u/.local/share/grafimo485")},
        {"", "/home/u", fs::path("/home/u/.local/share/grafimo485")},
        {nullptr, nullptr, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.dataHome ? c.dataHome : "(unset)") + " " + (c.home ? c.home : "(unset)"));
        EnvVar data("XDG_DATA_HOME", c.dataHome);
        EnvVar home("HOME", c.home);
        std::string error;
        const auto dir = platform::desktopDataDir(&error);
        EXPECT_EQ(dir, c.expected);
        EXPECT_EQ(error.empty(), c.expected.has_value()) << error;
    }
}

TEST(WorkDir, EnteringCreatesTheFolderOnlyWhenAsked)
{
    TempFolder tmp;
    const fs::path before = fs::current_path();
    const fs::path target = tmp.path() / "share" / "grafimo485";
    std::string error;
    EXPECT_FALSE(platform::enterDirectory(target, false, &error));
    EXPECT_NE(error.find(target.string()), std::string::npos);
    EXPECT_EQ(fs::current_path(), before);

    ASSERT_TRUE(platform::enterDirectory(target, true, &error)) << error;
    EXPECT_EQ(fs::current_path(), fs::canonical(target));
    struct stat st {};
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    // A second start finds it and keeps what is there.
    std::FILE* f = std::fopen("grafimo.cfg", "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    ASSERT_TRUE(platform::enterDirectory(target, true, &error)) << error;
    EXPECT_TRUE(fs::exists(target / "grafimo.cfg"));
    fs::current_path(before);
}

TEST(InstanceLockTest, OneHolderPerFileAndFreedWithIt)
{
    TempFolder a;
    TempFolder b;
    const fs::path fileA = platform::instanceLockFile(a.path());
    const fs::path fileB = platform::instanceLockFile(b.path());
    EXPECT_EQ(fileA.parent_path(), a.path());
    {
        InstanceLock first(fileA);
        ASSERT_EQ(first.state(), InstanceLock::State::Acquired) << first.error();
        InstanceLock second(fileA);
        EXPECT_EQ(second.state(), InstanceLock::State::HeldElsewhere);
        EXPECT_EQ(second.holderPid(), static_cast<long>(::getpid()));
        // A number left in the file by someone else is not trusted: pid 1 runs another
        // program, and a number of no process at all names nobody.
        for (const char* written : {"1\n", "999999999\n", "junk\n", ""}) {
            std::FILE* f = std::fopen(fileA.c_str(), "w");
            ASSERT_NE(f, nullptr);
            std::fputs(written, f);
            std::fclose(f);
            InstanceLock third(fileA);
            EXPECT_EQ(third.state(), InstanceLock::State::HeldElsewhere) << written;
            EXPECT_EQ(third.holderPid(), 0) << written;
        }
        // Another folder is independent.
        InstanceLock other(fileB);
        EXPECT_EQ(other.state(), InstanceLock::State::Acquired) << other.error();
    }
    InstanceLock again(fileA);
    EXPECT_EQ(again.state(), InstanceLock::State::Acquired);

    InstanceLock nowhere(a.path() / "missing" / "instance.lock");
    EXPECT_EQ(nowhere.state(), InstanceLock::State::Failed);
    EXPECT_FALSE(nowhere.error().empty());
}

} // namespace
} // namespace grafimo
