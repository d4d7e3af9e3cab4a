// The private history directory: on disk under the state folder; only the program's own levels are made, checked and kept
// private; the base it goes in is used as it is (a link to a directory included); one
// directory per working folder.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

#include "grafimo/platform/dirs.h"
#include "grafimo_test/env_var.h"
#include "grafimo_test/history_dir_rule.h"
#include "grafimo_test/temp_dir.h"

namespace fs = std::filesystem;
using grafimo::platform::historyDirUnder;
using grafimo::test::EnvVar;
using grafimo::test::historyDirByRule;

namespace {

mode_t modeOf(const fs::path& p)
{
    struct stat st {};
    return ::lstat(p.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

} // namespace

TEST(HistoryDirectory, BaseIsUsedAsItIsAndOnlyOwnLevelsArePrivate)
{
    grafimo::test::TempDir tmp;
    const fs::path real = tmp.path() / "cache";
    fs::create_directory(real);
    ::chmod(real.c_str(), 0755);
    const fs::path link = tmp.path() / "cache-link";
    fs::create_directory_symlink(real, link);
    const fs::path work = tmp.path() / "work";
    fs::create_directory(work);

    struct Case {
        const char* name;
        fs::path base;
    };
    for (const Case& c : {Case{"a directory", real}, Case{"a link to a directory", link}}) {
        std::string error;
        const auto dir = historyDirUnder(c.base, work, &error);
        ASSERT_TRUE(dir) << c.name << ": " << error;
        EXPECT_EQ(*dir, historyDirByRule(c.base, work)) << c.name;
        EXPECT_EQ(modeOf(real), 0755u) << c.name << ": the base is not ours to change";
        EXPECT_TRUE(fs::is_symlink(link)) << c.name;
        EXPECT_EQ(modeOf(real / "grafimo485"), 0700u) << c.name;
        EXPECT_EQ(modeOf(historyDirByRule(real, work)), 0700u) << c.name;
    }
}

TEST(HistoryDirectory, OwnLevelsThatAreNotPrivateDirectoriesAreTightenedOrRefused)
{
    grafimo::test::TempDir tmp;
    const fs::path work = tmp.path() / "work";
    fs::create_directory(work);

    // Ours but open to others: made private again.
    const fs::path loose = tmp.path() / "loose";
    fs::create_directories(loose / "grafimo485");
    ::chmod((loose / "grafimo485").c_str(), 0777);
    EXPECT_TRUE(historyDirUnder(loose, work));
    EXPECT_EQ(modeOf(loose / "grafimo485"), 0700u);

    // A link where the program's own directory should be is never followed.
    const fs::path linked = tmp.path() / "linked";
    fs::create_directory(linked);
    fs::create_directory(tmp.path() / "elsewhere");
    fs::create_directory_symlink(tmp.path() / "elsewhere", linked / "grafimo485");
    std::string error;
    EXPECT_FALSE(historyDirUnder(linked, work, &error));
    EXPECT_NE(error.find("grafimo485"), std::string::npos) << error;

    // A base that is a file.
    const fs::path file = tmp.path() / "file";
    std::FILE* f = std::fopen(file.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    EXPECT_FALSE(historyDirUnder(file, work, &error));
}

TEST(HistoryDirectory, OneDirectoryPerWorkingFolder)
{
    grafimo::test::TempDir tmp;
    fs::create_directory(tmp.path() / "a");
    fs::create_directory(tmp.path() / "b");
    const auto a = historyDirUnder(tmp.path(), tmp.path() / "a");
    const auto b = historyDirUnder(tmp.path(), tmp.path() / "b");
    const auto again = historyDirUnder(tmp.path(), tmp.path() / "a" / ".." / "a");
    ASSERT_TRUE(a && b && again);
    EXPECT_NE(*a, *b);
    EXPECT_EQ(*a, *again);
}

TEST(HistoryDirectory, LivesOnDiskUnderTheStateFolderNeverUnderTheRuntimeOne)
{
    grafimo::test::TempDir tmp;
    const fs::path home = tmp.path() / "home", state = tmp.path() / "state", run = tmp.path() / "run";
    fs::create_directories(run);
    EnvVar homeVar("HOME", home.c_str()), runVar("XDG_RUNTIME_DIR", run.c_str());
    // XDG_STATE_HOME when absolute, else ~/.local/state; made when missing.
    for (const auto& [value, base] : {std::pair{state.c_str(), state}, {nullptr, home / ".local/state"},
                                      {"relative", home / ".local/state"}}) {
        EnvVar stateVar("XDG_STATE_HOME", value);
        std::string error;
        const auto dir = grafimo::platform::historyDir(&error);
        EXPECT_EQ(dir, historyDirByRule(base, fs::current_path())) << error;
        for (const fs::path& level : {base, base / "grafimo485", historyDirByRule(base, fs::current_path())})
            EXPECT_EQ(modeOf(level), 0700u) << level;
        EXPECT_TRUE(fs::is_empty(run));
        fs::remove_all(base);
    }
}
