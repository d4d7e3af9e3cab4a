#include "grafimo/export_text.h"

#include "grafimo_test/russian_dates.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

using namespace grafimo;
using grafimo::test::russianFormats;
using grafimo::testing::Bytes;
using grafimo::testing::readBytes;
using grafimo::testing::TempDir;
using grafimo::testing::writeBytes;
namespace fs = std::filesystem;

namespace {

double at(int year, int month, int day, int hour = 0, int minute = 0, int second = 0, int ms = 0)
{
    return encodeDateTime({year, month, day, hour, minute, second, ms}).value();
}

std::string text(const fs::path& p)
{
    const Bytes b = readBytes(p);
    return std::string(b.begin(), b.end());
}

void writeText(const fs::path& p, const std::string& s)
{
    writeBytes(p, Bytes(s.begin(), s.end()));
}

void putLe(Bytes& out, std::uint64_t bits, int bytes)
{
    for (int k = 0; k < bytes; ++k)
        out.push_back(static_cast<std::uint8_t>(bits >> (8 * k)));
}

Bytes encode(const std::vector<HistoryRecord>& records)
{
    Bytes b;
    for (const HistoryRecord& r : records) {
        putLe(b, std::bit_cast<std::uint32_t>(r.value1), 4);
        putLe(b, std::bit_cast<std::uint32_t>(r.value2), 4);
        putLe(b, std::bit_cast<std::uint64_t>(r.time), 8);
    }
    return b;
}

std::vector<std::string> entries(const fs::path& dir)
{
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// ---------------------------------------------------------------------------------------
// General number format

struct NumberCase {
    float value;
    int precision;
    const char* separator;
    const char* expected;
};

const float kInf = std::numeric_limits<float>::infinity();
const float kNan = std::numeric_limits<float>::quiet_NaN();

const NumberCase kNumberCases[] = {
    // The documented examples.
    {23.4f, 6, ".", "23.4"},
    {55.67f, 3, ".", "55.7"},
    {100000.0f, 6, ".", "100000"},
    {1000000.0f, 6, ".", "1E6"},
    {1234567.8f, 6, ".", "1.23457E6"},
    {100.0f, 3, ".", "100"},
    {1234.5f, 3, ".", "1.23E3"},
    {999.6f, 3, ".", "1E3"},
    {0.0001f, 6, ".", "0.0001"},
    {0.00001f, 6, ".", "1E-5"},
    {-5.5f, 6, ".", "-5.5"},
    {0.0f, 6, ".", "0"},
    // Zero of either sign, infinities, not-a-number.
    {-0.0f, 6, ".", "0"},
    {-0.0f, 3, ",", "0"},
    {kInf, 6, ".", "INF"},
    {-kInf, 3, ".", "-INF"},
    {kNan, 6, ".", "NAN"},
    {-kNan, 3, ".", "NAN"},
    // Denormals and the ends of the float range.
    {1e-45f, 6, ".", "1.4013E-45"},
    {1e-45f, 3, ".", "1.4E-45"},
    {-1e-45f, 6, ".", "-1.4013E-45"},
    {1.17549435e-38f, 6, ".", "1.17549E-38"},
    {1.17549435e-38f, 3, ".", "1.18E-38"},
    {3.4028235e38f, 6, ".", "3.40282E38"},
    {3.4028235e38f, 3, ".", "3.4E38"},
    // Rounding that carries into a new leading digit, and so can change notation.
    {9.999995f, 6, ".", "10"},
    {0.00099999f, 6, ".", "0.00099999"},
    {0.00099999f, 3, ".", "0.001"},
    {999.95f, 3, ".", "1E3"},
    {999.95f, 6, ".", "999.95"},
    {99999.95f, 6, ".", "100000"},
    {99999.95f, 3, ".", "1E5"},
    // The edges of fixed notation: E = -3 and E = P are fixed, one step beyond is not.
    {0.000123f, 3, ".", "0.000123"},
    {0.0000999f, 3, ".", "9.99E-5"},
    {999999.0f, 6, ".", "999999"},
    {123456.7f, 6, ".", "123457"},
    {999.0f, 3, ".", "999"},
    {1000.0f, 3, ".", "1E3"},
    {10000000.0f, 6, ".", "1E7"},
    {1.5e-7f, 6, ".", "1.5E-7"},
    {1e10f, 6, ".", "1E10"},
    {123456789.0f, 3, ".", "1.23E8"},
    {0.5f, 6, ".", "0.5"},
    {1.0f, 3, ".", "1"},
    {0.001f, 3, ".", "0.001"},
    // Exactly halfway: away from zero.
    {122.5f, 3, ".", "123"},
    {-122.5f, 3, ".", "-123"},
    {12.25f, 3, ".", "12.3"},
    {0.5625f, 3, ".", "0.563"},
    {12345.25f, 6, ".", "12345.3"},
    {1234565.0f, 6, ".", "1.23457E6"},
    {999.5f, 3, ".", "1E3"},
    // Separators: the Russian comma, and one of more than one byte.
    {23.4f, 6, ",", "23,4"},
    {-0.0625f, 3, ",", "-0,0625"},
    {1234567.8f, 6, ",", "1,23457E6"},
    {23.4f, 6, "\xD9\xAB", "23\xD9\xAB" "4"},
    {1.5e-7f, 6, "\xD9\xAB", "1\xD9\xAB" "5E-7"},
};

TEST(GeneralNumberFormat, Table)
{
    for (const NumberCase& c : kNumberCases) {
        EXPECT_EQ(formatGeneral(c.value, c.precision, c.separator), c.expected)
            << "value " << c.value << " precision " << c.precision;
    }
}

TEST(GeneralNumberFormat, AppendsToWhatIsThere)
{
    std::string s = "x=";
    appendGeneral(s, 1234567.8f, 6, ".");
    appendGeneral(s, -0.00001f, 3, ",");
    EXPECT_EQ(s, "x=1.23457E6-1E-5");
}

TEST(GeneralNumberFormat, PrecisionOutsideTheRangeIsRefused)
{
    EXPECT_THROW(formatGeneral(1.0f, 0, "."), std::out_of_range);
    EXPECT_THROW(formatGeneral(1.0f, 18, "."), std::out_of_range);
    EXPECT_EQ(formatGeneral(0.1f, 17, "."), "0.10000000149011612");
}

// Reference built another way: printf's 32 significant digits of the widened float,
// rounded by hand on the digit string and laid out as whole and fractional parts. The
// exact decimal of a halfway float is short, so 32 digits hold it whole.
std::string referenceGeneral(float value, int precision, const std::string& sep)
{
    if (std::isnan(value))
        return "NAN";
    if (std::isinf(value))
        return value > 0 ? "INF" : "-INF";
    if (value == 0.0f)
        return "0";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.31e", std::fabs(static_cast<double>(value)));
    std::string digits = std::string(1, buf[0]) + std::string(buf + 2, 31);
    int exp10 = std::atoi(std::strchr(buf, 'e') + 1);

    const bool up = digits[static_cast<std::size_t>(precision)] >= '5';
    digits.resize(static_cast<std::size_t>(precision));
    if (up) {
        int i = precision - 1;
        while (i >= 0 && digits[static_cast<std::size_t>(i)] == '9')
            digits[static_cast<std::size_t>(i--)] = '0';
        if (i < 0) {
            digits = "1" + digits.substr(0, digits.size() - 1);
            ++exp10;
        } else {
            ++digits[static_cast<std::size_t>(i)];
        }
    }
    while (digits.size() > 1 && digits.back() == '0')
        digits.pop_back();

    std::string body;
    const int e = exp10 + 1;
    if (e < -3 || e > precision) {
        body = digits.substr(0, 1);
        if (digits.size() > 1)
            body += sep + digits.substr(1);
        body += "E" + std::to_string(exp10);
    } else {
        std::string whole;
        std::string fraction;
        if (e <= 0) {
            whole = "0";
            fraction = std::string(static_cast<std::size_t>(-e), '0') + digits;
        } else {
            const auto n = static_cast<std::size_t>(e);
            whole = digits.substr(0, std::min(n, digits.size()));
            whole.resize(n, '0');
            if (digits.size() > n)
                fraction = digits.substr(n);
        }
        body = fraction.empty() ? whole : whole + sep + fraction;
    }
    return std::signbit(value) ? "-" + body : body;
}

TEST(GeneralNumberFormat, ReferenceAgreesOnTheTable)
{
    for (const NumberCase& c : kNumberCases)
        EXPECT_EQ(referenceGeneral(c.value, c.precision, c.separator), c.expected)
            << "value " << c.value << " precision " << c.precision;
}

TEST(GeneralNumberFormat, MatchesReferenceOnRandomBitPatterns)
{
    std::mt19937 rng(20240305u);
    constexpr int kDraws = 2'000'000;
    int mismatches = 0;
    int compared = 0;
    for (int i = 0; i < kDraws; ++i) {
        const float v = std::bit_cast<float>(static_cast<std::uint32_t>(rng()));
        if (!std::isfinite(v))
            continue;
        ++compared;
        for (int precision : {6, 3}) {
            const char* sep = precision == 6 ? "." : ",";
            const std::string got = formatGeneral(v, precision, sep);
            const std::string want = referenceGeneral(v, precision, sep);
            if (got != want && ++mismatches <= 10)
                ADD_FAILURE() << std::bit_cast<std::uint32_t>(v) << " P" << precision << ": "
                              << got << " != " << want;
        }
    }
    EXPECT_EQ(mismatches, 0);
    EXPECT_GT(compared, kDraws * 99 / 100);
}

// The exact value has precision + 1 significant digits, the last being 5.
bool halfwayAt(float v, int precision)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.31e", static_cast<double>(v));
    const std::string digits = std::string(1, buf[0]) + std::string(buf + 2, 31);
    const auto p = static_cast<std::size_t>(precision);
    return digits[p] == '5' && digits.find_first_not_of('0', p + 1) == std::string::npos;
}

// Random bit patterns are almost never halfway; short binary fractions and integers
// often are, so draw those too and make sure many of them are.
TEST(GeneralNumberFormat, MatchesReferenceOnShortBinaryValues)
{
    std::mt19937 rng(977u);
    std::uniform_int_distribution<int> mantissa(1, (1 << 24) - 1);
    std::uniform_int_distribution<int> scale(-14, 12);
    constexpr int kDraws = 150'000;
    int mismatches = 0;
    int halfway = 0;
    for (int i = 0; i < kDraws; ++i) {
        const float v = std::ldexp(static_cast<float>(mantissa(rng)), scale(rng)) * (i % 2 ? -1.0f : 1.0f);
        for (int precision : {6, 3}) {
            const std::string got = formatGeneral(v, precision, ".");
            const std::string want = referenceGeneral(v, precision, ".");
            if (got != want && ++mismatches <= 10)
                ADD_FAILURE() << v << " P" << precision << ": " << got << " != " << want;
            if (halfwayAt(v, precision))
                ++halfway;
        }
    }
    EXPECT_EQ(mismatches, 0);
    EXPECT_GT(halfway, 1000) << halfway;
}

// ---------------------------------------------------------------------------------------
// Export files

class ExportFile : public ::testing::Test {
protected:
    TempDir dir{"export"};
    RegionalFormats ru = russianFormats();

    const std::vector<HistoryRecord> three = {
        {23.4f, 55.67f, at(2024, 3, 5, 13, 7, 9)},
        {1000000.0f, 999.6f, at(2024, 3, 6)},
        {-5.5f, 0.0f, at(2024, 3, 6, 0, 0, 1)},
    };
    const std::string threeLines = "23,4 55,7 05.03.2024 13:07:09\r\n"
                                   "1E6 1E3 06.03.2024\r\n"
                                   "-5,5 0 06.03.2024 00:00:01\r\n";

    fs::path history(const Bytes& bytes, const std::string& name = "temp12.tmp")
    {
        const fs::path p = dir / name;
        writeBytes(p, bytes);
        return p;
    }
};

TEST_F(ExportFile, WholeRecordsInFileOrder)
{
    const Bytes all = encode(three);
    const struct {
        std::size_t bytes;
        std::uint64_t records;
        std::string expected;
    } cases[] = {
        {48, 3, threeLines},
        {40, 2, threeLines.substr(0, threeLines.find("-5,5"))},
        {15, 0, ""},
        {0, 0, ""},
    };
    for (const auto& c : cases) {
        const fs::path in = history(Bytes(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(c.bytes)));
        const fs::path out = dir / "out.txt";
        const ExportResult r = exportHistoryText(in, out, ru);
        EXPECT_TRUE(r.ok) << c.bytes << ": " << r.error;
        EXPECT_EQ(r.records, c.records);
        EXPECT_TRUE(r.error.empty());
        ASSERT_TRUE(fs::exists(out)) << c.bytes;
        EXPECT_EQ(text(out), c.expected) << c.bytes;
        EXPECT_EQ(entries(dir.path()), (std::vector<std::string>{"out.txt", "temp12.tmp"}));
        fs::remove(out);
    }
}

TEST_F(ExportFile, RecordsAppendedWhileItRunsAreLeftOut)
{
    // The poll thread goes on storing during an export; its file is read in blocks.
    const std::vector<HistoryRecord> records(20'000, HistoryRecord{1.5f, 2.5f, at(2024, 3, 5, 8, 0, 0)});
    const fs::path in = history(encode(records));
    const ExportResult r = exportHistoryText(in, dir / "out.txt", ru, [&](std::uint64_t, std::uint64_t total) {
        EXPECT_EQ(total, 20'000u);
        return appendHistoryRecord(in, HistoryRecord{9.0f, 9.0f, at(2024, 3, 5, 9, 0, 0)});
    });
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.records, 20'000u);
    EXPECT_EQ(text(dir / "out.txt").find("9 9 "), std::string::npos);
}

TEST_F(ExportFile, RecordsGivenByTheCaller)
{
    const fs::path out = dir / "log.txt";
    const ExportResult r = exportRecordsText(out, three, ru);
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.records, 3u);
    EXPECT_EQ(text(out), threeLines);

    const ExportResult none = exportRecordsText(out, {}, ru);
    EXPECT_TRUE(none.ok) << none.error;
    EXPECT_EQ(text(out), "");
}

TEST_F(ExportFile, ManyBlocksWithProgress)
{
    // About 1.4 MB of lines: more than one write block and several progress calls.
    const std::vector<HistoryRecord> records(50'000, HistoryRecord{-12.34f, 22.5f, at(2024, 3, 5, 23, 59, 58)});
    const std::string line = "-12,34 22,5 05.03.2024 23:59:58\r\n";
    std::vector<std::pair<std::uint64_t, std::uint64_t>> calls;
    const fs::path out = dir / "big.txt";
    const ExportResult r = exportHistoryText(history(encode(records)), out, ru, [&](std::uint64_t done, std::uint64_t total) {
        calls.emplace_back(done, total);
        return true;
    });
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.records, 50'000u);
    const std::string got = text(out);
    ASSERT_EQ(got.size(), line.size() * 50'000);
    for (std::size_t i = 0; i < got.size(); i += line.size())
        ASSERT_EQ(got.compare(i, line.size(), line), 0) << "line " << i / line.size();

    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls.front(), std::make_pair(std::uint64_t{0}, std::uint64_t{50'000}));
    EXPECT_EQ(calls.back(), std::make_pair(std::uint64_t{50'000}, std::uint64_t{50'000}));
    for (std::size_t i = 1; i < calls.size(); ++i)
        EXPECT_LT(calls[i - 1].first, calls[i].first);
}

TEST_F(ExportFile, MissingHistoryFileWritesNothing)
{
    const fs::path missing = dir / "temp7.tmp";
    const fs::path fresh = dir / "fresh.txt";
    const fs::path old = dir / "old.txt";
    writeText(old, "old content\r\n");
    for (const fs::path& out : {fresh, old}) {
        const ExportResult r = exportHistoryText(missing, out, ru);
        EXPECT_FALSE(r.ok);
        EXPECT_FALSE(r.cancelled);
        EXPECT_NE(r.error.find(missing.string()), std::string::npos) << r.error;
        EXPECT_NE(r.error.find(std::strerror(ENOENT)), std::string::npos) << r.error;
    }
    EXPECT_FALSE(fs::exists(fresh));
    EXPECT_EQ(text(old), "old content\r\n");
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"old.txt"});
}

TEST_F(ExportFile, OutputInMissingDirectoryFails)
{
    const fs::path out = dir / "no such dir" / "out.txt";
    const ExportResult r = exportHistoryText(history(encode(three)), out, ru);
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error.find(out.string()), std::string::npos) << r.error;
    EXPECT_NE(r.error.find(std::strerror(ENOENT)), std::string::npos) << r.error;
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"temp12.tmp"});
}

TEST_F(ExportFile, CancelLeavesNoFileAndKeepsTheOldOne)
{
    const std::vector<HistoryRecord> records(40'000, three[0]);
    const fs::path in = history(encode(records));
    const fs::path fresh = dir / "fresh.txt";
    const fs::path old = dir / "old.txt";
    writeText(old, "old content\r\n");
    // Cancelled before the first line, part way, and after the last line.
    for (int cancelAt : {1, 2, 4}) {
        for (const fs::path& out : {fresh, old}) {
            int calls = 0;
            const ExportResult r = exportHistoryText(in, out, ru, [&](std::uint64_t, std::uint64_t) {
                return ++calls < cancelAt;
            });
            EXPECT_FALSE(r.ok);
            EXPECT_TRUE(r.cancelled);
            EXPECT_EQ(calls, cancelAt);
        }
    }
    EXPECT_FALSE(fs::exists(fresh));
    EXPECT_EQ(text(old), "old content\r\n");
    EXPECT_EQ(entries(dir.path()), (std::vector<std::string>{"old.txt", "temp12.tmp"}));
}

TEST_F(ExportFile, ReplacedFileKeepsPermissionsAndLink)
{
    const fs::path target = dir / "target.txt";
    const fs::path link = dir / "link.txt";
    writeText(target, "old content\r\n");
    ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
    fs::create_symlink("target.txt", link);

    const ExportResult r = exportRecordsText(link, three, ru);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(text(target), threeLines);
    struct stat st{};
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_F(ExportFile, UnwritableDirectoryKeepsTheOldFile)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "root writes anywhere";
    const fs::path sub = dir / "locked";
    fs::create_directory(sub);
    const fs::path out = sub / "out.txt";
    writeText(out, "old content\r\n");
    fs::permissions(sub, fs::perms::owner_read | fs::perms::owner_exec);
    const ExportResult r = exportRecordsText(out, three, ru);
    fs::permissions(sub, fs::perms::owner_all);
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error.find(out.string()), std::string::npos) << r.error;
    EXPECT_NE(r.error.find(std::strerror(EACCES)), std::string::npos) << r.error;
    EXPECT_EQ(text(out), "old content\r\n");
}

} // namespace
