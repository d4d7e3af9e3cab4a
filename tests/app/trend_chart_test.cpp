// The chart component on its own: point order, Y extremes, the value axis rule, label
// steps, detaching, and panning by mouse.

#include <QDateTime>
#include <QImage>
#include <QPainter>
#include <QSignalSpy>
#include <QTest>
#include <QWheelEvent>

#include <algorithm>
#include <ctime>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "grafimo/datetime.h"
#include "grafimo_test/chart_probe.h"
#include "trend_chart.h"
#include "trend_chart_parts.h"

using grafimo::qtui::TrendChart;
using grafimo::qtui::TrendSeries;

using namespace grafimo::testing;

namespace {

// 2024-03-05 10:00 local.
double baseTime()
{
    return *grafimo::encodeDateTime({2024, 3, 5, 10, 0, 0, 0});
}

constexpr double kSecond = 1.0 / 86400.0;

qint64 msecsOf(double dateTime)
{
    return *grafimo::qtui::dateTimeToEpochMsecs(dateTime);
}

} // namespace

class TrendChartTest : public QObject {
    Q_OBJECT
private slots:
    // --- date-time values on the time axis
    void dateTimeMapsToLocalEpochMsecs();
    void dateTimeOutsideCalendarHasNoPlace();
    void dateTimeAcrossOffsetChangesMatchesLocalTime();

    // --- point order
    void pointsInTimeOrderAreAppended();
    void latePointGoesAfterEqualTimes();
    void pointWithoutTimeIsDropped();
    void replaceAllSortsStablyWithOneRedraw();
    void longSeriesIsDrawnWhole();

    // --- Y extremes
    void extremesEqualFullScanAndAreZeroWhenEmpty();
    void notANumberIsKeptButNotDrawn();

    // --- value axis
    void leftRangeIsShownExactlyAndStopsAutomaticScaling();
    void leftRangeIsSwappedAndWidened();
    void leftRangeOfHugeFlatValueStillHasWidth();
    void leftRangeWithInfiniteBoundIsIgnored();
    void leftIncrementIsMinimumLabelSpacing();

    // --- time axis
    void timeAxisFollowsThePoints();
    void bottomIncrementIsMinimumLabelSpacing();
    void fixedTimeFormatIsKept();
    void timeFormatFollowsTheSpan();
    void neighbouringTimeLabelsDiffer_data();
    void neighbouringTimeLabelsDiffer();

    // --- detach / attach
    void detachAndAttachKeepPointsAndLook();
    void rangeSetWhileDetachedAppliesOnAttach();
    void chartDrawnLateShowsWhatAChartDrawnFromTheStartShows_data();
    void chartDrawnLateShowsWhatAChartDrawnFromTheStartShows();
    void repaintShowsWhatThePlotLibraryDraws();
    void columnsCoverThePixelsOfTheSegments_data();
    void columnsCoverThePixelsOfTheSegments();

    // --- mouse
    void horizontalPanFreezesTheTimeAxis();
    void verticalPanMovesValueAxisUntilNextRange();
};

void TrendChartTest::dateTimeMapsToLocalEpochMsecs()
{
    const double t = *grafimo::encodeDateTime({2023, 7, 14, 13, 5, 0, 250});
    const QDateTime expected(QDate(2023, 7, 14), QTime(13, 5, 0, 250), Qt::LocalTime);
    QCOMPARE(msecsOf(t), expected.toMSecsSinceEpoch());
}

void TrendChartTest::dateTimeOutsideCalendarHasNoPlace()
{
    QVERIFY(!grafimo::qtui::dateTimeToEpochMsecs(std::numeric_limits<double>::quiet_NaN()));
    QVERIFY(!grafimo::qtui::dateTimeToEpochMsecs(std::numeric_limits<double>::infinity()));
    QVERIFY(!grafimo::qtui::dateTimeToEpochMsecs(1e9));
}

void TrendChartTest::dateTimeAcrossOffsetChangesMatchesLocalTime()
{
    // Zones given as rules, so no zone files are needed: central Europe (an hour at 02:00
    // and 03:00) and Lord Howe Island (half an hour at 02:00).
    const QByteArray savedTz = qgetenv("TZ");
    const bool hadTz = qEnvironmentVariableIsSet("TZ");
    const struct {
        const char* tz;
        QDate days[2];
    } zones[] = {
        {"CET-1CEST,M3.5.0,M10.5.0/3", {QDate(2024, 3, 31), QDate(2024, 10, 27)}},
        {"<+1030>-10:30<+11>-11,M10.1.0,M4.1.0", {QDate(2024, 10, 6), QDate(2024, 4, 7)}},
    };
    int checked = 0;
    for (const auto& zone : zones) {
        qputenv("TZ", zone.tz);
        tzset();
        for (const QDate& day : zone.days) {
            for (int minute = 0; minute < 5 * 60; minute += 1) {
                const QTime time = QTime(0, 0).addSecs(minute * 60 + 17);
                const double t = *grafimo::encodeDateTime(
                    {day.year(), day.month(), day.day(), time.hour(), time.minute(), time.second(), 0});
                const QDateTime expected(day, time, Qt::LocalTime);
                const auto got = grafimo::qtui::dateTimeToEpochMsecs(t);
                if (!expected.isValid()) {
                    QVERIFY(!got);
                    continue;
                }
                QVERIFY(got);
                QCOMPARE(*got, expected.toMSecsSinceEpoch());
                ++checked;
            }
        }
    }
    if (hadTz)
        qputenv("TZ", savedTz);
    else
        qunsetenv("TZ");
    tzset();
    QVERIFY(checked > 0);
}

void TrendChartTest::pointsInTimeOrderAreAppended()
{
    TrendChart chart;
    TrendSeries& s = chart.series();
    const double t0 = baseTime();
    for (int i = 0; i < 5; ++i)
        s.append(t0 + i * kSecond, 1.5 * i);
    QCOMPARE(s.count(), std::size_t{5});
    QCOMPARE(s.graph()->dataCount(), 5);
    for (std::size_t i = 0; i < 5; ++i) {
        QCOMPARE(s.x(i), t0 + static_cast<double>(i) * kSecond);
        QCOMPARE(s.y(i), 1.5 * static_cast<double>(i));
        QCOMPARE(static_cast<qint64>(drawnPoints(s).at(static_cast<int>(i)).x()), msecsOf(s.x(i)));
    }
}

void TrendChartTest::latePointGoesAfterEqualTimes()
{
    TrendChart chart;
    TrendSeries& s = chart.series();
    const double t0 = baseTime();
    s.append(t0, 1.0);
    s.append(t0 + kSecond, 2.0);
    s.append(t0 + kSecond, 3.0);
    s.append(t0 + 3 * kSecond, 4.0);
    s.append(t0 + kSecond, 5.0);  // late, same time as two others: goes after them
    s.append(t0 - kSecond, 6.0);  // earlier than all

    const std::vector<double> ys = {6.0, 1.0, 2.0, 3.0, 5.0, 4.0};
    QCOMPARE(s.count(), ys.size());
    for (std::size_t i = 0; i < ys.size(); ++i) {
        QCOMPARE(s.y(i), ys[i]);
        QCOMPARE(drawnPoints(s).at(static_cast<int>(i)).y(), ys[i]);
        if (i > 0)
            QVERIFY(s.x(i - 1) <= s.x(i));
    }
}

void TrendChartTest::pointWithoutTimeIsDropped()
{
    TrendChart chart;
    TrendSeries& s = chart.series();
    s.append(baseTime(), 1.0);
    s.append(std::numeric_limits<double>::quiet_NaN(), 2.0);
    s.append(baseTime() + kSecond, 3.0);
    QCOMPARE(s.count(), std::size_t{2});
    QCOMPARE(s.y(1), 3.0);
}

void TrendChartTest::replaceAllSortsStablyWithOneRedraw()
{
    TrendChart chart;
    TrendSeries& s = chart.series();
    s.append(baseTime() - 100 * kSecond, 99.0);  // replaced, not kept

    std::mt19937 rng(7);
    std::uniform_int_distribution<int> second(0, 20);
    std::vector<std::pair<double, double>> pts;
    for (int i = 0; i < 200; ++i)
        pts.emplace_back(baseTime() + second(rng) * kSecond, static_cast<double>(i));

    // The same points one by one give the reference order.
    TrendChart reference;
    for (const auto& [x, y] : pts)
        reference.series().append(x, y);

    s.graph();  // drawn: the refill goes to the plot
    s.replaceAll(pts);
    QCOMPARE(s.count(), reference.series().count());
    for (std::size_t i = 0; i < s.count(); ++i) {
        QCOMPARE(s.x(i), reference.series().x(i));
        QCOMPARE(s.y(i), reference.series().y(i));
    }
    QCOMPARE(drawnPoints(s), drawnPoints(reference.series()));
    QCOMPARE(s.minY(), 0.0);
    QCOMPARE(s.maxY(), 199.0);
}

void TrendChartTest::longSeriesIsDrawnWhole()
{
    // A full device log: every point is kept exactly and goes to the plot, which thins
    // what it draws by itself; the first and last point, every peak and trough stay.
    TrendChart chart;
    TrendSeries& s = chart.series();
    const double t0 = baseTime();
    const int n = 20000;
    std::vector<std::pair<double, double>> points;
    for (int i = 0; i < n; ++i)
        points.emplace_back(t0 + i * 60 * kSecond, (i % 100) * 0.5 - (i == 12345 ? 1000.0 : 0.0));
    s.replaceAll(points);
    for (int i = n; i < n + 10; ++i)
        s.append(t0 + i * 60 * kSecond, i == n + 5 ? 500.0 : 1.0);
    QCOMPARE(s.count(), std::size_t(n + 10));
    QCOMPARE(s.y(12345), 45 * 0.5 - 1000.0);
    QCOMPARE(s.y(n + 5), 500.0);
    const QList<QPointF> line = drawnPoints(s);
    QCOMPARE(line.size(), n + 10);
    QCOMPARE(static_cast<qint64>(line.at(0).x()), msecsOf(s.x(0)));
    QCOMPARE(static_cast<qint64>(line.at(line.size() - 1).x()), msecsOf(s.x(n + 9)));
    double lowest = 1e9;
    double highest = -1e9;
    for (int i = 0; i < line.size(); ++i) {
        lowest = std::min(lowest, line.at(i).y());
        highest = std::max(highest, line.at(i).y());
        if (i > 0)
            QVERIFY(line.at(i).x() >= line.at(i - 1).x());
    }
    QCOMPARE(lowest, 45 * 0.5 - 1000.0);
    QCOMPARE(highest, 500.0);
    s.replaceAll({points.begin(), points.begin() + 10});
    QCOMPARE(s.graph()->dataCount(), 10);
}

void TrendChartTest::extremesEqualFullScanAndAreZeroWhenEmpty()
{
    TrendChart chart;
    TrendSeries& s = chart.series();
    QCOMPARE(s.minY(), 0.0);
    QCOMPARE(s.maxY(), 0.0);

    std::mt19937 rng(11);
    std::uniform_real_distribution<double> value(-50.0, 80.0);
    for (int i = 0; i < 300; ++i) {
        s.append(baseTime() + (i % 17) * kSecond, value(rng));
        double lo = s.y(0), hi = s.y(0);
        for (std::size_t k = 0; k < s.count(); ++k) {
            lo = std::min(lo, s.y(k));
            hi = std::max(hi, s.y(k));
        }
        QCOMPARE(s.minY(), lo);
        QCOMPARE(s.maxY(), hi);
    }

    // A series of positive values does not see the 0 of the empty state.
    s.clear();
    QCOMPARE(s.count(), std::size_t{0});
    QCOMPARE(s.graph()->dataCount(), 0);
    QCOMPARE(s.minY(), 0.0);
    QCOMPARE(s.maxY(), 0.0);
    s.append(baseTime(), 7.0);
    QCOMPARE(s.minY(), 7.0);
    QCOMPARE(s.maxY(), 7.0);
}

void TrendChartTest::notANumberIsKeptButNotDrawn()
{
    TrendChart chart;
    TrendSeries& s = chart.series();
    s.append(baseTime(), 2.0);
    s.append(baseTime() + kSecond, std::numeric_limits<double>::quiet_NaN());
    s.append(baseTime() + 2 * kSecond, 4.0);
    s.append(baseTime() + 0.5 * kSecond, 3.0);  // lands between the first point and the NaN

    QCOMPARE(s.count(), std::size_t{4});
    QVERIFY(std::isnan(s.y(2)));
    QCOMPARE(s.y(1), 3.0);
    QCOMPARE(s.graph()->dataCount(), 3);
    QCOMPARE(drawnPoints(s).at(1).y(), 3.0);
    QCOMPARE(drawnPoints(s).at(2).y(), 4.0);
    QCOMPARE(s.minY(), 2.0);
    QCOMPARE(s.maxY(), 4.0);
}

void TrendChartTest::leftRangeIsShownExactlyAndStopsAutomaticScaling()
{
    TrendChart chart;
    QVERIFY(chart.isLeftAutomatic());
    chart.setLeftAxisRange(-0.25, 25.25);
    QVERIFY(!chart.isLeftAutomatic());
    QCOMPARE(chart.leftAxis()->range().lower, -0.25);
    QCOMPARE(chart.leftAxis()->range().upper, 25.25);

    // Points outside the range do not move a non-automatic axis.
    chart.series().append(baseTime(), 1000.0);
    QCOMPARE(chart.leftAxis()->range().lower, -0.25);
    QCOMPARE(chart.leftAxis()->range().upper, 25.25);
}

void TrendChartTest::leftRangeIsSwappedAndWidened()
{
    TrendChart chart;
    chart.setLeftAxisRange(10.0, 2.0);
    QCOMPARE(chart.leftAxis()->range().lower, 2.0);
    QCOMPARE(chart.leftAxis()->range().upper, 10.0);

    chart.setLeftAxisRange(3.0, 3.0);
    QCOMPARE(chart.leftAxis()->range().lower, 3.0);
    QCOMPARE(chart.leftAxis()->range().upper, 3.0 + 1e-10);

    chart.setLeftAxisRange(5.0, 5.0 + 1e-12);
    QCOMPARE(chart.leftAxis()->range().upper, 5.0 + 1e-10);
}

void TrendChartTest::leftRangeOfHugeFlatValueStillHasWidth()
{
    TrendChart chart;
    chart.setLeftAxisRange(1e8, 1e8);
    QCOMPARE(chart.leftAxis()->range().lower, 1e8);
    QVERIFY(chart.leftAxis()->range().upper > 1e8);
    // The label step still advances through the range (a step below the resolution would
    // never reach the end).
    QVERIFY(chart.leftAxis()->range().lower + chart.leftLabelStep() > chart.leftAxis()->range().lower);
}

void TrendChartTest::leftRangeWithInfiniteBoundIsIgnored()
{
    TrendChart chart;
    chart.setLeftAxisRange(1.0, 2.0);
    chart.setLeftAxisRange(1.0, std::numeric_limits<double>::infinity());
    chart.setLeftAxisRange(std::numeric_limits<double>::quiet_NaN(), 2.0);
    QCOMPARE(chart.leftAxis()->range().lower, 1.0);
    QCOMPARE(chart.leftAxis()->range().upper, 2.0);
}

void TrendChartTest::leftIncrementIsMinimumLabelSpacing()
{
    TrendChart chart;
    chart.setLeftAxisRange(24.9, 25.1);
    const double defaultStep = chart.leftLabelStep();
    QVERIFY(defaultStep < 0.1);

    chart.setLeftIncrement(0.1);
    QCOMPARE(chart.leftIncrement(), 0.1);
    QVERIFY(chart.leftLabelStep() >= 0.1);

    // A wide range keeps its own, larger step.
    chart.setLeftAxisRange(-0.25, 25.25);
    QVERIFY(chart.leftLabelStep() > 0.1);
    const double span = chart.leftAxis()->range().upper - chart.leftAxis()->range().lower;
    QVERIFY(span / chart.leftLabelStep() <= 10.0);
}

void TrendChartTest::timeAxisFollowsThePoints()
{
    TrendChart chart;
    TrendSeries& s = chart.series();
    const double t0 = baseTime();
    s.append(t0, 1.0);
    // A lone point sits inside the axis.
    QVERIFY(bottomMinMs(chart) < msecsOf(t0));
    QVERIFY(bottomMaxMs(chart) > msecsOf(t0));

    s.append(t0 + 90 * kSecond, 2.0);
    s.append(t0 - 30 * kSecond, 3.0);
    QCOMPARE(bottomMinMs(chart), msecsOf(t0 - 30 * kSecond));
    QCOMPARE(bottomMaxMs(chart), msecsOf(t0 + 90 * kSecond));
    QVERIFY(chart.isBottomAutomatic());
}

void TrendChartTest::bottomIncrementIsMinimumLabelSpacing()
{
    TrendChart chart;
    TrendSeries& s = chart.series();
    const double t0 = baseTime();
    const double increment = 0.01;  // 14.4 minutes
    chart.setBottomIncrement(increment);

    for (const int minutes : {10, 20, 30, 45, 60, 120, 600}) {
        s.clear();
        s.append(t0, 1.0);
        s.append(t0 + minutes / 1440.0, 2.0);
        const double spacingDays = chart.bottomLabelStep();
        QVERIFY2(spacingDays >= increment - 1e-12, qPrintable(QString::number(minutes)));
        // Not sparser than needed: the default step, or the next round step above the increment.
        chart.setBottomIncrement(0.0);
        const double plain = chart.bottomLabelStep();
        chart.setBottomIncrement(increment);
        QVERIFY(spacingDays == plain || spacingDays < 2.5 * increment);
    }

    // Without an increment, about five labels.
    chart.setBottomIncrement(0.0);
    QVERIFY((600 / 1440.0) / chart.bottomLabelStep() >= 3.0);
}

void TrendChartTest::fixedTimeFormatIsKept()
{
    TrendChart chart;
    chart.setBottomFormat(QStringLiteral("hh.mm dd.MM.yy"));
    const double t0 = baseTime();
    chart.series().append(t0, 1.0);
    chart.series().append(t0 + 3.0, 1.0);  // days: a span-chosen format would differ
    QCOMPARE(chart.bottomLabelFormat(), QStringLiteral("hh.mm dd.MM.yy"));
}

void TrendChartTest::timeFormatFollowsTheSpan()
{
    TrendChart chart;
    TrendSeries& s = chart.series();
    const double t0 = baseTime();
    s.append(t0, 1.0);
    s.append(t0 + 40 * kSecond, 1.0);
    const QString seconds = chart.bottomLabelFormat();
    QVERIFY(seconds.contains(QLatin1String("ss")));
    s.append(t0 + 40.0, 1.0);  // forty days
    const QString days = chart.bottomLabelFormat();
    QVERIFY(days.contains(QLatin1String("dd")));
    QVERIFY(!days.contains(QLatin1String("ss")));
}

void TrendChartTest::neighbouringTimeLabelsDiffer_data()
{
    QTest::addColumn<double>("seconds");
    QTest::addColumn<QString>("format");
    for (const double span : {2.0, 5.0, 40.0, 200.0, 7200.0, 3 * 86400.0, 90 * 86400.0})
        QTest::addRow("%g s", span) << span << QString();
    QTest::newRow("log format, 5 min") << 300.0 << QStringLiteral("hh.mm dd.MM.yy");
    QTest::newRow("log format, 20 s") << 20.0 << QStringLiteral("hh.mm dd.MM.yy");
}

// A few seconds of samples once gave "06:13:05" twice: a label never shows less than its step.
void TrendChartTest::neighbouringTimeLabelsDiffer()
{
    QFETCH(double, seconds);
    QFETCH(QString, format);
    TrendChart chart;
    chart.setBottomFormat(format);
    chart.setBottomIncrement(format.isEmpty() ? 0.0 : kSecond);
    const double t0 = baseTime() + 0.37 * kSecond;
    chart.series().append(t0, 1.0);
    chart.series().append(t0 + seconds * kSecond, 2.0);
    QVector<double> ticks;
    QVector<QString> labels;
    chart.bottomAxis()->ticker()->generate(chart.bottomAxis()->range(), QLocale(), QLatin1Char('g'), 6, ticks,
                                           nullptr, &labels);
    // A span shorter than the format's finest unit may show no label at all, never two alike.
    QVERIFY(!labels.isEmpty() || seconds < 60.0);
    for (int i = 1; i < labels.size(); ++i)
        QVERIFY2(labels[i] != labels[i - 1], qPrintable(labels.join(QLatin1String(" | "))));
}

void TrendChartTest::detachAndAttachKeepPointsAndLook()
{
    TrendChart chart;
    TrendSeries& s = chart.series();
    s.append(baseTime(), 1.0);
    s.append(baseTime() + kSecond, 2.0);
    QVERIFY(s.isAttached());
    QVERIFY(s.graph()->visible());

    chart.detachSeries();
    QVERIFY(!s.isAttached());
    QVERIFY(!s.graph()->visible());
    s.append(baseTime() + 2 * kSecond, 3.0);
    QCOMPARE(s.count(), std::size_t{3});

    chart.attachSeries();
    QVERIFY(s.isAttached());
    QVERIFY(s.graph()->visible());
    QCOMPARE(s.graph()->dataCount(), 3);
    QCOMPARE(s.graph()->keyAxis(), chart.bottomAxis());
    QCOMPARE(s.graph()->valueAxis(), chart.leftAxis());
    QCOMPARE(s.graph()->pen().color(), QColor(Qt::red));
    QVERIFY(s.graph()->scatterStyle().isNone());
    QCOMPARE(bottomMaxMs(chart), msecsOf(baseTime() + 2 * kSecond));

    // Detached at destruction: the chart still releases the line (checked by the sanitizers).
    chart.detachSeries();
}

void TrendChartTest::rangeSetWhileDetachedAppliesOnAttach()
{
    TrendChart chart;
    chart.setLeftAxisRange(0.0, 1.0);
    chart.detachSeries();
    chart.setLeftAxisRange(5.0, 6.0);
    QCOMPARE(chart.leftMinimum(), 5.0);
    chart.attachSeries();
    QCOMPARE(chart.leftAxis()->range().lower, 5.0);
    QCOMPARE(chart.leftAxis()->range().upper, 6.0);
}

void TrendChartTest::chartDrawnLateShowsWhatAChartDrawnFromTheStartShows_data()
{
    QTest::addColumn<int>("points");
    QTest::addColumn<bool>("fixedRange");
    QTest::addColumn<bool>("detachedMeanwhile");
    QTest::newRow("few, with gaps") << 40 << false << false;
    QTest::newRow("few, fixed range") << 40 << true << false;
    QTest::newRow("envelope") << 5000 << false << false;
    QTest::newRow("detached, then drawn") << 300 << true << true;
}

// A chart builds its drawing only when first shown or asked for; what it then shows is what
// a chart that drew every point shows.
void TrendChartTest::chartDrawnLateShowsWhatAChartDrawnFromTheStartShows()
{
    QFETCH(int, points);
    QFETCH(bool, fixedRange);
    QFETCH(bool, detachedMeanwhile);
    TrendChart early;
    TrendChart late;
    QVERIFY(early.view());
    QVERIFY(!late.isDrawn());
    for (TrendChart* c : {&early, &late}) {
        c->setLeftIncrement(0.1);
        c->setBottomIncrement(0.01);
        if (detachedMeanwhile)
            c->detachSeries();
        for (int i = 0; i < points; ++i) {
            const double y = i % 7 == 3 ? std::numeric_limits<double>::quiet_NaN() : std::sin(i * 0.05) * 10.0;
            c->series().append(baseTime() + i * kSecond, y);
        }
        if (fixedRange)
            c->setLeftAxisRange(-20.0, 30.0);
    }
    QVERIFY(!late.isDrawn());
    if (detachedMeanwhile) {
        QVERIFY(late.view());
        early.attachSeries();
        late.attachSeries();
    }
    QCOMPARE(drawnPoints(late.series()), drawnPoints(early.series()));
    QCOMPARE(late.leftAxis()->range().lower, early.leftAxis()->range().lower);
    QCOMPARE(late.leftAxis()->range().upper, early.leftAxis()->range().upper);
    QCOMPARE(late.leftLabelStep(), early.leftLabelStep());
    QCOMPARE(late.leftAxis()->ticker()->tickOrigin(), early.leftAxis()->ticker()->tickOrigin());
    QCOMPARE(late.bottomAxis()->range().lower, early.bottomAxis()->range().lower);
    QCOMPARE(late.bottomAxis()->range().upper, early.bottomAxis()->range().upper);
    QCOMPARE(late.bottomLabelStep(), early.bottomLabelStep());
    QCOMPARE(late.bottomLabelFormat(), early.bottomLabelFormat());
    QCOMPARE(late.series().graph()->pen().color(), QColor(Qt::red));
}

// The chart draws its line and time labels its own quicker way; a repaint shows, pixel for
// pixel and label for label, what the plot library's own line and fresh labels show.
void TrendChartTest::repaintShowsWhatThePlotLibraryDraws()
{
    TrendChart chart;
    chart.resize(640, 320);
    TrendSeries& s = chart.series();
    std::vector<std::pair<double, double>> zigzag;  // a full device log: many points a pixel
    for (int i = 0; i < 65535; ++i)
        zigzag.emplace_back(baseTime() + i * 7 * kSecond, (i % 37) * 0.25 - (i % 11 == 5 ? 4.0 : 0.0));
    s.replaceAll(zigzag);
    const QImage ours = chart.view()->grab().toImage();
    s.graph()->setVisible(false);
    QCPGraph* plain = chart.view()->addGraph();
    plain->setData(s.graph()->data());
    plain->setPen(s.graph()->pen());
    plain->setAntialiased(false);
    QCOMPARE(ours.size(), QSize(640, 320));
    QCOMPARE(ours, chart.view()->grab().toImage());

    s.clear();
    for (int i = 0; i < 200; ++i) {
        s.append(baseTime() + i * i * 3 * kSecond, 1.0);  // ever wider: seconds to days
        QVector<double> ticks;
        QVector<QString> labels;
        chart.bottomAxis()->ticker()->generate(chart.bottomAxis()->range(), QLocale(), QLatin1Char('g'), 6, ticks,
                                               nullptr, &labels);
        for (int t = 0; t < ticks.size(); ++t)
            QCOMPARE(labels[t], QDateTime::fromMSecsSinceEpoch(std::llround(ticks[t] * 1000.0))
                                    .toString(chart.bottomLabelFormat()));
    }
}

// The line's points in pixels, reduced to column rectangles and the segments between
// columns, paint exactly what one segment between each two drawable neighbours paints.
void TrendChartTest::columnsCoverThePixelsOfTheSegments_data()
{
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    QTest::addColumn<QVector<QPointF>>("points");
    QVector<QPointF> dense;  // many points a column, the same extent in neighbouring ones
    for (int i = 0; i < 2000; ++i)
        dense.append({10.0 + i * 0.1, 5.0 + (i % 9) * 7.3});
    QTest::newRow("dense zigzag") << dense;
    QTest::newRow("break inside a column") << QVector<QPointF>{{5, 5}, {5.2, 40}, {5.3, nan}, {5.4, 20}, {5.45, 60},
                                                              {9, 10}};
    QTest::newRow("lone points between breaks")
        << QVector<QPointF>{{nan, nan}, {3, 3}, {4, nan}, {6, 30}, {6.2, 30}, {7, nan}, {20, 8}, {nan, 1}};
    QTest::newRow("one column, points out of order") << QVector<QPointF>{{8, 50}, {8.3, 2}, {7.9, 70}, {8.1, 30}};
    QTest::newRow("slanted, then flat columns") << QVector<QPointF>{{1, 1}, {30, 70}, {30.4, 70}, {31, 70}, {31.2, 70},
                                                                   {32, 69}, {60, 3}};
    QTest::newRow("nothing drawable") << QVector<QPointF>{{nan, 1}, {2, nan}};
}

void TrendChartTest::columnsCoverThePixelsOfTheSegments()
{
    QFETCH(QVector<QPointF>, points);
    const auto paint = [](const auto& draw) {
        QImage image(240, 80, QImage::Format_RGB32);
        image.fill(Qt::white);
        QPainter painter(&image);
        painter.setPen(QPen(Qt::red, 1));
        draw(painter);
        return image;
    };
    const QImage segments = paint([&](QPainter& p) {
        const auto drawable = [](const QPointF& q) { return !qIsNaN(q.x()) && !qIsNaN(q.y()); };
        for (qsizetype i = 1; i < points.size(); ++i) {
            if (drawable(points[i - 1]) && drawable(points[i]))
                p.drawLine(QLineF(points[i - 1], points[i]).toLine());
        }
    });
    QVector<QLine> lines;
    QVector<QRect> columns;
    grafimo::qtui::detail::columnSegments(points, lines, columns);
    const QImage reduced = paint([&](QPainter& p) {
        p.drawLines(lines);
        for (const QRect& c : columns)
            p.fillRect(c, Qt::red);
    });
    QCOMPARE(reduced, segments);
}

void TrendChartTest::horizontalPanFreezesTheTimeAxis()
{
    TrendChart chart;
    showAndLayOut(chart);
    TrendSeries& s = chart.series();
    const double t0 = baseTime();
    chart.setLeftAxisRange(0.0, 10.0);
    for (int i = 0; i < 10; ++i)
        s.append(t0 + i * kSecond, i);
    const qint64 minBefore = bottomMinMs(chart);
    const qint64 maxBefore = bottomMaxMs(chart);

    drag(chart, QPoint(100, 0));
    QVERIFY(!chart.isBottomAutomatic());
    const qint64 minPanned = bottomMinMs(chart);
    const qint64 maxPanned = bottomMaxMs(chart);
    // Dragging right brings earlier times into view; the width stays.
    QVERIFY(minPanned < minBefore);
    QCOMPARE(maxPanned - minPanned, maxBefore - minBefore);

    s.append(t0 + 60 * kSecond, 5.0);
    QCOMPARE(bottomMinMs(chart), minPanned);
    QCOMPARE(bottomMaxMs(chart), maxPanned);

    // A reload (detach, refill, attach) does not move it either.
    chart.detachSeries();
    s.clear();
    s.append(t0 + 600 * kSecond, 1.0);
    chart.attachSeries();
    QCOMPARE(bottomMinMs(chart), minPanned);
    QCOMPARE(bottomMaxMs(chart), maxPanned);
}

void TrendChartTest::verticalPanMovesValueAxisUntilNextRange()
{
    TrendChart chart;
    showAndLayOut(chart);
    chart.series().append(baseTime(), 5.0);
    chart.setLeftAxisRange(0.0, 10.0);
    drag(chart, QPoint(0, 60));
    // Dragging down brings higher values into view, and the view stays: not following.
    QVERIFY(chart.leftAxis()->range().lower > 0.0);
    QVERIFY(!chart.isFollowing());
    QCOMPARE(chart.leftAxis()->range().upper - chart.leftAxis()->range().lower, 10.0);

    chart.setLeftAxisRange(1.0, 2.0);
    QCOMPARE(chart.leftAxis()->range().lower, 1.0);
    QCOMPARE(chart.leftAxis()->range().upper, 2.0);
}

QTEST_MAIN(TrendChartTest)
#include "trend_chart_test.moc"
