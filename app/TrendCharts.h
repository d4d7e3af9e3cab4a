#pragma once
// The trend charts of the windows and the one routine that feeds them.

#include <span>
#include <utility>

#include "trend_chart.h"

class QWidget;

namespace grafimo {

using qtui::TrendChart;
using qtui::TrendSeries;

// Sets the chart's value axis so that the series' points and the new one fit with a 1 %
// margin (the first point of an empty series is scaled together with 0, a flat range is
// shown as +-0.1 around its value), then appends the point (time, value) in time order.
// The range is taken from the series before the point joins it, so clearing the series
// restarts the scale.
//
// A value that is not a number leaves the axis at the range of the existing points and is
// not drawn, since it would break the line; it still counts as a point of the series
// (count(), y(i) gives NaN), so the two series of one sample stay index-aligned.
//
// GUI thread only; chart must be the chart that shows series.
void addPoint(TrendSeries& series, TrendChart& chart, float value, double time);

// The reload's bulk form: the points end up, and the value axis ends, exactly as after
// addPoint for each (value, time) pair in turn, but the line is redrawn once.
void addPoints(TrendSeries& series, TrendChart& chart,
               std::span<const std::pair<float, double>> valueTime);

// The two charts of a device tab: the upper one fills the tab, the lower one is 200 px
// high along its bottom edge. Both are children of the tab sheet and go with it.
struct TabCharts {
    TrendChart* upperChart;
    TrendSeries* upperSeries;
    TrendChart* lowerChart;
    TrendSeries* lowerSeries;
};

// startup: the tab is built from the configuration file (value labels at least 0.1 apart on
// both charts); otherwise it is added while the program runs (time labels of the lower
// chart at least 0.01 day apart, everything else default).
TabCharts createTabCharts(QWidget* tabSheet, bool startup);

// The device log window's pair, placed on parent at their fixed places.
struct LogCharts {
    TrendChart* Chart1;
    TrendSeries* Series1;
    TrendChart* Chart2;
    TrendSeries* LineSeries1;
};

LogCharts createLogCharts(QWidget* parent);

// Label step of the log charts' time axis: one second, in days.
inline constexpr double kOneSecondInDays = 1.15740740740741e-05;

} // namespace grafimo
