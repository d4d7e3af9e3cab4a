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
                                 "--log-disorder", "1", "--log-bad-date", "1:17", "--pace", "--verbose",
                                 "--pieces", "3:3:20", "--echo"});
    ASSERT_TRUE(r.options) << r.error;
    const ToolOptions& t = *r.options;
    EXPECT_EQ(t.server.linkPath, "/tmp/bus");
    EXPECT_TRUE(t.server.portPath.empty());
    EXPECT_TRUE(t.server.pace);
    EXPECT_TRUE(t.server.echo);
    EXPECT_TRUE(t.verbose);
    ASSERT_EQ(t.server.devices.size(), 3u);
    const DeviceConfig* d1 = find(t, 1);
    const DeviceConfig* d2 = find(t, 2);
    const DeviceConfig* d3 = find(t, 3);
    ASSERT_TRUE(d1 && d2 && d3);
    EXPECT_TRUE(d3->faults.silent);
    EXPECT_EQ(d3->faults.exceptionEvery, 4u);
    EXPECT_EQ(d3->faults.pieces, 3u);
    EXPECT_EQ(d3->faults.chunkGapMs, 20u);
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

    const ParseResult tcp = parse({"--devices", "1", "--tcp", "[::1]:4001", "--drop-after", "7"});
    ASSERT_TRUE(tcp.options) << tcp.error;
    EXPECT_EQ(tcp.options->server.tcpListen, "[::1]:4001");
    EXPECT_EQ(tcp.options->server.dropAfterAnswers, 7u);
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
                            "--log-disorder", "--log-bad-date", "--no-log", "--log-bad-crc", "--log-silent-first",
                            "--log-split", "month13", "minute60", "--pace", "--verbose", "--help", "--tcp",
                            "--drop-after", "--echo", "--pieces"})
        EXPECT_NE(toolUsage().find(opt), std::string::npos) << opt;
}

struct LogOptionCase {
    std::vector<std::string_view> args;  // for device 4 of --devices 4,5
    Faults faults;
    LogSettings log;
};

Faults split(unsigned gap, unsigned bytes)
{
    Faults f;
    f.logSplitGapMs = gap;
    f.logSplitBytes = bytes;
    return f;
}

LogSettings badDate(std::uint16_t index, BadDate kind)
{
    LogSettings l;
    l.badDateIndex = index;
    l.badDate = kind;
    return l;
}

TEST(ToolOptions, LogFaultsReachTheirDeviceOnly)
{
    Faults crc;
    crc.logBadCrcEvery = 3;
    Faults silentFirst;
    silentFirst.logSilentFirst = 4;
    LogSettings noLog;
    noLog.present = false;
    const LogOptionCase cases[] = {
        {{"--no-log", "4"}, {}, noLog},
        {{"--log-bad-crc", "4:3"}, crc, {}},
        {{"--log-silent-first", "4:4"}, silentFirst, {}},
        {{"--log-split", "4:20"}, split(20, 7), {}},
        {{"--log-split", "4:0:12"}, split(0, 12), {}},
        {{"--log-bad-date", "4:9"}, {}, badDate(9, BadDate::MonthZero)},
        {{"--log-bad-date", "4:9:month0"}, {}, badDate(9, BadDate::MonthZero)},
        {{"--log-bad-date", "4:9:month13"}, {}, badDate(9, BadDate::Month13)},
        {{"--log-bad-date", "4:9:day"}, {}, badDate(9, BadDate::DayPastMonth)},
        {{"--log-bad-date", "4:9:hour24"}, {}, badDate(9, BadDate::Hour24)},
        {{"--log-bad-date", "4:9:minute60"}, {}, badDate(9, BadDate::Minute60)},
    };
    for (const LogOptionCase& c : cases) {
        std::vector<std::string_view> args{"--devices", "4,5"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ParseResult r = parseToolOptions(args);
        const std::string what(c.args[0]);
        ASSERT_TRUE(r.options) << what << ": " << r.error;
        const DeviceConfig* d4 = find(*r.options, 4);
        const DeviceConfig* d5 = find(*r.options, 5);
        ASSERT_TRUE(d4 && d5);
        for (const DeviceConfig* d : {d4, d5}) {
            const Faults& want = d == d4 ? c.faults : Faults{};
            const LogSettings& wantLog = d == d4 ? c.log : LogSettings{};
            const std::string who = what + ", device " + std::to_string(d->address);
            EXPECT_EQ(d->faults.logBadCrcEvery, want.logBadCrcEvery) << who;
            EXPECT_EQ(d->faults.logSilentFirst, want.logSilentFirst) << who;
            EXPECT_EQ(d->faults.logSplitBytes, want.logSplitBytes) << who;
            EXPECT_EQ(d->faults.logSplitGapMs, want.logSplitGapMs) << who;
            EXPECT_EQ(d->faults.chunkBytes, 0u) << who << ": the split is not a chunking of every answer";
            EXPECT_EQ(d->faults.badCrcEvery, 0u) << who << ": live answers keep good CRCs";
            EXPECT_EQ(d->log.present, wantLog.present) << who;
            EXPECT_EQ(d->log.badDateIndex, wantLog.badDateIndex) << who;
            EXPECT_EQ(d->log.badDate, wantLog.badDate) << who;
        }
    }
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
        {{"--devices", "1", "--pieces", "1:1:3"}, "at least 2"},
        {{"--devices", "1", "--pieces", "1:3"}, "DEVICE:N:GAP_MS"},
        {{"--devices", "1", "--garbage", "1:2:middle"}, "middle"},
        {{"--devices", "1", "--log-interval", "1:1:60"}, "minutes"},
        {{"--devices", "1", "--log-state", "1:maybe"}, "maybe"},
        {{"--devices", "1", "--log-count", "1:70000"}, "65535"},
        {{"--devices", "1", "--no-log", "2"}, "device 2 is not in --devices"},
        {{"--devices", "1", "--no-log"}, "needs a value"},
        {{"--devices", "1", "--log-bad-crc", "1"}, "DEVICE:N"},
        {{"--devices", "1", "--log-bad-crc", "1:0"}, "at least 1"},
        {{"--devices", "1", "--log-silent-first", "1:x"}, "'x'"},
        {{"--devices", "1", "--log-silent-first", "1:2:3"}, "DEVICE:K"},
        {{"--devices", "1", "--log-split", "1"}, "DEVICE:GAP_MS[:BYTES]"},
        {{"--devices", "1", "--log-split", "1:70000"}, "gap"},
        {{"--devices", "1", "--log-split", "1:5:0"}, "at least 1 byte"},
        {{"--devices", "1", "--log-split", "1:5:300"}, "first piece"},
        {{"--devices", "1", "--log-bad-date", "1:3:month14"}, "month14"},
        {{"--devices", "1", "--log-bad-date", "1:3:day:x"}, "DEVICE:INDEX[:KIND]"},
        {{"--devices", "1", "--tcp", "h:1", "--link", "/tmp/x"}, "neither --port nor --link"},
        {{"--devices", "1", "--drop-after", "3"}, "needs --tcp"},
        {{"--devices", "1", "--tcp", "h:1", "--drop-after", "0"}, "at least 1"},
    };
    for (const BadCase& c : cases) {
        const ParseResult r = parseToolOptions(c.args);
        EXPECT_FALSE(r.options) << c.mentions;
        EXPECT_NE(r.error.find(c.mentions), std::string::npos) << "message: " << r.error;
    }
}

}  // namespace
}  // namespace grafimo::sim
