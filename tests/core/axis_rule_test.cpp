#include "grafimo/axis_rule.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

using namespace grafimo;

namespace {

// The range addPoint sets when `value` joins a series tracked by `t`, then records it.
AxisRange addPoint(MinMaxTracker& t, float value)
{
    const AxisRange r = addPointRange(t.minimum(), t.maximum(), value);
    t.add(value);
    return r;
}

} // namespace

TEST(AxisRule, FirstPointIsScaledTogetherWithZero)
{
    AxisRange r = addPointRange(0, 0, 25.0f);
    EXPECT_EQ(r.minimum, static_cast<double>(-0.25f));
    EXPECT_EQ(r.maximum, static_cast<double>(25.25f));

    r = addPointRange(0, 0, -4.0f);
    EXPECT_EQ(r.minimum, static_cast<double>(-4.04f));
    EXPECT_EQ(r.maximum, static_cast<double>(0.04f));

    r = addPointRange(0, 0, 0.0f);
    EXPECT_EQ(r.minimum, static_cast<double>(-0.1f));
    EXPECT_EQ(r.maximum, static_cast<double>(0.1f));
}

TEST(AxisRule, EqualPointsGiveATenthEitherSide)
{
    MinMaxTracker t;
    addPoint(t, 25.0f);
    const AxisRange r = addPoint(t, 25.0f);
    EXPECT_EQ(r.minimum, static_cast<double>(24.9f));
    EXPECT_EQ(r.maximum, static_cast<double>(25.1f));
}

TEST(AxisRule, OnePercentMarginOnEachSide)
{
    MinMaxTracker t;
    addPoint(t, 10.0f);
    const AxisRange r = addPoint(t, 20.0f);
    EXPECT_EQ(r.minimum, static_cast<double>(9.9f));
    EXPECT_EQ(r.maximum, static_cast<double>(20.1f));

    // A later point inside the range changes nothing.
    const AxisRange same = addPoint(t, 15.0f);
    EXPECT_EQ(same.minimum, r.minimum);
    EXPECT_EQ(same.maximum, r.maximum);
}

TEST(AxisRule, ClearingRestartsFromZero)
{
    MinMaxTracker t;
    addPoint(t, 10.0f);
    addPoint(t, 20.0f);
    t.clear();
    EXPECT_TRUE(t.empty());
    EXPECT_EQ(t.minimum(), 0.0);
    EXPECT_EQ(t.maximum(), 0.0);
    const AxisRange r = addPoint(t, 25.0f);
    EXPECT_EQ(r.minimum, static_cast<double>(-0.25f));
    EXPECT_EQ(r.maximum, static_cast<double>(25.25f));
}

TEST(AxisRule, BoundsAreSinglePrecision)
{
    // 7.3 and 0.1-wide margins are not exact in binary: the bounds are the float values.
    MinMaxTracker t;
    addPoint(t, 7.3f);
    const AxisRange r = addPoint(t, 7.4f);
    const double margin = (static_cast<double>(7.4f) - static_cast<double>(7.3f)) * 0.01;
    EXPECT_EQ(r.minimum, static_cast<double>(static_cast<float>(static_cast<double>(7.3f) - margin)));
    EXPECT_EQ(r.maximum, static_cast<double>(static_cast<float>(static_cast<double>(7.4f) + margin)));
    EXPECT_EQ(static_cast<double>(static_cast<float>(r.minimum)), r.minimum);
}

TEST(AxisRule, SeriesExtremesAreTakenAsFloats)
{
    // A double minimum between two floats is rounded to the nearest float first.
    const AxisRange r = addPointRange(1.0000000001, 1.0000000001, 1.0f);
    EXPECT_EQ(r.minimum, static_cast<double>(0.9f));
    EXPECT_EQ(r.maximum, static_cast<double>(1.1f));
}

TEST(AxisRule, ReversedOrTooNarrowRangesFollowTheAxisRule)
{
    struct Case {
        const char* what;
        double seriesMin;
        double seriesMax;
        float value;
        double minimum;
        double maximum;
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const Case cases[] = {
        // A point between reversed extremes becomes both of them: flat at 15.
        {"reversed, point between", 20.0, 10.0, 15.0f, static_cast<double>(14.9f), static_cast<double>(15.1f)},
        // With no point to sort them the margins come out reversed; the axis swaps them.
        {"reversed, no point", 20.0, 10.0, nan, static_cast<double>(9.9f), static_cast<double>(20.1f)},
        // Two floats closer than the narrowest axis: it is widened upwards to 1e-10.
        {"too narrow", 0.0, 0.0, 1e-20f, -0x1.e392p-74, 0x1.b7cdfd9d79f82p-34},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const AxisRange r = addPointRange(c.seriesMin, c.seriesMax, c.value);
        EXPECT_EQ(r.minimum, c.minimum);
        EXPECT_EQ(r.maximum, c.maximum);
    }
}

TEST(AxisRule, HugeFlatValuesStillGetARangeAroundThem)
{
    // Beside these +-0.1 vanishes in single precision; the axis takes a millionth of the
    // value either side instead. The bounds are the doubles worked out once by hand.
    struct Case {
        float value;
        double minimum;
        double maximum;
    };
    const Case cases[] = {
        {1e8f, 99999900.0, 100000100.0},
        {-1e8f, -100000100.0, -99999900.0},
        {3e6f, 2999997.0, 3000003.0},
        {1e30f, 0x1.93e57987bc7f7p+99, 0x1.93e5ae7843809p+99},
        {FLT_MAX, 0x1.ffffdc7210e02p+127, 0x1.00000fc6f78ffp+128},
        {-FLT_MAX, -0x1.00000fc6f78ffp+128, -0x1.ffffdc7210e02p+127},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        MinMaxTracker t;
        addPoint(t, c.value);
        const AxisRange r = addPoint(t, c.value);
        EXPECT_EQ(r.minimum, c.minimum);
        EXPECT_EQ(r.maximum, c.maximum);
    }
    // Just below the size where +-0.1 vanishes, the ordinary rule still applies.
    MinMaxTracker t;
    addPoint(t, 1e6f);
    const AxisRange r = addPoint(t, 1e6f);
    EXPECT_EQ(r.minimum, static_cast<double>(999999.9f));
    EXPECT_EQ(r.maximum, static_cast<double>(1000000.1f));
}

TEST(AxisRule, WideRangesStayFinite)
{
    MinMaxTracker t;
    addPoint(t, -FLT_MAX);
    const AxisRange r = addPoint(t, FLT_MAX);
    EXPECT_EQ(r.minimum, -static_cast<double>(FLT_MAX));
    EXPECT_EQ(r.maximum, static_cast<double>(FLT_MAX));
}

TEST(AxisRule, NotANumberLeavesTheAxisToTheOtherPoints)
{
    MinMaxTracker t;
    addPoint(t, 10.0f);
    addPoint(t, 20.0f);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const AxisRange r = addPoint(t, nan);
    EXPECT_EQ(r.minimum, static_cast<double>(9.9f));
    EXPECT_EQ(r.maximum, static_cast<double>(20.1f));
    EXPECT_EQ(t.count(), 3u);
    EXPECT_EQ(t.minimum(), 10.0);
    EXPECT_EQ(t.maximum(), 20.0);

    // On an empty series a NaN sees the 0 and 0 of the empty series.
    const AxisRange first = addPointRange(0, 0, nan);
    EXPECT_EQ(first.minimum, static_cast<double>(-0.1f));
    EXPECT_EQ(first.maximum, static_cast<double>(0.1f));

    const AxisRange inf = addPointRange(10, 20, std::numeric_limits<float>::infinity());
    EXPECT_EQ(inf.minimum, static_cast<double>(9.9f));
    EXPECT_EQ(inf.maximum, static_cast<double>(20.1f));
}

TEST(MinMaxTracker, EmptyIsZeroAndZero)
{
    MinMaxTracker t;
    EXPECT_TRUE(t.empty());
    EXPECT_EQ(t.count(), 0u);
    EXPECT_EQ(t.minimum(), 0.0);
    EXPECT_EQ(t.maximum(), 0.0);
    t.add(std::nan(""));
    EXPECT_FALSE(t.empty());
    EXPECT_EQ(t.minimum(), 0.0);
    EXPECT_EQ(t.maximum(), 0.0);
    t.add(-3.0);
    EXPECT_EQ(t.minimum(), -3.0);
    EXPECT_EQ(t.maximum(), -3.0);
}

TEST(MinMaxTracker, EqualsAFullScan)
{
    std::mt19937 rng(1234);
    std::uniform_real_distribution<double> value(-1000.0, 1000.0);
    std::uniform_int_distribution<int> special(0, 49);
    MinMaxTracker t;
    std::vector<double> series;
    for (int i = 0; i < 20000; ++i) {
        if (i % 5000 == 4999) { // the series is cleared now and then, as a reload does
            t.clear();
            series.clear();
        }
        double y = value(rng);
        if (special(rng) == 0)
            y = std::nan("");
        t.add(y);
        series.push_back(y);

        std::vector<double> finite;
        std::copy_if(series.begin(), series.end(), std::back_inserter(finite),
                     [](double v) { return std::isfinite(v); });
        const double mn = finite.empty() ? 0.0 : *std::min_element(finite.begin(), finite.end());
        const double mx = finite.empty() ? 0.0 : *std::max_element(finite.begin(), finite.end());
        ASSERT_EQ(t.minimum(), mn) << i;
        ASSERT_EQ(t.maximum(), mx) << i;
        ASSERT_EQ(t.count(), series.size());
    }
}
