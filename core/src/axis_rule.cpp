#include "grafimo/axis_rule.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <utility>

namespace grafimo {

namespace {

constexpr double kMinAxisWidth = 1e-10;

// Double to single precision, to nearest, held within the finite float range (a plain
// conversion of an out-of-range double is undefined).
float toFloat(double d)
{
    if (std::isnan(d))
        return static_cast<float>(d);
    if (d >= static_cast<double>(FLT_MAX))
        return FLT_MAX;
    if (d <= -static_cast<double>(FLT_MAX))
        return -FLT_MAX;
    return static_cast<float>(d);
}

} // namespace

AxisRange addPointRange(double seriesMin, double seriesMax, float value)
{
    float mn = toFloat(seriesMin);
    float mx = toFloat(seriesMax);
    if (std::isfinite(value)) {
        if (value > mx)
            mx = value;
        if (value < mn)
            mn = value;
    }
    const double margin = (static_cast<double>(mx) - static_cast<double>(mn)) * 0.01;
    float lo = toFloat(static_cast<double>(mn) - margin);
    float hi = toFloat(static_cast<double>(mx) + margin);
    if (lo == hi) {
        lo = toFloat(static_cast<double>(lo) - 0.1);
        hi = toFloat(static_cast<double>(hi) + 0.1);
    }

    // The axis rule of the chart.
    double minimum = lo;
    double maximum = hi;
    if (minimum > maximum)
        std::swap(minimum, maximum);
    if (maximum - minimum < kMinAxisWidth)
        maximum = minimum + kMinAxisWidth;

    // Huge flat values: 1e-10 vanishes beside them, the range would be empty.
    if (!(maximum > minimum)) {
        const double widen = std::max(std::fabs(minimum) * 1e-6, kMinAxisWidth);
        minimum -= widen;
        maximum += widen;
    }
    return {minimum, maximum};
}

void MinMaxTracker::add(double y)
{
    ++count_;
    if (!std::isfinite(y))
        return;
    if (!hasValue_) {
        min_ = max_ = y;
        hasValue_ = true;
        return;
    }
    if (y < min_)
        min_ = y;
    if (y > max_)
        max_ = y;
}

void MinMaxTracker::clear()
{
    *this = MinMaxTracker{};
}

} // namespace grafimo
