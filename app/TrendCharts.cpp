#include "TrendCharts.h"

#include <QVBoxLayout>
#include <QWidget>

#include <cmath>
#include <vector>

#include "grafimo/axis_rule.h"

namespace grafimo {

namespace {

constexpr int kLowerChartHeight = 200;
constexpr double kStartupLeftIncrement = 0.1;
constexpr double kAddedLowerBottomIncrement = 0.01;  // days: 14.4 minutes
const QString kLogTimeFormat = QStringLiteral("hh.mm dd.MM.yy");

} // namespace

void addPoint(TrendSeries& series, TrendChart& chart, float value, double time)
{
    Q_ASSERT(&chart.series() == &series);
    const AxisRange range = addPointRange(series.minY(), series.maxY(), value);
    chart.setLeftAxisRange(range.minimum, range.maximum);
    series.append(time, static_cast<double>(value));
}

void addPoints(TrendSeries& series, TrendChart& chart,
               std::span<const std::pair<float, double>> valueTime)
{
    Q_ASSERT(&chart.series() == &series);
    if (valueTime.empty())
        return;

    // Each addPoint sets the whole range, so only the last one counts: it sees the extremes
    // of the series holding every point but the last.
    MinMaxTracker before;
    std::vector<std::pair<double, double>> points;
    points.reserve(series.count() + valueTime.size());
    for (std::size_t i = 0; i < series.count(); ++i) {
        before.add(series.y(i));
        points.emplace_back(series.x(i), series.y(i));
    }
    for (std::size_t i = 0; i + 1 < valueTime.size(); ++i) {
        if (std::isfinite(valueTime[i].second))  // a point without a time never joins
            before.add(static_cast<double>(valueTime[i].first));
        points.emplace_back(valueTime[i].second, static_cast<double>(valueTime[i].first));
    }
    const auto [lastValue, lastTime] = valueTime.back();
    points.emplace_back(lastTime, static_cast<double>(lastValue));

    const AxisRange range = addPointRange(before.minimum(), before.maximum(), lastValue);
    chart.setLeftAxisRange(range.minimum, range.maximum);
    series.replaceAll(std::move(points));
}

TabCharts createTabCharts(QWidget* tabSheet, bool startup)
{
    auto* upper = new TrendChart(tabSheet);
    auto* lower = new TrendChart(tabSheet);
    lower->setFixedHeight(kLowerChartHeight);

    auto* layout = new QVBoxLayout(tabSheet);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(upper, 1);
    layout->addWidget(lower, 0);

    if (startup) {
        upper->setLeftIncrement(kStartupLeftIncrement);
        lower->setLeftIncrement(kStartupLeftIncrement);
    } else {
        lower->setBottomIncrement(kAddedLowerBottomIncrement);
    }
    return {upper, &upper->series(), lower, &lower->series()};
}

LogCharts createLogCharts(QWidget* parent)
{
    auto* chart1 = new TrendChart(parent);
    chart1->setGeometry(0, 0, 857, 417);
    auto* chart2 = new TrendChart(parent);
    chart2->setGeometry(-11, 416, 868, 153);
    for (TrendChart* c : {chart1, chart2}) {
        c->setBottomFormat(kLogTimeFormat);
        c->setBottomIncrement(kOneSecondInDays);
    }
    return {chart1, &chart1->series(), chart2, &chart2->series()};
}

} // namespace grafimo
