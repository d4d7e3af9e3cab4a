#include "grafimo/text_codec.h"

#include <gtest/gtest.h>

using namespace grafimo;

namespace {

// Bytes 0x80..0xFF decoded by Python's cp1251 codec, 0x98 replaced by U+FFFD
// (printed by tests/core/gen_frames.py).
constexpr const char* kHighHalf =
    "ЂЃ‚ѓ„…†‡€‰Љ‹ЊЌЋЏђ‘’“”•–—�™љ›њќћџ\u00A0ЎўЈ¤Ґ¦§Ё©Є«¬\u00AD®Ї°±Ііґµ¶·ё№є»јЅѕїАБВГДЕЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯабвгдежзийклмнопрстуфхцчшщъыьэюя";

std::string bytesFrom(int first, int last)
{
    std::string s;
    for (int b = first; b <= last; ++b)
        s += static_cast<char>(b);
    return s;
}

} // namespace

TEST(TextCodec, FullTableMatchesIndependentDecoder)
{
    EXPECT_EQ(cp1251ToUtf8(bytesFrom(0x80, 0xFF)), kHighHalf);
    EXPECT_EQ(cp1251ToUtf8(bytesFrom(0x00, 0x7F)), bytesFrom(0x00, 0x7F));
}

TEST(TextCodec, EveryMappedByteRoundTrips)
{
    for (int b = 0; b < 256; ++b) {
        if (b == 0x98)
            continue;
        const std::string one(1, static_cast<char>(b));
        const auto back = utf8ToCp1251(cp1251ToUtf8(one));
        ASSERT_TRUE(back.has_value()) << "byte " << b;
        EXPECT_EQ(*back, one) << "byte " << b;
    }
}

TEST(TextCodec, RussianDescription)
{
    const auto bytes = utf8ToCp1251("Датчик №3, цех Ё");
    ASSERT_TRUE(bytes);
    EXPECT_EQ(*bytes, "\xC4\xE0\xF2\xF7\xE8\xEA \xB9\x33, \xF6\xE5\xF5 \xA8");
    EXPECT_EQ(cp1251ToUtf8(*bytes), "Датчик №3, цех Ё");
}

TEST(TextCodec, UnmappedByteBecomesReplacementCharacter)
{
    EXPECT_EQ(cp1251ToUtf8("a\x98" "b"), "a\xEF\xBF\xBD" "b");
    // ... and the replacement character itself has no byte to go back to.
    EXPECT_FALSE(utf8ToCp1251("\xEF\xBF\xBD"));
}

TEST(TextCodec, CharactersWithoutAByteAreRefused)
{
    EXPECT_FALSE(utf8ToCp1251("é"));        // U+00E9, Latin
    EXPECT_FALSE(utf8ToCp1251("温度"));      // CJK
    EXPECT_FALSE(utf8ToCp1251("x😀"));       // outside the BMP
    EXPECT_FALSE(utf8ToCp1251("Ω"));        // Greek
}

TEST(TextCodec, InvalidUtf8IsRefused)
{
    EXPECT_FALSE(utf8ToCp1251("\xC0\xAF"));         // overlong '/'
    EXPECT_FALSE(utf8ToCp1251("\xE0\x80\xAF"));     // overlong, three bytes
    EXPECT_FALSE(utf8ToCp1251("\xED\xA0\x80"));     // surrogate
    EXPECT_FALSE(utf8ToCp1251("\xF4\x90\x80\x80")); // above U+10FFFF
    EXPECT_FALSE(utf8ToCp1251("\xD0"));             // truncated at the end
    EXPECT_FALSE(utf8ToCp1251("\xD0" "A"));         // bad continuation
    EXPECT_FALSE(utf8ToCp1251("\x80"));             // stray continuation
    EXPECT_FALSE(utf8ToCp1251("\xFF"));
    EXPECT_FALSE(utf8ToCp1251("\xF8\x88\x80\x80\x80"));
}

TEST(TextCodec, EmptyAndNulPassThrough)
{
    EXPECT_EQ(utf8ToCp1251(""), std::string());
    EXPECT_EQ(utf8ToCp1251(std::string_view("a\0b", 3)), std::string("a\0b", 3));
    EXPECT_EQ(cp1251ToUtf8(std::string_view("a\0b", 3)), std::string("a\0b", 3));
}
