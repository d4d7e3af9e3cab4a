#pragma once
// What the chart tests read off a drawn chart: its line as points (milliseconds since the
// epoch, value), its time axis in milliseconds, and the pointer over its plot.

#include <QList>
#include <QPointF>
#include <QTest>
#include <qcustomplot.h>

#include <cmath>

#include "trend_chart.h"

namespace grafimo::testing {

inline qint64 msecsOfKey(double key)
{
    return static_cast<qint64>(std::llround(key * 1000.0));
}

inline QList<QPointF> drawnPoints(const qtui::TrendSeries& series)
{
    QList<QPointF> points;
    const auto data = series.graph()->data();
    for (auto it = data->constBegin(); it != data->constEnd(); ++it)
        points.append(QPointF(static_cast<double>(msecsOfKey(it->key)), it->value));
    return points;
}

inline qint64 bottomMinMs(const qtui::TrendChart& chart)
{
    return msecsOfKey(chart.bottomAxis()->range().lower);
}

inline qint64 bottomMaxMs(const qtui::TrendChart& chart)
{
    return msecsOfKey(chart.bottomAxis()->range().upper);
}

// The centre of the chart's plot area, in the plot widget's coordinates.
inline QPoint plotCentre(const qtui::TrendChart& chart)
{
    return chart.view()->axisRect()->rect().center();
}

// Shows the chart offscreen and waits until its plot area is laid out.
inline void showAndLayOut(qtui::TrendChart& chart)
{
    chart.resize(600, 400);
    chart.show();
    QVERIFY(QTest::qWaitForWindowExposed(&chart));
    chart.view()->replot();
    QTRY_VERIFY(chart.view()->axisRect()->rect().width() > 100);
}

} // namespace grafimo::testing
