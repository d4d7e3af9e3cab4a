// Files replaced whole (grafimo.cfg and the exports) where that can go wrong: a link another
// user planted, a full disk, a shared file's group, a killed export.

#include "grafimo/config_file.h"
#include "grafimo/export_text.h"
#include "grafimo_test/fake_file_calls.h"
#include "grafimo_test/refused_system_call.h"
#include "grafimo_test/russian_dates.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <set>
#include <sys/syscall.h>
#include <sys/wait.h>

using namespace grafimo;
using namespace grafimo::testing;
using grafimo::test::russianFormats;
namespace fs = std::filesystem;

namespace {

const Bytes kOld = [] {
    Bytes b(kConfigHeaderSize + 3, 0);
    b[kConfigHeaderSize] = b[kConfigHeaderSize + 1] = 1;
    return b;
}();
const DeviceRecord kLonger[] = {{2, "bbbbbbbb"}, {3, "cccccccc"}};
const HistoryRecord kRecords[] = {{1.5f, 2.5f, 45000.5}};

FileFault writeConfig(const fs::path& p) { return writeDeviceRecords(p, kLonger).fault; }
FileFault writeExport(const fs::path& p) { return exportRecordsText(p, kRecords, russianFormats()).fault; }

std::set<std::string> namesIn(const fs::path& dir)
{
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir))
        names.insert(e.path().filename().string());
    return names;
}

TEST(ReplacingFile, ALinkInASharedFolderIsFollowedOnlyWhenTheUserOrTheFolderOwnerMadeIt)
{
    const uid_t me = ::geteuid(), other = me + 1001, folderOwner = me + 1002;
    // Planted by another user in a sticky folder; the folder owner's; the user's own.
    const struct {
        uid_t linkOwner, dirOwner;
        bool followed;
    } cases[] = {{other, folderOwner, false}, {other, other, true}, {me, folderOwner, true}};
    for (const auto& [linkOwner, dirOwner, followed] : cases) {
        for (const auto write : {writeConfig, writeExport}) {
            SCOPED_TRACE(std::to_string(linkOwner - me) + " " + std::to_string(write == writeConfig));
            TempDir tmp;
            const fs::path shared = tmp / "shared", victim = tmp / "victim";
            fs::create_directory(shared);
            ::chmod(shared.c_str(), 01777);
            writeBytes(victim, kOld);
            const fs::path link = shared / "Котёл 09_12_2026 10_15.txt";
            fs::create_symlink(victim, link);
            test::FakeFileCalls calls;
            calls.owners = {{link.string(), linkOwner}, {shared.string(), dirOwner}};
            ScopedFileCalls use(calls);

            const FileFault fault = write(link);
            EXPECT_EQ(fault.step, followed ? FileFault::Step::None : FileFault::Step::ForeignLink) << describe(fault);
            EXPECT_EQ(readBytes(victim) == kOld, !followed);
            EXPECT_TRUE(fs::is_symlink(link));
            EXPECT_EQ(namesIn(shared).size(), 1u) << "a temporary is left";
        }
    }
}

TEST(ReplacingFile, AFullDiskLeavesTheOldFileAsItWas)
{
    // Replaced through a temporary file, or rewritten where it is when its folder takes no
    // new file: either way a longer content on a full disk changes nothing.
    for (const bool inPlace : {false, true}) {
        SCOPED_TRACE(inPlace);
        TempDir tmp;
        const fs::path cfg = tmp / "grafimo.cfg";
        writeBytes(cfg, kOld);
        test::FakeFileCalls calls;
        calls.diskFull = true;
        calls.refuseCreate = inPlace;
        ScopedFileCalls use(calls);

        const FileFault fault = writeConfig(cfg);
        EXPECT_EQ(fault.step, FileFault::Step::Write) << describe(fault);
        EXPECT_EQ(fault.error, ENOSPC);
        EXPECT_EQ(readBytes(cfg), kOld);
        EXPECT_EQ(namesIn(tmp.path()), std::set<std::string>{"grafimo.cfg"});
    }
}

TEST(ReplacingFile, AnInPlaceRewriteWorksWhereTheFileSystemCannotReserveSpace)
{
    // NFSv3, many FUSE and CIFS mounts answer fallocate with EOPNOTSUPP; here a child process
    // is made so. Its folder takes no new file, so grafimo.cfg is rewritten where it is, and
    // it grows past a block boundary: where the C library's stand-in would read the file.
    TempDir tmp;
    const fs::path cfg = tmp / "grafimo.cfg";
    std::vector<DeviceRecord> devices;
    for (int a = 1; a <= 100; ++a)
        devices.push_back({static_cast<std::uint8_t>(a), std::string(48, static_cast<char>('a' + a % 26))});
    ASSERT_EQ(writeDeviceRecords(cfg, std::span(devices).first(98)).status, ConfigWrite::Ok);
    ASSERT_GT(fs::file_size(cfg), 4096u + 500u);

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        test::FakeFileCalls calls;
        calls.refuseCreate = true;
        ScopedFileCalls use(calls);
        if (!test::refuseSystemCall(__NR_fallocate, EOPNOTSUPP))
            ::_exit(255);
        const RewriteResult r = writeDeviceRecords(cfg, devices);
        // The reason of a failure is the exit status.
        ::_exit(r.status == ConfigWrite::Ok ? 0 : r.fault.error > 0 && r.fault.error < 255 ? r.fault.error : 254);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_NE(WEXITSTATUS(status), 255) << "no system call could be refused";
    EXPECT_EQ(WEXITSTATUS(status), 0) << std::strerror(WEXITSTATUS(status));
    const ConfigLoad load = loadDeviceList(cfg);
    ASSERT_EQ(load.devices.size(), devices.size());
    for (std::size_t i = 0; i < devices.size(); ++i) {
        EXPECT_EQ(load.devices[i].address, devices[i].address);
        EXPECT_EQ(load.devices[i].description, devices[i].description);
    }
    EXPECT_EQ(namesIn(tmp.path()), std::set<std::string>{"grafimo.cfg"});
}

TEST(ReplacingFile, AReplacedFileKeepsTheOldFilesGroupWhereTheUserMayGiveIt)
{
    const gid_t lab = ::getegid() + 1003;
    for (const int refusal : {0, EPERM}) {
        TempDir tmp;
        const fs::path file = tmp / "grafimo.cfg";
        writeBytes(file, kOld);
        test::FakeFileCalls calls;
        calls.groups = {{file.string(), lab}};
        calls.fchownErrno = refusal;
        ScopedFileCalls use(calls);

        EXPECT_FALSE(writeExport(file)) << refusal;
        EXPECT_EQ(calls.groupsGiven, std::vector<gid_t>{lab});
    }
}

TEST(ReplacingFile, TheTemporaryOfAKilledExportGoesWithTheNextReplacementOfAnyFile)
{
    TempDir tmp;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        exportRecordsText(tmp / "a.txt", kRecords, russianFormats(), [](auto, auto) { return ::kill(::getpid(), SIGKILL) < 0; });
        ::_exit(0);
    }
    ASSERT_EQ(::waitpid(child, nullptr, 0), child);
    ASSERT_EQ(namesIn(tmp.path()).size(), 1u) << "the killed export left no temporary";

    // One of a process that still runs, and a file that only looks alike, stay.
    const std::string live = ".grafimo485.tmp." + std::to_string(::getppid()) + ".0";
    const std::string alike = ".grafimo.cfg.tmp" + std::to_string(child) + ".0";
    writeBytes(tmp / live, Bytes{1});
    writeBytes(tmp / alike, Bytes{1});
    EXPECT_FALSE(writeConfig(tmp / "grafimo.cfg"));
    EXPECT_EQ(namesIn(tmp.path()), (std::set<std::string>{live, alike, "grafimo.cfg"}));
}

} // namespace
