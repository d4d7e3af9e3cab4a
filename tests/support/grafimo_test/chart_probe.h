#pragma once
// What the chart tests read off a drawn chart (times in milliseconds since the epoch) and
// the mouse they use on it.

#include <QList>
#include <QPointF>
#include <QTest>
#include <QWheelEvent>
#include <qcustomplot.h>

#include <cmath>

#include "trend_chart.h"

namespace grafimo::testing {

inline qint64 msecsOfKey(double key) { return static_cast<qint64>(std::llround(key * 1000.0)); }

inline QList<QPointF> drawnPoints(const qtui::TrendSeries& series)
{
    QList<QPointF> points;
    const auto data = series.graph()->data();
    for (auto it = data->constBegin(); it != data->constEnd(); ++it)
        points.append(QPointF(static_cast<double>(msecsOfKey(it->key)), it->value));
    return points;
}

inline qint64 bottomMinMs(const qtui::TrendChart& chart) { return msecsOfKey(chart.bottomAxis()->range().lower); }
inline qint64 bottomMaxMs(const qtui::TrendChart& chart) { return msecsOfKey(chart.bottomAxis()->range().upper); }

// The centre of the plot area, in the plot widget's coordinates.
inline QPoint plotCentre(const qtui::TrendChart& chart) { return chart.view()->axisRect()->rect().center(); }

// Shown offscreen, its plot area laid out.
inline void showAndLayOut(qtui::TrendChart& chart)
{
    chart.resize(600, 400);
    chart.show();
    QVERIFY(QTest::qWaitForWindowExposed(&chart));
    chart.view()->replot();
    QTRY_VERIFY(chart.view()->axisRect()->rect().width() > 100);
}

// A left-button drag from the plot's centre by `by` pixels.
inline void drag(qtui::TrendChart& chart, QPoint by)
{
    QWidget* plot = chart.view();
    const QPoint from = plotCentre(chart);
    QTest::mousePress(plot, Qt::LeftButton, {}, from);
    QTest::mouseMove(plot, from + by / 2);
    QTest::mouseMove(plot, from + by);
    QTest::mouseRelease(plot, Qt::LeftButton, {}, from + by);
}

inline void wheel(qtui::TrendChart& chart, int delta, QPointF at)
{
    QWheelEvent event(at, chart.view()->mapToGlobal(at), QPoint(), QPoint(0, delta), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(chart.view(), &event);
}

} // namespace grafimo::testing
