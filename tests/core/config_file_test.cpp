#include "grafimo/config_file.h"

#include "temp_dir.h"

#include <gtest/gtest.h>

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

// A header holding the port name, zero-filled to 100 bytes.
Bytes header(const std::string& port)
{
    Bytes h(kConfigHeaderSize, 0);
    h[0] = static_cast<std::uint8_t>(port.size());
    std::copy(port.begin(), port.end(), h.begin() + 1);
    return h;
}

Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::size_t filesIn(const fs::path& dir)
{
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

class ConfigFileTest : public ::testing::Test {
protected:
    TempDir dir;
    fs::path cfg = dir / "grafimo.cfg";
};

} // namespace

TEST_F(ConfigFileTest, MissingFileIsCreatedEmptyAndReadsAsNothing)
{
    const ConfigLoad load = loadDeviceList(cfg);
    EXPECT_FALSE(load.found);
    EXPECT_TRUE(load.devices.empty());
    ASSERT_TRUE(fs::exists(cfg));
    EXPECT_EQ(fs::file_size(cfg), 0u);

    // The next start finds the empty file: an empty list and an empty port name.
    const ConfigLoad again = loadDeviceList(cfg);
    EXPECT_TRUE(again.found);
    EXPECT_TRUE(again.devices.empty());
    EXPECT_EQ(readPortName(cfg), "");
}

TEST_F(ConfigFileTest, HeaderOnlyFileHasNoDevicesAndKeepsPortName)
{
    writeBytes(cfg, header("COM3"));
    const ConfigLoad load = loadDeviceList(cfg);
    EXPECT_TRUE(load.found);
    EXPECT_TRUE(load.devices.empty());
    EXPECT_EQ(readPortName(cfg), "COM3");
    EXPECT_EQ(readBytes(cfg), header("COM3"));
}

TEST_F(ConfigFileTest, RecordsAreWrittenByteForByteInTabOrder)
{
    Bytes h = header("/dev/ttyUSB0");
    h[50] = 0xAB; // bytes after the name record are carried over
    h[99] = 0xCD;
    writeBytes(cfg, h);
    const DeviceRecord devices[] = {{7, "Boiler"}, {1, "A"}, {200, "\xD6\xE5\xF5"}};
    const RewriteResult r = writeDeviceRecords(cfg, devices);
    EXPECT_TRUE(r.existed);
    EXPECT_EQ(r.status, ConfigWrite::Ok) << r.error;
    EXPECT_EQ(readBytes(cfg), (h + Bytes{7, 6, 'B', 'o', 'i', 'l', 'e', 'r', 1, 1, 'A', 200, 3, 0xD6, 0xE5, 0xF5}));

    const ConfigLoad load = loadDeviceList(cfg);
    ASSERT_EQ(load.devices.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(load.devices[i].address, devices[i].address);
        EXPECT_EQ(load.devices[i].description, devices[i].description);
    }
}

TEST_F(ConfigFileTest, ByteTenIsStoredAsCarriageReturnLineFeed)
{
    writeBytes(cfg, header("COM1"));
    const std::string tenBytes = "0123456789";
    const std::string withNewline = "a\nb";
    const DeviceRecord devices[] = {{10, "x"}, {3, tenBytes}, {4, withNewline}};
    ASSERT_EQ(writeDeviceRecords(cfg, devices).status, ConfigWrite::Ok);

    Bytes expected = header("COM1") + Bytes{0x0D, 0x0A, 1, 'x', 3, 0x0D, 0x0A};
    expected.insert(expected.end(), tenBytes.begin(), tenBytes.end());
    expected = expected + Bytes{4, 3, 'a', 0x0D, 0x0A, 'b'};
    EXPECT_EQ(readBytes(cfg), expected);

    const ConfigLoad load = loadDeviceList(cfg);
    ASSERT_EQ(load.devices.size(), 3u);
    EXPECT_EQ(load.devices[0].address, 10);
    EXPECT_EQ(load.devices[0].description, "x");
    EXPECT_EQ(load.devices[1].description, tenBytes);
    EXPECT_EQ(load.devices[2].description, withNewline);
}

TEST_F(ConfigFileTest, ThirteenAndTwentySixAreStoredUnchanged)
{
    writeBytes(cfg, header(""));
    const std::string len13(13, 'q');
    const std::string len26(26, 'z');
    const std::string controls = "\r\x1A\r";
    const DeviceRecord devices[] = {{13, len13}, {26, len26}, {5, controls}};
    ASSERT_EQ(writeDeviceRecords(cfg, devices).status, ConfigWrite::Ok);

    Bytes expected = header("") + Bytes{13, 13};
    expected.insert(expected.end(), len13.begin(), len13.end());
    expected = expected + Bytes{26, 26};
    expected.insert(expected.end(), len26.begin(), len26.end());
    expected = expected + Bytes{5, 3, 0x0D, 0x1A, 0x0D};
    EXPECT_EQ(readBytes(cfg), expected);

    const ConfigLoad load = loadDeviceList(cfg);
    ASSERT_EQ(load.devices.size(), 3u);
    EXPECT_EQ(load.devices[0].address, 13);
    EXPECT_EQ(load.devices[0].description, len13);
    EXPECT_EQ(load.devices[1].address, 26);
    EXPECT_EQ(load.devices[1].description, len26);
    EXPECT_EQ(load.devices[2].description, controls);
}

TEST_F(ConfigFileTest, CarriageReturnBeforeAnExpandedLineFeed)
{
    // A description ending in 0x0D followed by address 10: 0D then 0D 0A.
    writeBytes(cfg, header("COM1"));
    const DeviceRecord devices[] = {{1, "a\r"}, {10, "\r\n"}};
    ASSERT_EQ(writeDeviceRecords(cfg, devices).status, ConfigWrite::Ok);
    EXPECT_EQ(readBytes(cfg), (header("COM1") + Bytes{1, 2, 'a', 0x0D, 0x0D, 0x0A, 2, 0x0D, 0x0D, 0x0A}));
    const ConfigLoad load = loadDeviceList(cfg);
    ASSERT_EQ(load.devices.size(), 2u);
    EXPECT_EQ(load.devices[0].description, "a\r");
    EXPECT_EQ(load.devices[1].address, 10);
    EXPECT_EQ(load.devices[1].description, "\r\n");
}

TEST_F(ConfigFileTest, EveryByteValueSurvivesTheRoundTrip)
{
    std::vector<DeviceRecord> devices;
    for (int a = 0; a < 256; ++a) {
        std::string d;
        for (int k = 0; k < a; ++k)
            d += static_cast<char>((a * 7 + k * 13) & 0xFF);
        devices.push_back({static_cast<std::uint8_t>(a), d});
    }
    ASSERT_EQ(writeDeviceRecords(cfg, devices).status, ConfigWrite::Ok);
    const ConfigLoad load = loadDeviceList(cfg);
    ASSERT_EQ(load.devices.size(), devices.size());
    for (std::size_t i = 0; i < devices.size(); ++i) {
        EXPECT_EQ(load.devices[i].address, devices[i].address);
        EXPECT_EQ(load.devices[i].description, devices[i].description);
    }
}

TEST_F(ConfigFileTest, EmptyDescriptionIsLengthZeroWithoutText)
{
    writeBytes(cfg, header("COM1"));
    const DeviceRecord devices[] = {{4, ""}, {5, "e"}};
    ASSERT_EQ(writeDeviceRecords(cfg, devices).status, ConfigWrite::Ok);
    EXPECT_EQ(readBytes(cfg), (header("COM1") + Bytes{4, 0, 5, 1, 'e'}));
    const ConfigLoad load = loadDeviceList(cfg);
    ASSERT_EQ(load.devices.size(), 2u);
    EXPECT_EQ(load.devices[0].description, "");
    EXPECT_EQ(load.devices[1].description, "e");
}

TEST_F(ConfigFileTest, DeletingTheLastDeviceLeavesTheHeader)
{
    writeBytes(cfg, header("COM2") + Bytes{1, 1, 'a'});
    ASSERT_EQ(writeDeviceRecords(cfg, {}).status, ConfigWrite::Ok);
    EXPECT_EQ(readBytes(cfg), header("COM2"));
}

TEST_F(ConfigFileTest, ShortOrMissingHeaderIsZeroFilled)
{
    // The port name written into a freshly created empty file is all it holds.
    writeBytes(cfg, {});
    ASSERT_EQ(writePortName(cfg, "COM7"), ConfigWrite::Ok);
    EXPECT_EQ(readBytes(cfg), (Bytes{4, 'C', 'O', 'M', '7'}));
    const DeviceRecord devices[] = {{2, "b"}};
    const RewriteResult r = writeDeviceRecords(cfg, devices);
    EXPECT_TRUE(r.existed);
    ASSERT_EQ(r.status, ConfigWrite::Ok);
    EXPECT_EQ(readBytes(cfg), (header("COM7") + Bytes{2, 1, 'b'}));

    const fs::path fresh = dir / "new.cfg";
    const RewriteResult created = writeDeviceRecords(fresh, devices);
    EXPECT_FALSE(created.existed);
    ASSERT_EQ(created.status, ConfigWrite::Ok);
    EXPECT_EQ(readBytes(fresh), (Bytes(kConfigHeaderSize, 0) + Bytes{2, 1, 'b'}));
    EXPECT_EQ(readPortName(fresh), "");
}

TEST_F(ConfigFileTest, PortNameOverwritesOnlyItsOwnBytes)
{
    const Bytes records{1, 2, 'h', 'i', 0x0D, 0x0A, 0}; // devices 1 "hi" and 10 ""
    writeBytes(cfg, header("NULL") + records);
    ASSERT_EQ(writePortName(cfg, "COM4"), ConfigWrite::Ok);
    EXPECT_EQ(readBytes(cfg), header("COM4") + records);
    EXPECT_EQ(readPortName(cfg), "COM4");

    // NULL over a five-character name: the old fifth character stays at offset 5.
    ASSERT_EQ(writePortName(cfg, "COM12"), ConfigWrite::Ok);
    ASSERT_EQ(writePortName(cfg, "NULL"), ConfigWrite::Ok);
    const Bytes bytes = readBytes(cfg);
    ASSERT_EQ(bytes.size(), kConfigHeaderSize + records.size());
    EXPECT_EQ(bytes[0], 4);
    EXPECT_EQ(std::string(bytes.begin() + 1, bytes.begin() + 5), "NULL");
    EXPECT_EQ(bytes[5], '2');
    EXPECT_EQ(readPortName(cfg), "NULL");
    EXPECT_EQ(Bytes(bytes.begin() + kConfigHeaderSize, bytes.end()), records);
}

TEST_F(ConfigFileTest, PortNameNeedsAnExistingFile)
{
    EXPECT_EQ(writePortName(cfg, "COM1"), ConfigWrite::Missing);
    EXPECT_FALSE(fs::exists(cfg));
}

TEST_F(ConfigFileTest, OverlongPortNameIsRefusedUntouched)
{
    writeBytes(cfg, header("COM1"));
    EXPECT_EQ(writePortName(cfg, std::string(100, 'p')), ConfigWrite::Failed);
    EXPECT_EQ(readBytes(cfg), header("COM1"));

    const std::string longest(99, 'p');
    ASSERT_EQ(writePortName(cfg, longest), ConfigWrite::Ok);
    EXPECT_EQ(readPortName(cfg), longest);
    EXPECT_EQ(fs::file_size(cfg), kConfigHeaderSize);
}

TEST_F(ConfigFileTest, PortNameLengthBeyondTheFileReadsWhatIsThere)
{
    writeBytes(cfg, Bytes{200, 'C', 'O', 'M'});
    EXPECT_EQ(readPortName(cfg), "COM");
    writeBytes(cfg, Bytes{3});
    EXPECT_EQ(readPortName(cfg), "");
    EXPECT_EQ(readPortName(dir / "absent.cfg"), "");
    EXPECT_FALSE(fs::exists(dir / "absent.cfg"));
}

TEST_F(ConfigFileTest, TruncatedLastRecordKeepsWhatCouldBeRead)
{
    writeBytes(cfg, header("COM1") + Bytes{1, 1, 'a', 2, 5, 'x', 'y'});
    ConfigLoad load = loadDeviceList(cfg);
    ASSERT_EQ(load.devices.size(), 2u);
    EXPECT_EQ(load.devices[1].address, 2);
    EXPECT_EQ(load.devices[1].description, "xy");

    writeBytes(cfg, header("COM1") + Bytes{1, 1, 'a', 3});
    load = loadDeviceList(cfg);
    ASSERT_EQ(load.devices.size(), 2u);
    EXPECT_EQ(load.devices[1].address, 3);
    EXPECT_EQ(load.devices[1].description, "");

    // A header cut short holds no records at all.
    writeBytes(cfg, Bytes{4, 'C', 'O', 'M', '1', 0, 0});
    load = loadDeviceList(cfg);
    EXPECT_TRUE(load.found);
    EXPECT_TRUE(load.devices.empty());
}

TEST_F(ConfigFileTest, LoneCarriageReturnAndSubstituteAreOrdinaryBytes)
{
    // 0D not followed by 0A stays, 1A does not end the file.
    writeBytes(cfg, header("COM1") + Bytes{0x21, 2, 0x1A, 0x0D, 0x1A, 0, 0x0D});
    const ConfigLoad load = loadDeviceList(cfg);
    ASSERT_EQ(load.devices.size(), 3u);
    EXPECT_EQ(load.devices[0].address, 0x21);
    EXPECT_EQ(load.devices[0].description, "\x1A\r");
    EXPECT_EQ(load.devices[1].address, 0x1A);
    EXPECT_EQ(load.devices[1].description, "");
    EXPECT_EQ(load.devices[2].address, 0x0D);
    EXPECT_EQ(load.devices[2].description, "");
}

TEST_F(ConfigFileTest, DuplicateAddressKeepsTheFirstRecord)
{
    writeBytes(cfg, header("COM1") + Bytes{5, 1, 'a', 6, 1, 'b', 5, 1, 'c', 7, 1, 'd', 6, 0});
    const ConfigLoad load = loadDeviceList(cfg);
    ASSERT_EQ(load.devices.size(), 3u);
    EXPECT_EQ(load.devices[0].address, 5);
    EXPECT_EQ(load.devices[0].description, "a");
    EXPECT_EQ(load.devices[1].address, 6);
    EXPECT_EQ(load.devices[1].description, "b");
    EXPECT_EQ(load.devices[2].address, 7);
    EXPECT_EQ(load.devices[2].description, "d");
}

TEST_F(ConfigFileTest, RewriteKeepsPermissionBits)
{
    writeBytes(cfg, header("COM1"));
    ASSERT_EQ(::chmod(cfg.c_str(), 0640), 0);
    const DeviceRecord devices[] = {{1, "a"}};
    ASSERT_EQ(writeDeviceRecords(cfg, devices).status, ConfigWrite::Ok);
    struct stat st{};
    ASSERT_EQ(::stat(cfg.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(filesIn(dir.path()), 1u) << "no temporary file is left behind";
}

TEST_F(ConfigFileTest, RewriteThroughSymlinkReplacesTheTarget)
{
    const fs::path real = dir / "real.cfg";
    writeBytes(real, header("COM9"));
    fs::create_symlink(real, cfg);
    const DeviceRecord devices[] = {{3, "c"}};
    ASSERT_EQ(writeDeviceRecords(cfg, devices).status, ConfigWrite::Ok);
    EXPECT_TRUE(fs::is_symlink(cfg));
    EXPECT_EQ(readBytes(real), (header("COM9") + Bytes{3, 1, 'c'}));
}

TEST_F(ConfigFileTest, FailureIsReportedAndTheOldFileStays)
{
    // A parent that is a regular file: nothing can be created there, not even by root.
    const fs::path notADir = dir / "plain";
    writeBytes(notADir, Bytes{1, 2, 3});
    const DeviceRecord devices[] = {{1, "a"}};
    const RewriteResult r = writeDeviceRecords(notADir / "grafimo.cfg", devices);
    EXPECT_EQ(r.status, ConfigWrite::Failed);
    EXPECT_FALSE(r.error.empty());
    EXPECT_EQ(readBytes(notADir), (Bytes{1, 2, 3}));
    EXPECT_EQ(writePortName(notADir / "grafimo.cfg", "COM1"), ConfigWrite::Failed);
    EXPECT_FALSE(loadDeviceList(notADir / "grafimo.cfg").found);

    // A configuration path that is a directory cannot be read, so it is not replaced.
    fs::create_directory(cfg);
    const RewriteResult d = writeDeviceRecords(cfg, devices);
    EXPECT_EQ(d.status, ConfigWrite::Failed);
    EXPECT_FALSE(d.error.empty());
    EXPECT_TRUE(fs::is_directory(cfg));
    EXPECT_EQ(filesIn(dir.path()), 2u) << "no temporary file is left behind";
}

TEST_F(ConfigFileTest, AFileOfAnotherOwnerOrInALockedDirectoryIsRewrittenWhereItIs)
{
    // Owned by someone else: the rewrite keeps the owner. In a directory that takes no new
    // file (but with a writable file): rewritten where it is. Both need another user id;
    // as root the second one runs in a child that has become "nobody".
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to hand the file to another user";
    const uid_t nobody = 65534;
    const Bytes old = header("COM1") + Bytes{1, 1, 'a'};
    const DeviceRecord devices[] = {{2, "bb"}};
    const Bytes expected = header("COM1") + Bytes{2, 2, 'b', 'b'};

    writeBytes(cfg, old);
    ASSERT_EQ(::chown(cfg.c_str(), nobody, nobody), 0);
    const RewriteResult r = writeDeviceRecords(cfg, devices);
    EXPECT_EQ(r.status, ConfigWrite::Ok) << r.error;
    struct stat st {};
    ASSERT_EQ(::stat(cfg.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, nobody);
    EXPECT_EQ(readBytes(cfg), expected);

    const fs::path locked = dir / "locked";
    fs::create_directory(locked);
    const fs::path file = locked / "grafimo.cfg";
    writeBytes(file, old);
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    ASSERT_EQ(::chown(file.c_str(), nobody, nobody), 0);
    ASSERT_EQ(::chmod(locked.c_str(), 0555), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setgid(nobody) != 0 || ::setuid(nobody) != 0)
            ::_exit(3);
        const RewriteResult c = writeDeviceRecords(file, devices);
        ::_exit(c.status == ConfigWrite::Ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(readBytes(file), expected);
    EXPECT_EQ(filesIn(locked), 1u);
}

TEST_F(ConfigFileTest, TemporariesOfKilledRewritesAreRemoved)
{
    // A rewrite killed half-way leaves its temporary file; the next one clears it away, but
    // never one of a process that still runs, nor a file of another name.
    const pid_t gone = ::fork();
    ASSERT_GE(gone, 0);
    if (gone == 0)
        ::_exit(0);
    ASSERT_EQ(::waitpid(gone, nullptr, 0), gone);
    const fs::path stale = dir / (".grafimo485.tmp." + std::to_string(gone) + ".3");
    const fs::path live = dir / (".grafimo485.tmp." + std::to_string(::getppid()) + ".0");
    const fs::path other = dir / (".other.cfg.tmp" + std::to_string(gone) + ".0");
    for (const fs::path& p : {stale, live, other})
        writeBytes(p, Bytes{1});
    const DeviceRecord devices[] = {{1, "a"}};
    ASSERT_EQ(writeDeviceRecords(cfg, devices).status, ConfigWrite::Ok);
    EXPECT_FALSE(fs::exists(stale));
    EXPECT_TRUE(fs::exists(live));
    EXPECT_TRUE(fs::exists(other));
}

TEST_F(ConfigFileTest, OverlongDescriptionIsRefusedWithoutWriting)
{
    const Bytes old = header("COM1") + Bytes{1, 1, 'a'};
    writeBytes(cfg, old);
    const DeviceRecord devices[] = {{2, std::string(255, 'x')}, {3, std::string(256, 'y')}};
    const RewriteResult r = writeDeviceRecords(cfg, devices);
    EXPECT_EQ(r.status, ConfigWrite::Failed);
    EXPECT_NE(r.error.find("255"), std::string::npos) << r.error;
    EXPECT_EQ(readBytes(cfg), old);

    const DeviceRecord longest[] = {{2, std::string(255, 'x')}};
    ASSERT_EQ(writeDeviceRecords(cfg, longest).status, ConfigWrite::Ok);
    const ConfigLoad load = loadDeviceList(cfg);
    ASSERT_EQ(load.devices.size(), 1u);
    EXPECT_EQ(load.devices[0].description, std::string(255, 'x'));
}
