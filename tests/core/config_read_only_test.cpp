// The recorder's reading of grafimo.cfg: it says what makes a file unusable for polling and
// never creates, changes or blocks on the file.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "grafimo/config_file.h"
#include "temp_dir.h"

namespace {

using grafimo::ConfigRead;
using grafimo::testing::Bytes;
using grafimo::testing::TempDir;

Bytes header(const std::string& port)
{
    Bytes b(100, 0);
    b[0] = static_cast<std::uint8_t>(port.size());
    std::copy(port.begin(), port.end(), b.begin() + 1);
    return b;
}

Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(ConfigReadOnly, SaysWhatMakesAFileUnusableAndLeavesItAlone)
{
    struct Case {
        const char* what;
        Bytes bytes;
        ConfigRead::Status status;
        std::size_t devices;
    };
    Bytes longName(100, 0);
    longName[0] = 120;
    const Case cases[] = {
        {"whole", header("/dev/ttyUSB0") + Bytes{1, 2, 'a', 'b', 5, 0}, ConfigRead::Status::Ok, 2},
        {"address 10 stored as CR LF", header("tcp://h:1") + Bytes{0x0D, 0x0A, 1, 'x'}, ConfigRead::Status::Ok, 1},
        {"empty", {}, ConfigRead::Status::Empty, 0},
        {"header cut short", Bytes(40, 0), ConfigRead::Status::HeaderCutShort, 0},
        {"header only", header("/dev/ttyUSB0"), ConfigRead::Status::NoDevices, 0},
        {"no port", header("") + Bytes{1, 0}, ConfigRead::Status::NoPort, 1},
        {"port closed", header("NULL") + Bytes{1, 0}, ConfigRead::Status::NoPort, 1},
        {"length byte missing", header("/dev/ttyS0") + Bytes{1, 0, 7}, ConfigRead::Status::RecordCutShort, 2},
        {"description short", header("/dev/ttyS0") + Bytes{1, 5, 'a', 'b'}, ConfigRead::Status::RecordCutShort, 1},
        {"port name too long", longName + Bytes{1, 0}, ConfigRead::Status::BadPortName, 1},
    };
    TempDir dir;
    for (const Case& c : cases) {
        const auto file = dir.path() / "grafimo.cfg";
        grafimo::testing::writeBytes(file, c.bytes);
        const ConfigRead read = grafimo::readConfigOnly(file);
        EXPECT_EQ(read.status, c.status) << c.what;
        EXPECT_EQ(read.devices.size(), c.devices) << c.what;
        EXPECT_EQ(grafimo::testing::readBytes(file), c.bytes) << c.what << ": the file was changed";
    }
    const ConfigRead whole = [&] {
        grafimo::testing::writeBytes(dir.path() / "grafimo.cfg", cases[0].bytes);
        return grafimo::readConfigOnly(dir.path() / "grafimo.cfg");
    }();
    EXPECT_EQ(whole.portName, "/dev/ttyUSB0");
    EXPECT_EQ(whole.devices[0].address, 1);
    EXPECT_EQ(whole.devices[0].description, "ab");
    EXPECT_EQ(whole.devices[1].address, 5);
}

TEST(ConfigReadOnly, MissingDirectoryFifoAndHugeFilesAreRefusedWithoutBeingMade)
{
    TempDir dir;
    const auto missing = dir.path() / "grafimo.cfg";
    EXPECT_EQ(grafimo::readConfigOnly(missing).status, ConfigRead::Status::Missing);
    EXPECT_FALSE(std::filesystem::exists(missing)) << "a reader must never create it";

    std::filesystem::create_directory(dir.path() / "folder.cfg");
    EXPECT_EQ(grafimo::readConfigOnly(dir.path() / "folder.cfg").status, ConfigRead::Status::Unreadable);

    // A FIFO nobody writes to would hold a blocking reader for ever.
    const auto fifo = dir.path() / "fifo.cfg";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(grafimo::readConfigOnly(fifo).status, ConfigRead::Status::Unreadable);

    const auto huge = dir.path() / "huge.cfg";
    grafimo::testing::writeBytes(huge, Bytes(2 << 20, 1));
    EXPECT_EQ(grafimo::readConfigOnly(huge).status, ConfigRead::Status::TooLarge);

    if (::geteuid() != 0) {
        grafimo::testing::writeBytes(missing, header("/dev/ttyS0") + Bytes{1, 0});
        ::chmod(missing.c_str(), 0);
        const ConfigRead read = grafimo::readConfigOnly(missing);
        EXPECT_EQ(read.status, ConfigRead::Status::Unreadable);
        EXPECT_EQ(read.error, EACCES);
    }
}

} // namespace
