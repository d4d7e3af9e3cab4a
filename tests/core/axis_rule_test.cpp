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
    // Passing the extremes reversed still gives an ordered range.
    const AxisRange r = addPointRange(20.0, 10.0, 15.0f);
    EXPECT_LT(r.minimum, r.maximum);
    EXPECT_GE(r.maximum - r.minimum, 1e-10);
}

TEST(AxisRule, HugeFlatValuesStillGetARangeAroundThem)
{
    for (float v : {1e8f, -1e8f, 3e6f, 1e30f, FLT_MAX, -FLT_MAX}) {
        SCOPED_TRACE(v);
        MinMaxTracker t;
        addPoint(t, v);
        const AxisRange r = addPoint(t, v);
        EXPECT_LT(r.minimum, static_cast<double>(v));
        EXPECT_GT(r.maximum, static_cast<double>(v));
        EXPECT_TRUE(std::isfinite(r.minimum));
        EXPECT_TRUE(std::isfinite(r.maximum));
        EXPECT_NEAR(r.maximum - r.minimum, 2e-6 * std::fabs(static_cast<double>(v)),
                    1e-9 * std::fabs(static_cast<double>(v)));
    }
    // Just below the size where +-0.1 vanishes, the ordinary rule still applies.
    MinMaxTracker t;
    addPoint(t, 1e6f);
    const AxisRange r = addPoint(t, 1e6f);
    EXPECT_EQ(r.minimum, static_cast<double>(static_cast<float>(1e6 - 0.1)));
    EXPECT_EQ(r.maximum, static_cast<double>(static_cast<float>(1e6 + 0.1)));
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
