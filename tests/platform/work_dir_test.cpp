// The working folder of a desktop start, and the one-copy-per-folder lock.

#include "grafimo/platform/work_dir.h"
#include "grafimo_test/env_var.h"
#include "grafimo_test/temp_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <thread>
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

using test::EnvVar;

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

platform::PrivateDir heldOpen(const fs::path& dir)
{
    return platform::PrivateDir(dir, ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

// Whether `holder` answers a later start's request within the guard; it brings its window
// forward once for it.
bool answersRequest(InstanceLock& holder, const InstanceLock& later)
{
    std::atomic<bool> answered{false};
    std::thread asker([&] { answered = later.askHolderForward(std::chrono::seconds(20)); });
    pollfd p{holder.requestFd(), POLLIN, 0};
    int forward = 0;
    if (::poll(&p, 1, 20000) == 1)
        holder.answerRequests([&] { ++forward; });
    asker.join();
    return answered && forward == 1;
}

TEST(InstanceLockTest, OneHolderPerFolderFreedWithItAndAskedForwardThroughItsDirectory)
{
    TempFolder a;
    TempFolder b;
    const auto dirA = heldOpen(a.path());
    const auto dirB = heldOpen(b.path());
    {
        InstanceLock first(dirA);
        ASSERT_EQ(first.state(), InstanceLock::State::Acquired) << first.error();
        ASSERT_GE(first.requestFd(), 0);
        InstanceLock second(dirA);
        EXPECT_EQ(second.state(), InstanceLock::State::HeldElsewhere);
        EXPECT_TRUE(answersRequest(first, second));
        // A holder that does not answer leaves the later start without an answer.
        EXPECT_FALSE(second.askHolderForward(std::chrono::milliseconds(50)));
        // Another folder is independent.
        InstanceLock other(dirB);
        EXPECT_EQ(other.state(), InstanceLock::State::Acquired) << other.error();
    }
    // The socket goes with its holder; a new one takes the folder and answers in its turn.
    EXPECT_FALSE(fs::exists(a.path() / "instance.sock"));
    InstanceLock again(dirA);
    ASSERT_EQ(again.state(), InstanceLock::State::Acquired);
    EXPECT_TRUE(answersRequest(again, InstanceLock(dirA)));

    // The lock goes into the directory that was checked, through its descriptor, even when
    // a link has been put in its place since.
    TempFolder d, elsewhere;
    const fs::path checked = d.path() / "key";
    fs::create_directory(checked);
    const auto held = heldOpen(checked);
    fs::rename(checked, d.path() / "moved");
    fs::create_directory_symlink(elsewhere.path(), checked);
    EXPECT_EQ(InstanceLock(held).state(), InstanceLock::State::Acquired);
    EXPECT_TRUE(fs::exists(d.path() / "moved" / "instance.lock"));
    EXPECT_TRUE(fs::is_empty(elsewhere.path()));

    // A lock file that cannot be opened is a failure, not a lock.
    TempFolder c;
    fs::create_directory(c.path() / "instance.lock");
    InstanceLock blocked(heldOpen(c.path()));
    EXPECT_EQ(blocked.state(), InstanceLock::State::Failed);
    EXPECT_EQ(blocked.fault().error, EISDIR);
    EXPECT_NE(blocked.error().find("instance.lock"), std::string::npos) << blocked.error();
}

} // namespace
} // namespace grafimo
