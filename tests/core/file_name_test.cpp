// The suggested file names: what FAT and exFAT refuse, and the 255-byte limit, for every name
// the program offers; and the copy numbers that keep "Сохранить все" from replacing a file.

#include "grafimo/file_name.h"

#include <gtest/gtest.h>

#include <set>

using namespace grafimo;

namespace {

std::string repeated(std::string_view s, int n)
{
    std::string out;
    for (int i = 0; i < n; ++i)
        out += s;
    return out;
}

const std::string kZhe = "\xD0\x96";            // "Ж", two bytes
const std::string kEuro = "\xE2\x82\xAC";       // "€", three
const std::string kGauge = "\xF0\x9F\x93\x88";  // a chart sign, four
const std::string kStamp = " 09_12_2026 14_45";

TEST(SuggestedFileName, RefusedCharactersAndTheLengthLimit)
{
    // The parts are held here: a name's views must not outlive them.
    const struct {
        const char* what;
        std::string prefix, description, stamp, extension;
        unsigned copy;
        std::string expected;
    } cases[] = {
        {"plain", "", "Котёл 1", kStamp, ".txt", 1, "Котёл 1" + kStamp + ".txt"},
        {"device log", "Prot", "Котёл 1", kStamp, ".txt", 1, "ProtКотёл 1" + kStamp + ".txt"},
        {"every mark FAT refuses", "", "a\"b*c/d:e<f>g?h\\i|j", kStamp, ".txt", 1,
         "a_b_c_d_e_f_g_h_i_j" + kStamp + ".txt"},
        {"control characters", "", std::string("t\tn\nz\0e\x1F" "d\x7F", 10), kStamp, ".txt", 1,
         "t_n_z_e_d_" + kStamp + ".txt"},
        {"C1 controls are one character", "", "a\xC2\x85" "b\xC2\x9F" "c\xC2\xA0" "d", kStamp, ".txt", 1,
         "a_b_c\xC2\xA0" "d" + kStamp + ".txt"},
        {"from a date pattern", "", "x", " 3/5/24 1:07", ".png", 1, "x 3_5_24 1_07.png"},
        {"copy number", "", "dev5", kStamp, ".txt", 2, "dev5" + kStamp + " (2).txt"},
        // 126 Cyrillic letters: 252 bytes, 273 with the stamp and extension.
        {"126 Cyrillic letters", "", repeated(kZhe, 126), kStamp, ".txt", 1, repeated(kZhe, 117) + kStamp + ".txt"},
        {"cut at a character, not a byte", "", "a" + repeated(kZhe, 126), kStamp, ".txt", 1,
         "a" + repeated(kZhe, 116) + kStamp + ".txt"},
        {"three-byte characters", "", repeated(kEuro, 90), kStamp, ".txt", 1, repeated(kEuro, 78) + kStamp + ".txt"},
        {"four-byte characters", "", repeated(kGauge, 70), kStamp, ".txt", 1, repeated(kGauge, 58) + kStamp + ".txt"},
        {"a copy of a cut name is cut further", "", repeated(kZhe, 126), kStamp, ".txt", 12,
         repeated(kZhe, 114) + kStamp + " (12).txt"},
        {"exactly 255 bytes stays", "", repeated("x", 234), kStamp, ".txt", 1, repeated("x", 234) + kStamp + ".txt"},
        {"refused characters count as replaced", "", repeated("\xC2\x80", 240), kStamp, ".txt", 1,
         repeated("_", 234) + kStamp + ".txt"},
        {"a stamp too long for any description", "P", "desc", " " + repeated(kZhe, 130), ".txt", 1,
         "P " + repeated(kZhe, 124) + ".txt"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string name = suggestedFileName({c.prefix, c.description, c.stamp, c.extension, c.copy});
        EXPECT_EQ(name, c.expected);
        EXPECT_LE(name.size(), kMaxFileNameBytes);
    }
}

TEST(SuggestedFileName, ATakenNameGetsTheNextFreeCopyNumber)
{
    const auto nameFor = [](unsigned copy) {
        return suggestedFileName({"", repeated(kZhe, 126), kStamp, ".txt", copy});
    };
    const std::string first = nameFor(1);
    const struct {
        std::set<std::string> taken;
        std::string expected;
    } cases[] = {
        {{}, first},
        {{"other.txt"}, first},
        {{first}, nameFor(2)},
        {{first, nameFor(2)}, nameFor(3)},
        // A gap is used: a file deleted since keeps no number from being given again.
        {{first, nameFor(3)}, nameFor(2)},
    };
    for (const auto& c : cases) {
        const std::string name = firstFreeFileName(nameFor, [&](const std::string& n) { return c.taken.contains(n); });
        EXPECT_EQ(name, c.expected);
        EXPECT_LE(name.size(), kMaxFileNameBytes);
    }
    EXPECT_NE(nameFor(2), nameFor(3));
}

}  // namespace
