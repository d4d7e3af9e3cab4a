// The simulator's bus faults for the robustness tests: answers for an address nobody asked,
// answers longer than a master's 255-byte buffer, and a device that babbles on after its
// answer without ever leaving the line silent.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "grafimo/frames.h"
#include "grafimo/sim/model.h"
#include "grafimo_test/crc_reference.h"

using namespace grafimo::sim;

namespace {

Reply liveReply(DeviceModel& model)
{
    const auto request = grafimo::buildLiveRequest(model.address());
    auto reply = model.handle(request);
    EXPECT_TRUE(reply.has_value());
    return reply.value_or(Reply{});
}

DeviceModel withFaults(std::uint8_t address, const Faults& f)
{
    DeviceConfig c;
    c.address = address;
    c.faults = f;
    return DeviceModel(c);
}

} // namespace

TEST(SimFaultModes, ForeignAddressEveryNthAnswer)
{
    Faults f;
    f.foreignAddressEvery = 3;
    f.foreignAddress = 200;
    DeviceModel m = withFaults(5, f);
    for (unsigned n = 1; n <= 9; ++n) {
        const Reply r = liveReply(m);
        ASSERT_EQ(r.bytes.size(), 17u) << n;
        EXPECT_TRUE(grafimo::test::reference::sealOk(r.bytes)) << n;
        EXPECT_EQ(r.bytes[0], n % 3 == 0 ? 200 : 5) << n;
        // Apart from the address, the answer is the device's own.
        EXPECT_EQ(r.bytes[1], 0x03) << n;
        EXPECT_EQ(r.bytes[2], 12) << n;
    }
}

TEST(SimFaultModes, OversizeAnswerIsPaddedWithAValidCrc)
{
    struct Case {
        unsigned oversize;
        std::size_t expected;
    };
    const Case cases[] = {{0, 17}, {10, 17}, {17, 17}, {18, 18}, {256, 256}, {300, 300}, {1000, 1000}};
    for (const Case& c : cases) {
        Faults f;
        f.oversizeBytes = c.oversize;
        DeviceModel m = withFaults(7, f);
        const Reply r = liveReply(m);
        EXPECT_EQ(r.bytes.size(), c.expected) << c.oversize;
        EXPECT_TRUE(grafimo::test::reference::sealOk(r.bytes)) << c.oversize;
        EXPECT_EQ(r.bytes[0], 7) << c.oversize;
        // The live answer is still at the start, the padding after its registers.
        const auto decoded = grafimo::decodeLiveAnswer(r.bytes);
        EXPECT_TRUE(decoded.has_value()) << c.oversize;
    }
}

TEST(SimFaultModes, BabbleFollowsTheAnswerInPiecesWithShortGaps)
{
    struct Case {
        unsigned bytes;
        unsigned gapMs;
    };
    const Case cases[] = {{1, 30}, {31, 30}, {32, 10}, {2000, 30}, {4000, 5}};
    for (const Case& c : cases) {
        Faults f;
        f.babbleBytes = c.bytes;
        f.babbleGapMs = c.gapMs;
        DeviceModel m = withFaults(9, f);
        const Reply r = liveReply(m);
        const std::string what = std::to_string(c.bytes) + " bytes";
        ASSERT_EQ(r.bytes.size(), 17u + c.bytes) << what;
        // The answer itself comes first and is whole.
        EXPECT_TRUE(grafimo::test::reference::sealOk(std::span<const std::uint8_t>(r.bytes.data(), 17))) << what;
        EXPECT_EQ(r.chunkGapMs, c.gapMs) << what;
        const auto pieces = replyPieces(r);
        EXPECT_EQ(pieces.size(), (r.bytes.size() + 31) / 32) << what;
        EXPECT_LE(*std::max_element(pieces.begin(), pieces.end()), 32u) << what;
        // Not the same byte over and over: noise.
        EXPECT_TRUE(c.bytes < 8 || std::adjacent_find(r.bytes.begin() + 17, r.bytes.end(),
                                                      std::not_equal_to<>()) != r.bytes.end())
            << what;
    }
}
