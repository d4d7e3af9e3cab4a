#pragma once
// The trend chart: one chart with exactly one line series, X = date-time (days since
// 1899-12-30, local time), Y = measured value. Built on Qt Charts, offering only what the
// windows need: append in time order, min/max of Y, an explicitly set value axis, a time
// axis that follows the points until the user pans it, label steps, and detaching the
// series for a bulk refill.
//
// The chart keeps its points and axis settings itself and builds the drawing (the toolkit's
// view, chart, axes and line) only when it is first shown or asked for: a window with a
// chart on each of 254 tabs, of which one is seen, builds one drawing, not 254.
//
// Everything here is GUI-thread only; worker threads hand their points to the GUI thread.

#include <QWidget>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "grafimo/axis_rule.h"

class QChart;
class QChartView;
class QDateTimeAxis;
class QLineSeries;
class QMouseEvent;
class QValueAxis;
class QWheelEvent;

namespace grafimo::qtui {

class TrendChart;

// Milliseconds since the epoch of a date-time value taken as local time, or nothing when it
// is not a finite value or lies outside the dates the calendar can show.
std::optional<std::int64_t> dateTimeToEpochMsecs(double dateTime);

// One line series of a trend chart. Points are kept in ascending X order; a point earlier
// than the last one goes after every point with an equal or smaller X, so equal times keep
// their order of arrival. The exact doubles are kept here (the export reads them back); the
// Qt series only draws them.
//
// A point whose Y is not finite is kept (so the upper and lower series of one device stay
// index-aligned, point i of both belonging to one sample) but is not drawn, since it would
// break the line, and it takes no part in minY()/maxY(). A point whose X is not finite has no
// place in time and is dropped.
//
// The drawn line follows each point only while the series is attached to a drawn chart;
// otherwise nothing is drawn per point and the line is redrawn from the points in one step
// when the series is attached again (or the chart first drawn).
class TrendSeries {
public:
    TrendSeries(const TrendSeries&) = delete;
    TrendSeries& operator=(const TrendSeries&) = delete;
    ~TrendSeries() = default;

    std::size_t count() const { return xs_.size(); }
    double x(std::size_t i) const { return xs_.at(i); }
    double y(std::size_t i) const { return ys_.at(i); }
    // Smallest and largest finite Y of all points; 0 and 0 when there is none.
    double minY() const { return yRange_.minimum(); }
    double maxY() const { return yRange_.maximum(); }

    void clear();
    void append(double x, double y);
    // Bulk refill: the points (in any order; equal X keep their given order) replace all
    // points with one update of the drawn line, instead of one re-stroke per point.
    void replaceAll(std::vector<std::pair<double, double>> points);

    bool isAttached() const { return attached_; }
    TrendChart& chart() const { return *chart_; }
    // The drawn series (for look: pen, markers); draws the chart if it is not yet. Its
    // points are not the exact values.
    QLineSeries* lineSeries() const;

private:
    friend class TrendChart;
    explicit TrendSeries(TrendChart& chart);
    void assertGuiThread() const;
    // The line is in a drawn chart and follows every point.
    bool live() const { return attached_ && line_ != nullptr; }
    // Puts every point on the line at once.
    void redraw();
    // Draws a long series as the low and high point of each slice of its time span.
    void drawEnvelope();

    TrendChart* chart_;
    // Made with the drawing; owned by the QChart while attached, else by TrendChart.
    QLineSeries* line_ = nullptr;
    bool attached_ = true;
    std::vector<double> xs_;
    std::vector<double> ys_;
    std::vector<double> msXs_;     // X as drawn (ms since the epoch), NaN when it cannot be
    std::vector<double> drawnXs_;  // X of the drawn points, parallel to line_'s points
    MinMaxTracker yRange_;
};

class TrendChart : public QWidget {
    Q_OBJECT
public:
    explicit TrendChart(QWidget* parent = nullptr);
    ~TrendChart() override;

    TrendSeries& series() { return series_; }
    const TrendSeries& series() const { return series_; }

    // Shows exactly [minimum, maximum] on the value axis and stops it scaling itself. The
    // bounds are swapped when minimum > maximum; a span below 1e-10 is widened to 1e-10
    // (and, for values so large that 1e-10 vanishes, to the smallest span that does not).
    // A range with a non-finite bound cannot be shown and leaves the axis as it is.
    void setLeftAxisRange(double minimum, double maximum);
    double leftMinimum() const { return leftMin_; }
    double leftMaximum() const { return leftMax_; }
    bool isLeftAutomatic() const { return leftAuto_; }
    bool isBottomAutomatic() const { return bottomAuto_; }

    // Minimum distance between axis labels, in axis units (days for the time axis);
    // 0 = default spacing.
    void setLeftIncrement(double increment);
    void setBottomIncrement(double days);
    double leftIncrement() const { return leftIncrement_; }
    double bottomIncrement() const { return bottomIncrement_; }

    // A fixed label format for the time axis (QDateTime syntax); empty = chosen by span.
    void setBottomFormat(const QString& format);
    QString bottomFormat() const { return fixedBottomFormat_; }

    // Takes the series off the chart and puts it back, keeping its points. While detached
    // the chart does no work per point; axis settings made meanwhile apply on attach.
    void detachSeries();
    void attachSeries();

    // The drawing, built on first use: once shown, or by any of these.
    bool isDrawn() const { return view_ != nullptr; }
    QChartView* view() const;
    QChart* chart() const;
    QWidget* viewport() const;
    QValueAxis* leftAxis() const;
    QDateTimeAxis* bottomAxis() const;

    QSize sizeHint() const override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    class View;
    friend class TrendSeries;
    friend class View;
    void assertGuiThread() const;
    void ensureDrawn();
    void addLineToChart();
    // The view's mouse: true when the event was used for panning.
    bool panPress(QMouseEvent* event);
    bool panMove(QMouseEvent* event);
    bool panRelease(QMouseEvent* event);
    void pointsChanged();  // from the series: follow the points where the axes are automatic
    void fitBottomToPoints();
    void fitLeftToPoints();
    void applyLeftRange();
    void updateLeftTicks();
    void updateBottomTicks();

    View* view_ = nullptr;
    QValueAxis* left_ = nullptr;
    QDateTimeAxis* bottom_ = nullptr;
    // The time span an empty chart shows (the minute to come from its making), in ms.
    std::int64_t emptyBottomMin_ = 0;
    std::int64_t emptyBottomMax_ = 0;
    TrendSeries series_;
    bool leftAuto_ = true;
    bool bottomAuto_ = true;
    double leftMin_ = 0.0;
    double leftMax_ = 0.0;
    double leftIncrement_ = 0.0;
    double bottomIncrement_ = 0.0;
    QString fixedBottomFormat_;
    bool panning_ = false;
    QPoint panFrom_;
};

}  // namespace grafimo::qtui
