#pragma once
// What the source files of the trend chart share, and nothing else includes: the axis
// tickers (trend_chart_ticks.cpp), the line (trend_chart_line.cpp), the local-time
// conversions (trend_chart_local_time.cpp) and the plot widget (trend_chart.cpp, its input
// in trend_chart_input.cpp).

#include <qcustomplot.h>

#include <QLine>
#include <QPointF>
#include <QRect>
#include <QString>
#include <QVector>

#include <optional>

#include "trend_chart.h"

namespace grafimo::qtui::detail {

inline constexpr double kSecsPerDay = 86400.0;

// Date-time value of a moment given in seconds since the epoch, read in local time.
std::optional<double> dateTimeOfKey(double key);
// Seconds since the epoch of a date-time value taken as local time; NaN when it has none.
double keyOf(double dateTime);

// The value axis: a round step giving about five labels (or the increment when larger),
// with enough decimals to tell them apart.
class ValueTicker : public QCPAxisTicker {
public:
    double increment = 0.0;

protected:
    double getTickStep(const QCPRange& range) override;
    int getSubTickCount(double) override { return 0; }
    QString getTickLabel(double tick, const QLocale&, QChar, int) override;

private:
    double step_ = 1.0;
};

// The time axis: labels on whole local minutes, hours, days, weeks, in a format never finer
// than the step, or in the fixed format.
class TimeTicker : public QCPAxisTicker {
public:
    TimeTicker();
    double increment = 0.0;  // s
    QString fixedFormat;

    double stepFor(const QCPRange& range) const;
    QString formatFor(const QCPRange& range) const;

protected:
    double getTickStep(const QCPRange& range) override;
    int getSubTickCount(double) override { return 0; }
    QString getTickLabel(double tick, const QLocale&, QChar, int) override;
    QVector<QString> createLabelVector(const QVector<double>& ticks, const QLocale& locale, QChar formatChar,
                                       int precision) override;

private:
    QString format_;
    QString labelledFormat_;
    QVector<double> lastTicks_;
    QVector<QString> lastLabels_;
};

// The segments that draw the polyline `lines` (pixel positions; a NaN point breaks it) as
// QCustomPlot's fast polyline does, each end rounded to a pixel, in the same pixels but each
// pixel about once: the consecutive points that fall in one pixel column become one column
// rectangle from their lowest to their highest pixel (neighbouring columns of one extent one
// rectangle), and the segments between columns are kept. A long series gives several points
// per column, whose segments would cover the column's span several times over.
void columnSegments(const QVector<QPointF>& lines, QVector<QLine>& out, QVector<QRect>& columns);

// The line as QCustomPlot's fast polyline draws it (each segment between two drawable
// points, with its ends rounded to pixels), handed to the painter in one call: drawing a
// segment at a time sets the toolkit's line drawing up again for each of thousands of
// segments on a long series. Other cases are left to QCustomPlot.
class TrendGraph : public QCPGraph {
public:
    using QCPGraph::QCPGraph;

protected:
    void drawLinePlot(QCPPainter* painter, const QVector<QPointF>& lines) const override;

private:
    // Kept between repaints: no allocation per repaint.
    mutable QVector<QLine> segments_;
    mutable QVector<QRect> columns_;
};

}  // namespace grafimo::qtui::detail

namespace grafimo::qtui {

// The plot widget. It paints straight onto the window, not through a picture buffer of its
// own (a plot's full-size buffer is megabytes, and every repaint redraws anyway). Its left
// button pans; a double-click or Home asks to follow again, the wheel asks to zoom, the
// pointer moves the readout and the context menu offers the picture: each to the chart,
// which tells its partner.
class TrendChart::Plot : public QCustomPlot {
public:
    explicit Plot(TrendChart& owner);

protected:
    void paintEvent(QPaintEvent*) override;
    void resizeEvent(QResizeEvent*) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    TrendChart& owner_;
    bool dragging_ = false;
    QPointF dragFrom_;
};

}  // namespace grafimo::qtui
