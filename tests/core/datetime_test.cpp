#include "grafimo/datetime.h"

#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <random>

using namespace grafimo;

namespace {

bool sameFields(const DateTimeFields& a, const DateTimeFields& b)
{
    return a.year == b.year && a.month == b.month && a.day == b.day && a.hour == b.hour &&
           a.minute == b.minute && a.second == b.second && a.millisecond == b.millisecond;
}

std::string show(const DateTimeFields& f)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", f.year, f.month, f.day,
                  f.hour, f.minute, f.second, f.millisecond);
    return buf;
}

double encodeOrFail(const DateTimeFields& f)
{
    const auto v = encodeDateTime(f);
    EXPECT_TRUE(v.has_value()) << show(f);
    return v.value_or(NAN);
}

} // namespace

TEST(DateTime, WellKnownDayNumbers)
{
    EXPECT_EQ(encodeOrFail({1899, 12, 30, 0, 0, 0, 0}), 0.0);
    EXPECT_EQ(encodeOrFail({1899, 12, 31, 0, 0, 0, 0}), 1.0);
    EXPECT_EQ(encodeOrFail({1900, 1, 1, 0, 0, 0, 0}), 2.0);
    EXPECT_EQ(encodeOrFail({2000, 1, 1, 0, 0, 0, 0}), 36526.0);
    EXPECT_EQ(encodeOrFail({1970, 1, 1, 0, 0, 0, 0}), 25569.0);
    EXPECT_EQ(encodeOrFail({1, 1, 1, 0, 0, 0, 0}), -693593.0);
    EXPECT_EQ(encodeOrFail({9999, 12, 31, 0, 0, 0, 0}), 2958465.0);
    EXPECT_EQ(encodeOrFail({2000, 1, 1, 12, 0, 0, 0}), 36526.5);
    EXPECT_EQ(encodeOrFail({2000, 1, 1, 6, 0, 0, 0}), 36526.25);
}

TEST(DateTime, BeforeTheEpochTheFractionIsTheTimeOfDay)
{
    EXPECT_EQ(encodeOrFail({1899, 12, 29, 6, 0, 0, 0}), -1.25);
    EXPECT_EQ(encodeOrFail({1899, 12, 29, 0, 0, 0, 0}), -1.0);
    EXPECT_EQ(encodeOrFail({1899, 12, 28, 18, 0, 0, 0}), -2.75);
    EXPECT_TRUE(sameFields(decodeDateTime(-1.25), {1899, 12, 29, 6, 0, 0, 0}));
    EXPECT_TRUE(sameFields(decodeDateTime(-2.75), {1899, 12, 28, 18, 0, 0, 0}));
    // A negative value above -1 still belongs to day 0, the time taken by absolute value.
    EXPECT_TRUE(sameFields(decodeDateTime(-0.5), {1899, 12, 30, 12, 0, 0, 0}));
}

TEST(DateTime, ValidityRules)
{
    EXPECT_TRUE(isValidDateTime({2000, 2, 29, 0, 0, 0, 0}));
    EXPECT_TRUE(isValidDateTime({2024, 2, 29, 23, 59, 59, 999}));
    EXPECT_FALSE(isValidDateTime({1900, 2, 29, 0, 0, 0, 0}));
    EXPECT_FALSE(isValidDateTime({2023, 2, 29, 0, 0, 0, 0}));
    EXPECT_FALSE(isValidDateTime({2023, 4, 31, 0, 0, 0, 0}));
    EXPECT_TRUE(isValidDateTime({2023, 12, 31, 0, 0, 0, 0}));
    EXPECT_FALSE(isValidDateTime({2023, 13, 1, 0, 0, 0, 0}));
    EXPECT_FALSE(isValidDateTime({2023, 0, 1, 0, 0, 0, 0}));
    EXPECT_FALSE(isValidDateTime({2023, 1, 0, 0, 0, 0, 0}));
    EXPECT_FALSE(isValidDateTime({0, 1, 1, 0, 0, 0, 0}));
    EXPECT_FALSE(isValidDateTime({10000, 1, 1, 0, 0, 0, 0}));
    EXPECT_FALSE(isValidDateTime({2023, 1, 1, 24, 0, 0, 0}));
    EXPECT_FALSE(isValidDateTime({2023, 1, 1, 0, 60, 0, 0}));
    EXPECT_FALSE(isValidDateTime({2023, 1, 1, 0, 0, 60, 0}));
    EXPECT_FALSE(isValidDateTime({2023, 1, 1, 0, 0, 0, 1000}));
    EXPECT_FALSE(isValidDateTime({2023, 1, 1, -1, 0, 0, 0}));
    EXPECT_FALSE(isValidDateTime({2023, 1, 1, 0, 0, 0, -1}));
    EXPECT_FALSE(encodeDateTime({2023, 2, 29, 12, 0, 0, 0}).has_value());
}

TEST(DateTime, WholeMinutesNeverComeBackOneMillisecondEarly)
{
    // Values built the way other code builds them: day plus a sum of fractions.
    for (int h = 0; h < 24; ++h) {
        for (int m = 0; m < 60; ++m) {
            const double v = 45000.0 + h / 24.0 + m / 1440.0;
            const DateTimeFields f = decodeDateTime(v);
            EXPECT_TRUE(sameFields(f, {2023, 3, 15, h, m, 0, 0})) << show(f);
        }
    }
    const DateTimeFields f = decodeDateTime(45000.0 + 13.0 / 24.0 + 5.0 / 1440.0);
    EXPECT_EQ(show(f), "2023-03-15 13:05:00.000");
}

TEST(DateTime, JustBeforeMidnightRoundsIntoTheNextDay)
{
    const DateTimeFields f = decodeDateTime(45000.0 + 86'399'999.6 / 86'400'000.0);
    EXPECT_EQ(show(f), "2023-03-16 00:00:00.000");
    const DateTimeFields g = decodeDateTime(45000.0 + 86'399'999.0 / 86'400'000.0);
    EXPECT_EQ(show(g), "2023-03-15 23:59:59.999");
}

TEST(DateTime, RoundTripOverTheWholeRange)
{
    std::mt19937 rng(485);
    std::uniform_int_distribution<int> year(1, 9999), month(1, 12), day(1, 31), hour(0, 23),
        minute(0, 59), second(0, 59), ms(0, 999);
    int checked = 0;
    while (checked < 20000) {
        const DateTimeFields f{year(rng), month(rng), day(rng), hour(rng),
                               minute(rng), second(rng), ms(rng)};
        if (!isValidDateTime(f))
            continue;
        ++checked;
        const DateTimeFields back = decodeDateTime(encodeOrFail(f));
        ASSERT_TRUE(sameFields(f, back)) << show(f) << " came back as " << show(back);
    }
}

TEST(DateTime, ConsecutiveDaysAreOneApart)
{
    // Walks 1899..1901 day by day across the epoch, where the sign of the value turns.
    DateTimeFields f{1899, 1, 1, 0, 0, 0, 0};
    double previous = encodeOrFail(f);
    for (int i = 0; i < 3 * 365; ++i) {
        const DateTimeFields next = decodeDateTime(previous + 1.0);
        ASSERT_TRUE(isValidDateTime(next)) << show(next);
        const double v = encodeOrFail(next);
        ASSERT_EQ(v, previous + 1.0) << show(next);
        previous = v;
    }
    EXPECT_EQ(show(decodeDateTime(previous)), "1902-01-01 00:00:00.000");
}

TEST(DateTime, UnrepresentableValuesDecodeAsInvalid)
{
    EXPECT_FALSE(isValidDateTime(decodeDateTime(NAN)));
    EXPECT_FALSE(isValidDateTime(decodeDateTime(INFINITY)));
    EXPECT_FALSE(isValidDateTime(decodeDateTime(-INFINITY)));
    EXPECT_FALSE(isValidDateTime(decodeDateTime(2958466.0)));  // 10000-01-01
    EXPECT_FALSE(isValidDateTime(decodeDateTime(-693594.0)));  // 0000-12-31
    EXPECT_FALSE(isValidDateTime(decodeDateTime(1e300)));
    EXPECT_EQ(show(decodeDateTime(2958465.999)), "9999-12-31 23:58:33.600");
    EXPECT_EQ(show(decodeDateTime(-693593.5)), "0001-01-01 12:00:00.000");
}

TEST(DateTime, NowIsTheLocalClock)
{
    auto localValue = [](std::time_t t) {
        std::tm tm{};
        localtime_r(&t, &tm);
        return encodeDateTime({tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                               tm.tm_min, std::min(tm.tm_sec, 59), 0})
            .value_or(NAN);
    };
    const std::time_t before = std::time(nullptr);
    const double now = nowDateTime();
    const std::time_t after = std::time(nullptr);
    EXPECT_GE(now, localValue(before));
    EXPECT_LT(now, localValue(after) + 1.0 / 86400.0);
}
