#pragma once
#include <cstddef>

namespace grafimo {

// The value-axis range that addPoint sets before it appends a point.
struct AxisRange {
    double minimum;
    double maximum;
};

// seriesMin/seriesMax: smallest and largest Y already in the series (0 and 0 when it is
// empty). Both are taken to single precision and widened by the new value; the range
// gets a margin of 1 % of its width on each side (bounds in single precision), a flat
// range becomes +-0.1 around its value, and the result goes through the axis rule
// (swap a reversed pair; a width below 1e-10 becomes exactly 1e-10).
//
// Two cases have no rule of their own and are settled here:
// - a value that is not finite (NaN, infinity) does not move the axis: the range is that
//   of the existing points alone, so one bad sample never spoils the scale;
// - a flat series of values so large that neither +-0.1 nor 1e-10 changes them (about
//   2e6 and beyond, e.g. 1e8) is given +-|value| * 1e-6 around the value.
// Bounds beyond the single-precision range are held at +-FLT_MAX.
AxisRange addPointRange(double seriesMin, double seriesMax, float value);

// Running minimum and maximum of a series' Y values, equal to a full scan over the
// finite values. count() counts every value added; minimum() and maximum() are 0 while
// no finite value has been added. Values that are not finite never enter the
// extremes, matching addPointRange, which never lets them move the axis.
class MinMaxTracker {
public:
    void add(double y);
    void clear();
    double minimum() const { return hasValue_ ? min_ : 0.0; }
    double maximum() const { return hasValue_ ? max_ : 0.0; }
    bool empty() const { return count_ == 0; }
    std::size_t count() const { return count_; }

private:
    double min_ = 0.0;
    double max_ = 0.0;
    bool hasValue_ = false;
    std::size_t count_ = 0;
};

} // namespace grafimo
