// Cutting the received stream into requests: by the length of each code, and by the pause
// of 3.5 characters that ends anything else.

#include <gtest/gtest.h>

#include "grafimo/sim/framer.h"
#include "grafimo_test/tty_client.h"

namespace grafimo::sim {
namespace {

using namespace std::chrono_literals;
using test::withCrc;
using Kind = FramerEvent::Kind;
using Clock = RequestFramer::Clock;

class Framer : public ::testing::Test {
protected:
    void push(const std::vector<std::uint8_t>& bytes, Clock::duration at)
    {
        framer.push(bytes, t0 + at, events);
    }
    void idle(Clock::duration at) { framer.idle(t0 + at, events); }

    RequestFramer framer;  // default pause: 4 ms
    Clock::time_point t0 = Clock::now();
    std::vector<FramerEvent> events;
};

TEST_F(Framer, LengthsFollowTheFunctionCode)
{
    const std::vector<std::uint8_t> head{1, 0x03};
    EXPECT_EQ(requestLength(head), 8u);
    const std::pair<std::uint8_t, std::size_t> fixed[] = {
        {0x06, 8}, {0xA0, 6}, {0xA1, 4}, {0xA2, 4}, {0xA3, 6}, {0xA4, 4}, {0xA5, 4}, {0xA7, 5}};
    for (auto [code, len] : fixed) {
        const std::vector<std::uint8_t> h{1, code};
        EXPECT_EQ(requestLength(h), len) << std::hex << int(code);
    }
    bool needMore = false;
    EXPECT_FALSE(requestLength(std::vector<std::uint8_t>{1, 0x10, 0, 0, 0, 2}, &needMore));
    EXPECT_TRUE(needMore);
    EXPECT_EQ(requestLength(std::vector<std::uint8_t>{1, 0x10, 0, 0, 0, 2, 4}), 13u);
    EXPECT_FALSE(requestLength(std::vector<std::uint8_t>{1, 0x2B}, &needMore));
    EXPECT_FALSE(needMore);
}

TEST_F(Framer, WholeRequestEndsWithoutWaitingForThePause)
{
    const auto req = withCrc({1, 0x03, 0, 0, 0, 6});
    push(req, 0ms);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, Kind::Frame);
    EXPECT_EQ(events[0].bytes, req);
    EXPECT_EQ(framer.pending(), 0u);
    EXPECT_FALSE(framer.silenceDeadline());
}

TEST_F(Framer, RequestArrivingByteByByteIsOneFrame)
{
    const auto req = withCrc({2, 0xA0, 0x01, 0x2C});
    for (std::size_t i = 0; i < req.size(); ++i)
        push({req[i]}, std::chrono::microseconds(1042 * i));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].bytes, req);
}

TEST_F(Framer, BackToBackRequestsAreSeparated)
{
    auto both = withCrc({1, 0xA1});
    const auto second = withCrc({2, 0xA7, 1});
    both.insert(both.end(), second.begin(), second.end());
    push(both, 0ms);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].bytes, second);
}

TEST_F(Framer, PauseInsideARequestDropsTheFirstPart)
{
    const auto req = withCrc({1, 0x03, 0, 0, 0, 6});
    push({req.begin(), req.begin() + 3}, 0ms);
    EXPECT_EQ(framer.silenceDeadline(), t0 + kFrameSilence);
    idle(3ms);
    EXPECT_TRUE(events.empty()) << "3 ms is shorter than 3.5 characters";
    idle(4ms);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, Kind::Dropped);
    EXPECT_EQ(events[0].bytes.size(), 3u);
    // The rest alone is no request either.
    push({req.begin() + 3, req.end()}, 10ms);
    idle(20ms);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].kind, Kind::Dropped);
}

TEST_F(Framer, LatePushEndsThePreviousPartialFirst)
{
    push({0x55, 0x01}, 0ms);
    const auto req = withCrc({1, 0xA5});
    push(req, 5ms);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].kind, Kind::Dropped);
    EXPECT_EQ(events[1].kind, Kind::Frame);
    EXPECT_EQ(events[1].bytes, req);
}

TEST_F(Framer, CorruptRequestIsThrownAwayUpToThePause)
{
    auto bad = withCrc({1, 0x03, 0, 0, 0, 6});
    bad[7] ^= 0x01;
    // The valid request glued to it belongs to the same burst and goes too.
    auto burst = bad;
    const auto good = withCrc({1, 0xA1});
    burst.insert(burst.end(), good.begin(), good.end());
    push(burst, 0ms);
    EXPECT_TRUE(events.empty());
    idle(4ms);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, Kind::Dropped);
    EXPECT_EQ(events[0].bytes.size(), burst.size());
    push(good, 10ms);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].kind, Kind::Frame);
}

TEST_F(Framer, CodeWithoutFixedLengthEndsAtThePause)
{
    const auto req = withCrc({1, 0x2B, 0x0E, 0x01, 0x00});
    push(req, 0ms);
    EXPECT_TRUE(events.empty());
    idle(4ms);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, Kind::Frame);
    EXPECT_EQ(events[0].bytes, req);

    push({1, 0x2B, 0x0E, 0x01, 0x00, 0x12, 0x34}, 10ms);
    idle(14ms);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].kind, Kind::Dropped);
}

TEST_F(Framer, WriteMultipleLengthComesFromItsByteCount)
{
    const auto req = withCrc({1, 0x10, 0, 0, 0, 2, 4, 0, 1, 0, 2});
    push(req, 0ms);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].bytes.size(), 13u);
}

TEST_F(Framer, EndlessNoiseStaysBounded)
{
    const std::vector<std::uint8_t> noise(1000, 0x5A);
    push(noise, 0ms);
    EXPECT_LE(framer.pending(), kMaxFrame);
    idle(4ms);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, Kind::Dropped);
    EXPECT_EQ(framer.pending(), 0u);
}

TEST_F(Framer, LongerPauseCanBeChosen)
{
    RequestFramer slow(50ms);
    const auto req = withCrc({1, 0xA4});
    slow.push({req.begin(), req.begin() + 2}, t0, events);
    slow.idle(t0 + 30ms, events);
    slow.push({req.begin() + 2, req.end()}, t0 + 30ms, events);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, Kind::Frame);
}

}  // namespace
}  // namespace grafimo::sim
