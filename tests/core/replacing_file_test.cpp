// Files replaced whole (grafimo.cfg and the exports) in the places where that can go wrong:
// a link another user planted, a full disk, a shared file's group, a killed export.

#include "grafimo/config_file.h"
#include "grafimo/export_text.h"
#include "grafimo_test/fake_file_calls.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace grafimo;
using grafimo::testing::Bytes;
using grafimo::testing::readBytes;
using grafimo::testing::TempDir;
using grafimo::testing::writeBytes;
namespace fs = std::filesystem;

namespace {

const Bytes kOld = [] {
    Bytes b(kConfigHeaderSize + 3, 0);
    b[kConfigHeaderSize] = 1;
    b[kConfigHeaderSize + 1] = 1;
    b[kConfigHeaderSize + 2] = 'a';
    return b;
}();
const DeviceRecord kLonger[] = {{2, "bbbbbbbb"}, {3, "cccccccc"}};
const HistoryRecord kRecords[] = {{1.5f, 2.5f, 45000.5}};

// The two writers that replace a file, each reporting the step that failed.
struct Writer {
    const char* name;
    std::function<FileFault(const fs::path&)> write;
};
const Writer kWriters[] = {
    {"grafimo.cfg", [](const fs::path& p) { return writeDeviceRecords(p, kLonger).fault; }},
    {"export", [](const fs::path& p) { return exportRecordsText(p, kRecords, russianFormats()).fault; }},
};

std::vector<std::string> namesIn(const fs::path& dir)
{
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(ReplacingFile, ALinkInASharedFolderIsFollowedOnlyWhenTheUserOrTheFolderOwnerMadeIt)
{
    const uid_t me = ::geteuid(), other = me + 1001, folderOwner = me + 1002;
    struct Case {
        const char* name;
        uid_t linkOwner, dirOwner;
        bool followed;
    };
    const Case cases[] = {
        {"planted by another user in a sticky folder", other, folderOwner, false},
        {"the folder owner's own link", other, other, true},
        {"the user's own link", me, folderOwner, true},
    };
    for (const Writer& w : kWriters) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(w.name) + ": " + c.name);
            TempDir tmp;
            const fs::path shared = tmp / "shared", victim = tmp / "victim";
            fs::create_directory(shared);
            ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
            writeBytes(victim, kOld);
            const fs::path link = shared / "Котёл 09_12_2026 10_15.txt";
            fs::create_symlink(victim, link);
            test::FakeFileCalls calls;
            calls.owners = {{link.string(), c.linkOwner}, {shared.string(), c.dirOwner}};
            ScopedFileCalls use(calls);

            const FileFault fault = w.write(link);
            EXPECT_TRUE(fs::is_symlink(link));
            EXPECT_EQ(namesIn(shared), std::vector<std::string>{link.filename().string()}) << "a temporary is left";
            if (c.followed) {
                EXPECT_FALSE(fault) << describe(fault);
                EXPECT_NE(readBytes(victim), kOld);
            } else {
                EXPECT_EQ(fault.step, FileFault::Step::ForeignLink) << describe(fault);
                EXPECT_EQ(fault.file, link);
                EXPECT_EQ(readBytes(victim), kOld);
            }
        }
    }
}

TEST(ReplacingFile, AFullDiskLeavesTheOldFileAsItWas)
{
    // Replaced through a temporary file, or rewritten where it is when its folder takes no
    // new file: either way a longer content on a full disk changes nothing.
    for (const bool inPlace : {false, true}) {
        SCOPED_TRACE(inPlace ? "rewritten in place" : "replaced");
        TempDir tmp;
        const fs::path cfg = tmp / "grafimo.cfg";
        writeBytes(cfg, kOld);
        test::FakeFileCalls calls;
        calls.diskFull = true;
        calls.refuseCreate = inPlace;
        ScopedFileCalls use(calls);

        const RewriteResult r = writeDeviceRecords(cfg, kLonger);
        EXPECT_EQ(r.status, ConfigWrite::Failed);
        EXPECT_EQ(r.fault.step, FileFault::Step::Write) << r.error;
        EXPECT_EQ(r.fault.error, ENOSPC) << r.error;
        EXPECT_EQ(readBytes(cfg), kOld);
        EXPECT_EQ(namesIn(tmp.path()), std::vector<std::string>{"grafimo.cfg"});

        // In place, what fits in the old length is still written.
        if (inPlace) {
            const DeviceRecord shorter[] = {{4, ""}};
            EXPECT_EQ(writeDeviceRecords(cfg, shorter).status, ConfigWrite::Ok);
            EXPECT_EQ(readBytes(cfg).size(), kConfigHeaderSize + 2);
        }
    }
}

TEST(ReplacingFile, AReplacedFileKeepsTheOldFilesGroupWhereTheUserMayGiveIt)
{
    const gid_t lab = ::getegid() + 1003;
    for (const int refusal : {0, EPERM}) {
        for (const Writer& w : kWriters) {
            SCOPED_TRACE(std::string(w.name) + (refusal ? ", chown refused" : ""));
            TempDir tmp;
            const fs::path file = tmp / "grafimo.cfg";
            writeBytes(file, kOld);
            ASSERT_EQ(::chmod(file.c_str(), 0664), 0);
            test::FakeFileCalls calls;
            calls.groups = {{file.string(), lab}};
            calls.fchownErrno = refusal;
            ScopedFileCalls use(calls);

            const FileFault fault = w.write(file);
            EXPECT_FALSE(fault) << describe(fault);
            EXPECT_EQ(calls.groupsGiven, std::vector<gid_t>{lab});
            EXPECT_NE(readBytes(file), kOld);
            struct stat st {};
            ASSERT_EQ(::stat(file.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, 0664u);
        }
    }
}

TEST(ReplacingFile, TheTemporaryOfAKilledExportGoesWithTheNextReplacementOfAnyFile)
{
    TempDir tmp;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        exportRecordsText(tmp / "Котёл 09_12_2026 10_15.txt", kRecords, russianFormats(), [](auto, auto) {
            ::kill(::getpid(), SIGKILL);
            return true;
        });
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    ASSERT_EQ(namesIn(tmp.path()).size(), 1u) << "the killed export left its temporary";

    // Another export's temporary, of a process that still runs, and a file of the user's own
    // that only looks alike stay.
    const std::string live = ".grafimo485.tmp." + std::to_string(::getppid()) + ".0";
    const std::string own = ".grafimo.cfg.tmp" + std::to_string(child) + ".0";
    writeBytes(tmp / live, Bytes{1});
    writeBytes(tmp / own, Bytes{1});
    EXPECT_EQ(writeDeviceRecords(tmp / "grafimo.cfg", kLonger).status, ConfigWrite::Ok);
    std::vector<std::string> kept{live, own, "grafimo.cfg"};
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(namesIn(tmp.path()), kept);
}

} // namespace
