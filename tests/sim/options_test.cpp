// The grafimo-sim command line.

#include <gtest/gtest.h>

#include <initializer_list>

#include "grafimo/sim/options.h"

namespace grafimo::sim {
namespace {

ParseResult parse(std::initializer_list<std::string_view> args)
{
    const std::vector<std::string_view> v(args);
    return parseToolOptions(v);
}

const DeviceConfig* find(const ToolOptions& t, std::uint8_t addr)
{
    for (const DeviceConfig& d : t.server.devices)
        if (d.address == addr)
            return &d;
    return nullptr;
}

TEST(ToolOptions, EveryOptionReachesItsDevice)
{
    const ParseResult r = parse({"--link", "/tmp/bus", "--devices", "1,2,3", "--silent", "3", "--bad-crc", "2:5",
                                 "--late", "2:80", "--chunks", "1:5:3", "--garbage", "2:7", "--exception", "3:4",
                                 "--log-count", "1:300", "--log-interval", "1:1:30", "--log-state", "1:off",
                                 "--log-disorder", "1", "--log-bad-date", "1:17", "--pace", "--verbose"});
    ASSERT_TRUE(r.options) << r.error;
    const ToolOptions& t = *r.options;
    EXPECT_EQ(t.server.linkPath, "/tmp/bus");
    EXPECT_TRUE(t.server.portPath.empty());
    EXPECT_TRUE(t.server.pace);
    EXPECT_TRUE(t.verbose);
    ASSERT_EQ(t.server.devices.size(), 3u);
    const DeviceConfig* d1 = find(t, 1);
    const DeviceConfig* d2 = find(t, 2);
    const DeviceConfig* d3 = find(t, 3);
    ASSERT_TRUE(d1 && d2 && d3);
    EXPECT_TRUE(d3->faults.silent);
    EXPECT_EQ(d3->faults.exceptionEvery, 4u);
    EXPECT_FALSE(d1->faults.silent);
    EXPECT_EQ(d2->faults.badCrcEvery, 5u);
    EXPECT_EQ(d2->faults.lateMs, 80u);
    EXPECT_EQ(d2->faults.garbageEvery, 7u);
    EXPECT_EQ(d2->faults.garbageMode, GarbageMode::Rotate);
    EXPECT_EQ(d1->faults.chunkBytes, 5u);
    EXPECT_EQ(d1->faults.chunkGapMs, 3u);
    EXPECT_EQ(d1->log.count, 300);
    EXPECT_EQ(d1->log.hours, 1);
    EXPECT_EQ(d1->log.minutes, 30);
    EXPECT_EQ(d1->log.state, 0);
    EXPECT_TRUE(d1->log.disorder);
    ASSERT_TRUE(d1->log.badDateIndex);
    EXPECT_EQ(*d1->log.badDateIndex, 17);
    EXPECT_EQ(d2->log.count, LogSettings{}.count) << "untouched devices keep the defaults";
}

TEST(ToolOptions, DeviceListsTakeRangesAndRepeats)
{
    const ParseResult r = parse({"--devices", "0,5-7", "--devices", "7,253", "--port", "/dev/ttyUSB0"});
    ASSERT_TRUE(r.options) << r.error;
    std::vector<int> addrs;
    for (const DeviceConfig& d : r.options->server.devices)
        addrs.push_back(d.address);
    EXPECT_EQ(addrs, (std::vector<int>{0, 5, 6, 7, 253}));
    EXPECT_EQ(r.options->server.portPath, "/dev/ttyUSB0");
}

TEST(ToolOptions, GarbagePlacementCanBeChosen)
{
    const ParseResult r = parse({"--devices", "1", "--garbage", "1:2:instead"});
    ASSERT_TRUE(r.options) << r.error;
    EXPECT_EQ(r.options->server.devices[0].faults.garbageMode, GarbageMode::Instead);
}

TEST(ToolOptions, HelpNeedsNothingElse)
{
    const ParseResult r = parse({"--help"});
    ASSERT_TRUE(r.options);
    EXPECT_TRUE(r.options->help);
    for (const char* opt : {"--link", "--port", "--devices", "--silent", "--bad-crc", "--late", "--chunks",
                            "--garbage", "--exception", "--log-count", "--log-interval", "--log-state",
                            "--log-disorder", "--log-bad-date", "--pace", "--verbose", "--help"})
        EXPECT_NE(toolUsage().find(opt), std::string::npos) << opt;
}

struct BadCase {
    std::vector<std::string_view> args;
    const char* mentions;
};

TEST(ToolOptions, BadOptionsAreExplained)
{
    const BadCase cases[] = {
        {{"--devices", "1", "--frobnicate"}, "--frobnicate"},
        {{"--devices"}, "needs a value"},
        {{"--link", "/tmp/x"}, "no devices"},
        {{"--devices", "1,x"}, "'x'"},
        {{"--devices", "256"}, "255"},
        {{"--devices", "5-3"}, "5-3"},
        {{"--devices", "1", "--silent", "2"}, "device 2 is not in --devices"},
        {{"--devices", "1", "--bad-crc", "1"}, "DEVICE:N"},
        {{"--devices", "1", "--bad-crc", "1:0"}, "at least 1"},
        {{"--devices", "1", "--late", "1:-5"}, "'-5'"},
        {{"--devices", "1", "--chunks", "1:0:3"}, "at least 1"},
        {{"--devices", "1", "--garbage", "1:2:middle"}, "middle"},
        {{"--devices", "1", "--log-interval", "1:1:60"}, "minutes"},
        {{"--devices", "1", "--log-state", "1:maybe"}, "maybe"},
        {{"--devices", "1", "--log-count", "1:70000"}, "65535"},
    };
    for (const BadCase& c : cases) {
        const ParseResult r = parseToolOptions(c.args);
        EXPECT_FALSE(r.options) << c.mentions;
        EXPECT_NE(r.error.find(c.mentions), std::string::npos) << "message: " << r.error;
    }
}

}  // namespace
}  // namespace grafimo::sim
