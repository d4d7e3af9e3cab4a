#pragma once
// The trend charts of the windows and the one routine that feeds them.

#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <span>
#include <utility>

#include "trend_chart.h"

class QImage;
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
// A chart that does not follow (zoomed or panned by the user) keeps both axes: the point
// joins the series, and the view stays until the user returns to following.
//
// GUI thread only; chart must be the chart that shows series.
void addPoint(TrendSeries& series, TrendChart& chart, float value, double time);

// The reload's bulk form: the points end up, and the value axis ends, exactly as after
// addPoint for each (value, time) pair in turn, but the line is redrawn once.
void addPoints(TrendSeries& series, TrendChart& chart,
               std::span<const std::pair<float, double>> valueTime);

// The two charts of one device (a tab's, or the device log window's) act as one: a
// double-click or Home on either returns both to the current samples, the wheel zooms the
// time axis of both, the readout marks the same sample on both, and the picture holds both.
class ChartPair : public QObject {
    Q_OBJECT
public:
    // parent owns the pair; describe gives the device's name for the picture's file name.
    ChartPair(TrendChart* upper, TrendChart* lower, QObject* parent);

    // The pair of a device tab (nothing for a widget without one).
    static ChartPair* of(const QWidget* tabSheet);

    void setDescribe(std::function<QString()> describe) { describe_ = std::move(describe); }

    // A pair whose charts are being deleted with their device follows: nothing is paused.
    bool isFollowing() const
    {
        return (!upper_ || upper_->isFollowing()) && (!lower_ || lower_->isFollowing());
    }
    void follow();
    void zoom(double key, double factor);
    // The readout for the sample nearest to dateTime on `over`'s series, on both charts.
    void showReadout(TrendChart& over, double dateTime);
    void hideReadout();
    // The time, value 1 and value 2 of the sample at point `index` of `over`'s series, as the
    // export writes them.
    QString readoutText(const TrendChart& over, std::size_t index) const;

    // Both charts as shown, one above the other.
    QImage image() const;
    QString imageFileName() const;
    void saveImage();
    void copyImage();
    QMenu* imageMenu();

    TrendChart* upper() const { return upper_; }
    TrendChart* lower() const { return lower_; }

signals:
    void followingChanged(bool following);

private:
    void connectChart(TrendChart* chart);
    void refreshFollowing();

    // The charts (and the menu, a child of the upper one) go before the tab that owns the pair.
    QPointer<TrendChart> upper_;
    QPointer<TrendChart> lower_;
    QPointer<QMenu> menu_;
    std::function<QString()> describe_;
    bool following_ = true;
};

// Status panel 2 while a tab's charts do not follow the samples.
inline const QString kPausedText = QStringLiteral("Пауза");
inline const QString kPausedHint = QStringLiteral("Двойной щелчок — к текущим замерам");

// The two charts of a device tab: the upper one fills the tab, the lower one is 200 px
// high along its bottom edge. Both are children of the tab sheet and go with it.
struct TabCharts {
    TrendChart* upperChart;
    TrendSeries* upperSeries;
    TrendChart* lowerChart;
    TrendSeries* lowerSeries;
    ChartPair* pair;
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
    ChartPair* pair;
};

LogCharts createLogCharts(QWidget* parent);

// Label step of the log charts' time axis: one second, in days.
inline constexpr double kOneSecondInDays = 1.15740740740741e-05;

} // namespace grafimo
