// The private history directory: only the program's own levels are made, checked and kept
// private; the base it goes in is used as it is (a link to a directory included); one
// directory per working folder.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

#include "grafimo/platform/dirs.h"
#include "grafimo_test/temp_dir.h"

namespace fs = std::filesystem;
using grafimo::platform::historyDirUnder;

namespace {

mode_t modeOf(const fs::path& p)
{
    struct stat st {};
    return ::lstat(p.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// The key of a working folder, written out here: FNV-1a over its absolute path, 16 hex digits.
std::string key(const fs::path& dir)
{
    std::uint64_t h = 14695981039346656037ull;
    for (unsigned char c : fs::weakly_canonical(dir).string()) {
        h ^= c;
        h *= 1099511628211ull;
    }
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
    return buf;
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
        EXPECT_EQ(*dir, c.base / "grafimo485" / key(work) / "") << c.name;
        EXPECT_EQ(modeOf(real), 0755u) << c.name << ": the base is not ours to change";
        EXPECT_TRUE(fs::is_symlink(link)) << c.name;
        EXPECT_EQ(modeOf(real / "grafimo485"), 0700u) << c.name;
        EXPECT_EQ(modeOf(real / "grafimo485" / key(work)), 0700u) << c.name;
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
