#include "grafimo/crc16.h"
#include "grafimo/frames.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string_view>
#include <vector>

using namespace grafimo;

namespace {

using Bytes = std::vector<std::uint8_t>;

// Tables below were printed by tests/core/gen_frames.py with pymodbus 3.0.0rc1
// (ModbusRtuFramer, ReadHoldingRegistersRequest/Response, computeCRC); the expected
// values are the exact sums rounded once to single precision by Python's fractions.

struct RequestCase {
    std::uint8_t address;
    std::array<std::uint8_t, 8> frame;
};

const RequestCase kRequests[] = {
    {0, {0x00, 0x03, 0x00, 0x00, 0x00, 0x06, 0xC4, 0x19}},
    {1, {0x01, 0x03, 0x00, 0x00, 0x00, 0x06, 0xC5, 0xC8}},
    {2, {0x02, 0x03, 0x00, 0x00, 0x00, 0x06, 0xC5, 0xFB}},
    {10, {0x0A, 0x03, 0x00, 0x00, 0x00, 0x06, 0xC4, 0xB3}},
    {13, {0x0D, 0x03, 0x00, 0x00, 0x00, 0x06, 0xC5, 0x04}},
    {127, {0x7F, 0x03, 0x00, 0x00, 0x00, 0x06, 0xCF, 0xD6}},
    {253, {0xFD, 0x03, 0x00, 0x00, 0x00, 0x06, 0xD1, 0xF4}},
    {254, {0xFE, 0x03, 0x00, 0x00, 0x00, 0x06, 0xD1, 0xC7}},
    {255, {0xFF, 0x03, 0x00, 0x00, 0x00, 0x06, 0xD0, 0x16}},
};

struct AnswerCase {
    Bytes frame;
    float value1;
    float value2;
};

const AnswerCase kAnswers[] = {
    {{0x01, 0x03, 0x0C, 0xFF, 0xFF, 0xFF, 0xFE, 0x00, 0x32, 0x00, 0x07, 0x00, 0x03, 0x00, 0x00, 0xDC, 0xE6}, -0x1.8000000000000p+0f, 0x1.d333340000000p+2f}, // W1=-2 H1=50 W2=7 T2=3
    {{0x01, 0x03, 0x0C, 0xFF, 0xFF, 0xFF, 0xFB, 0x00, 0x19, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x3D, 0x74}, -0x1.3000000000000p+2f, 0x0.0p+0f}, // W1=-5 H1=25 W2=0 T2=0
    {{0x02, 0x03, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xD0, 0x71}, 0x0.0p+0f, 0x0.0p+0f}, // W1=0 H1=0 W2=0 T2=0
    {{0x03, 0x03, 0x0C, 0x00, 0x00, 0x00, 0x19, 0x00, 0x00, 0x00, 0x64, 0x00, 0x05, 0x00, 0x00, 0xD7, 0x28}, 0x1.9000000000000p+4f, 0x1.9200000000000p+6f}, // W1=25 H1=0 W2=100 T2=5
    {{0x0A, 0x03, 0x0C, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x8E, 0x38}, 0x1.0000060000000p+31f, 0x1.1998800000000p+16f}, // W1=2147483647 H1=65535 W2=65535 T2=65535
    {{0x1A, 0x03, 0x0C, 0x80, 0x00, 0x00, 0x00, 0x00, 0x63, 0x00, 0x01, 0x00, 0x09, 0x00, 0x00, 0x74, 0xC1}, -0x1.0000000000000p+31f, 0x1.e666660000000p+0f}, // W1=-2147483648 H1=99 W2=1 T2=9
    {{0xFD, 0x03, 0x0C, 0x00, 0x01, 0xE2, 0x40, 0x00, 0x4E, 0x10, 0xE1, 0x00, 0x09, 0x00, 0x00, 0x3F, 0x12}, 0x1.e240c80000000p+16f, 0x1.0e1e660000000p+12f}, // W1=123456 H1=78 W2=4321 T2=9
    {{0x0D, 0x03, 0x0C, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x01, 0x00, 0x14, 0x00, 0x0A, 0x00, 0x00, 0x8B, 0xB1}, -0x1.fae1480000000p-1f, 0x1.5000000000000p+4f}, // W1=-1 H1=1 W2=20 T2=10
};

// Same bits, so -0.0f and 0.0f are told apart.
void expectSameFloat(float expected, float actual)
{
    std::uint32_t e;
    std::uint32_t a;
    std::memcpy(&e, &expected, 4);
    std::memcpy(&a, &actual, 4);
    EXPECT_EQ(e, a) << "expected " << expected << ", got " << actual;
}

} // namespace

TEST(Crc16, StandardCheckValue)
{
    constexpr std::string_view text = "123456789";
    const Bytes bytes(text.begin(), text.end());
    EXPECT_EQ(crc16(bytes), 0x4B37);
    const Crc crc = crc16Bytes(bytes);
    EXPECT_EQ(crc.CrcLo, 0x37);
    EXPECT_EQ(crc.CrcHi, 0x4B);
}

TEST(LiveRequest, MatchesIndependentlyFramedRequests)
{
    for (const auto& c : kRequests)
        EXPECT_EQ(buildLiveRequest(c.address), c.frame) << "address " << int(c.address);
}

TEST(AppendCrc, ClosesMessageWithLowByteFirst)
{
    const Bytes message{0x01, 0x03, 0x00, 0x00, 0x00, 0x06};
    EXPECT_EQ(appendCrc(message), (Bytes{0x01, 0x03, 0x00, 0x00, 0x00, 0x06, 0xC5, 0xC8}));
    EXPECT_EQ(appendCrc({}), (Bytes{0xFF, 0xFF}));
    EXPECT_EQ(appendCrc(Bytes{0x01}), (Bytes{0x01, 0x7E, 0x80}));
}

TEST(AnswerCrc, AcceptsEveryIndependentlyFramedAnswer)
{
    for (const auto& c : kAnswers)
        EXPECT_TRUE(answerCrcOk(c.frame));
    for (const auto& c : kRequests)
        EXPECT_TRUE(answerCrcOk(c.frame));
}

TEST(AnswerCrc, RejectsAnySingleBitError)
{
    for (const auto& c : kAnswers) {
        for (std::size_t byte = 0; byte < c.frame.size(); ++byte) {
            for (int bit = 0; bit < 8; ++bit) {
                Bytes damaged = c.frame;
                damaged[byte] ^= static_cast<std::uint8_t>(1u << bit);
                EXPECT_FALSE(answerCrcOk(damaged)) << "byte " << byte << " bit " << bit;
            }
        }
    }
}

TEST(AnswerCrc, ShortAnswers)
{
    EXPECT_FALSE(answerCrcOk({}));
    EXPECT_FALSE(answerCrcOk(Bytes{0xFF}));
    EXPECT_FALSE(answerCrcOk(Bytes{0x00}));
    // The CRC of nothing is FF FF, so this two-byte answer passes, as it does on the line.
    EXPECT_TRUE(answerCrcOk(Bytes{0xFF, 0xFF}));
    EXPECT_FALSE(answerCrcOk(Bytes{0xFF, 0xFE}));
    EXPECT_TRUE(answerCrcOk(Bytes{0x01, 0x7E, 0x80}));
    // Only the last two bytes count as the CRC: a frame cut by one byte fails.
    Bytes cut = kAnswers[0].frame;
    cut.pop_back();
    EXPECT_FALSE(answerCrcOk(cut));
}

TEST(LiveAnswer, DecodesIndependentlyFramedAnswers)
{
    for (const auto& c : kAnswers) {
        SCOPED_TRACE(::testing::Message() << "address " << int(c.frame[0]));
        const auto s = decodeLiveAnswer(c.frame);
        ASSERT_TRUE(s.has_value());
        EXPECT_EQ(s->address, c.frame[0]);
        expectSameFloat(c.value1, s->value1);
        expectSameFloat(c.value2, s->value2);
    }
}

TEST(LiveAnswer, HundredthsAreAddedAlsoToNegativeWholeParts)
{
    const auto a = decodeLiveAnswer(kAnswers[0].frame); // FF FF FF FE / 00 32, 00 07 / 00 03
    ASSERT_TRUE(a);
    EXPECT_EQ(a->value1, -1.5f);
    EXPECT_EQ(a->value2, 7.3f);
    const auto b = decodeLiveAnswer(kAnswers[1].frame); // W1 = -5, H1 = 25
    ASSERT_TRUE(b);
    EXPECT_EQ(b->value1, -4.75f);
}

TEST(LiveAnswer, FunctionCodeIsNotChecked)
{
    // Function 0x83 with a valid CRC and the full length is decoded like any answer.
    const Bytes frame{0x05, 0x83, 0x0C, 0x00, 0x00, 0x00, 0x0C, 0x00, 0x22,
                      0x00, 0x38, 0x00, 0x07, 0x00, 0x00, 0x51, 0x35};
    const auto s = decodeLiveAnswer(frame);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->address, 5);
    EXPECT_EQ(s->value1, 12.34f);
    EXPECT_EQ(s->value2, 56.7f);
}

TEST(LiveAnswer, NeedsEveryDecodedByteAndTheCrc)
{
    // Bytes 0..12 and a CRC: 15 bytes, the least that can be decoded.
    const Bytes fifteen{0x05, 0x03, 0x0C, 0x00, 0x00, 0x00, 0x0C, 0x00,
                        0x22, 0x00, 0x38, 0x00, 0x07, 0xC0, 0xB2};
    ASSERT_TRUE(answerCrcOk(fifteen));
    const auto s = decodeLiveAnswer(fifteen);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->value1, 12.34f);
    EXPECT_EQ(s->value2, 56.7f);

    // CRC-valid but one byte short: never decoded from whatever lies beyond.
    const Bytes fourteen{0x05, 0x03, 0x0C, 0x00, 0x00, 0x00, 0x0C,
                         0x00, 0x22, 0x00, 0x38, 0x00, 0xBE, 0x01};
    ASSERT_TRUE(answerCrcOk(fourteen));
    EXPECT_FALSE(decodeLiveAnswer(fourteen));

    // The exception answer of a standard slave is CRC-valid but far too short.
    const Bytes exception{0x01, 0x83, 0x02, 0xC0, 0xF1};
    ASSERT_TRUE(answerCrcOk(exception));
    EXPECT_FALSE(decodeLiveAnswer(exception));

    EXPECT_FALSE(decodeLiveAnswer(Bytes{0xFF, 0xFF}));
    EXPECT_FALSE(decodeLiveAnswer({}));
}

TEST(LiveAnswer, WrongCrcIsDropped)
{
    Bytes frame = kAnswers[3].frame;
    frame.back() ^= 0x01;
    EXPECT_FALSE(decodeLiveAnswer(frame));
}
