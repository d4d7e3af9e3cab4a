#include "grafimo/frames.h"
#include "grafimo/monitor_line.h"

#include <gtest/gtest.h>

#include <vector>

using namespace grafimo;

TEST(MonitorLine, RequestAsUpperCaseHexWithTrailingComma)
{
    const auto request = buildLiveRequest(1);
    EXPECT_EQ(monitorLine(request), "0x01,0x03,0x00,0x00,0x00,0x06,0xC5,0xC8,");
}

TEST(MonitorLine, EveryByteValue)
{
    std::vector<std::uint8_t> all(256);
    for (int i = 0; i < 256; ++i)
        all[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
    const std::string line = monitorLine(all);
    ASSERT_EQ(line.size(), 256u * 5);
    EXPECT_EQ(line.substr(0, 10), "0x00,0x01,");
    EXPECT_EQ(line.substr(0xAB * 5, 5), "0xAB,");
    EXPECT_EQ(line.substr(0x9F * 5, 5), "0x9F,");
    EXPECT_EQ(line.substr(255 * 5), "0xFF,");
    EXPECT_EQ(line.find(' '), std::string::npos);
}

TEST(MonitorLine, EmptyFrameGivesEmptyLine)
{
    EXPECT_EQ(monitorLine({}), "");
}
