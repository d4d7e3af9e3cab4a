#pragma once
// The trend chart: one chart with exactly one line series, X = date-time (days since
// 1899-12-30, local time), Y = measured value. Drawn by QCustomPlot, offering what the
// windows need: append in time order, min/max of Y, an explicitly set value axis, a time
// axis that follows the points until the user pans or zooms it, label steps, detaching the
// series for a bulk refill, a readout line and the chart as a picture.
//
// The chart keeps its points and axis settings itself and makes the plot widget only when
// it is first shown or asked for: a window with a chart on each of 254 tabs, of which one
// is seen, makes two plots, not 508.
//
// Everything here is GUI-thread only; worker threads hand their points to the GUI thread.

#include <QPixmap>
#include <QWidget>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "grafimo/axis_rule.h"

class QCPAxis;
class QCPGraph;
class QLabel;
class QCustomPlot;

namespace grafimo::qtui {

class TrendChart;

// Milliseconds since the epoch of a date-time value taken as local time, or nothing when it
// is not a finite value or lies outside the dates the calendar can show.
std::optional<std::int64_t> dateTimeToEpochMsecs(double dateTime);

// One line series of a trend chart. Points are kept in ascending X order; a point earlier
// than the last one goes after every point with an equal or smaller X, so equal times keep
// their order of arrival. The exact doubles are kept here (the export reads them back); the
// plot only draws them, in seconds since the epoch.
//
// A point whose Y is not finite is kept (so the upper and lower series of one device stay
// index-aligned, point i of both belonging to one sample) but is not drawn, since it would
// break the line, and it takes no part in minY()/maxY(). A point whose X is not finite has no
// place in time and is dropped.
//
// While the series is detached, or its chart not yet drawn, nothing is drawn per point; the
// line is set from the points in one step when it is attached again (or first drawn).
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
    // The point whose time is nearest to dateTime (the earlier on a tie); nothing when empty.
    std::optional<std::size_t> nearest(double dateTime) const;

    void clear();
    void append(double x, double y);
    // Bulk refill: the points (in any order; equal X keep their given order) replace all
    // points with one update of the drawn line.
    void replaceAll(std::vector<std::pair<double, double>> points);

    bool isAttached() const { return attached_; }
    TrendChart& chart() const { return *chart_; }
    // The drawn graph (keys in seconds since the epoch); draws the chart if it is not yet.
    QCPGraph* graph() const;

private:
    friend class TrendChart;
    explicit TrendSeries(TrendChart& chart);
    void assertGuiThread() const;
    // The graph is in a drawn chart and follows every point.
    bool live() const;
    // Puts every drawable point on the graph at once.
    void redraw();

    TrendChart* chart_;
    bool attached_ = true;
    std::vector<double> xs_;
    std::vector<double> ys_;
    std::vector<double> keys_;  // X as drawn (s since the epoch), NaN when it cannot be
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
    // The distance between the labels now shown (days for the time axis).
    double leftLabelStep() const;
    double bottomLabelStep() const;

    // A fixed label format for the time axis (QDateTime syntax); empty = chosen by the
    // label step, never finer than the step, so two neighbouring labels never read the same.
    void setBottomFormat(const QString& format);
    QString bottomFormat() const { return fixedBottomFormat_; }
    QString bottomLabelFormat() const;
    // The time axis as shown, in seconds since the epoch.
    double bottomLower() const { return bottomLo_; }
    double bottomUpper() const { return bottomHi_; }

    // Takes the series off the chart and puts it back, keeping its points. While detached
    // the chart does no work per point; axis settings made meanwhile apply on attach.
    void detachSeries();
    void attachSeries();

    // Following: the time axis spans the points as they come. A pan or a zoom stops it;
    // follow() returns both axes to the points.
    bool isFollowing() const { return bottomAuto_; }
    void follow();
    // Zooms the time axis by factor (< 1 closer) about the time `key` (seconds since the
    // epoch) and sets the value axis from the points then in view.
    void zoomTime(double key, double factor);

    // The readout: a vertical line at dateTime with `text` beside it (no text: the line
    // alone); hidden again by hideReadout.
    void showReadout(double dateTime, const QString& text);
    void hideReadout();
    bool isReadoutShown() const { return readoutShown_; }
    QString readoutText() const { return readoutText_; }
    double readoutTime() const { return readoutAt_; }

    // The chart as shown, at its size.
    QPixmap image();

    // The plot, made on first use: once shown, or by any of these.
    bool isDrawn() const { return view_ != nullptr; }
    QCustomPlot* view() const;
    QCPAxis* leftAxis() const;
    QCPAxis* bottomAxis() const;

    QSize sizeHint() const override;

signals:
    void followingChanged(bool following);
    // Double-click or Home: back to the current samples.
    void followRequested();
    // A wheel turn over the plot: zoom by factor about key.
    void zoomRequested(double key, double factor);
    // The pointer over the plot, at the time dateTime; and gone from it.
    void pointerMoved(double dateTime);
    void pointerLeft();
    void imageMenuRequested(const QPoint& globalPos);

protected:
    void showEvent(QShowEvent* event) override;

private:
    class Plot;
    friend class TrendSeries;
    friend class Plot;
    void assertGuiThread() const;
    void ensureDrawn();
    void pointsChanged();  // from the series: follow the points where the axes are automatic
    void fitBottomToPoints();
    void fitLeftToPoints();
    void applyLeftRange();
    void applyBottomRange();
    void setFollowing(bool following);
    // A drag by the mouse, in axis units.
    void panBy(double key, double value);
    void replotSoon();
    void pointerAt(double pixelX);
    void placeReadout();

    Plot* view_ = nullptr;
    QCPGraph* graph_ = nullptr;
    // Child widgets over the plot: moving them repaints a strip, not the plot.
    QWidget* readoutLine_ = nullptr;
    QLabel* readoutLabel_ = nullptr;
    TrendSeries series_;
    bool leftAuto_ = true;
    bool bottomAuto_ = true;
    double leftMin_ = 0.0;
    double leftMax_ = 1.0;
    double bottomLo_ = 0.0;  // s since the epoch
    double bottomHi_ = 60.0;
    double leftIncrement_ = 0.0;
    double bottomIncrement_ = 0.0;
    QString fixedBottomFormat_;
    bool readoutShown_ = false;
    double readoutAt_ = 0.0;  // date-time
    QString readoutText_;
};

}  // namespace grafimo::qtui
