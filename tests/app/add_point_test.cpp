// addPoint and its bulk form, and the chart set-ups of the device tabs and the device log
// window.

#include <QTest>
#include <QWidget>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "TrendCharts.h"
#include "grafimo_test/chart_probe.h"
#include "grafimo/datetime.h"

using grafimo::addPoint;
using grafimo::addPoints;
using grafimo::TrendChart;
using grafimo::TrendSeries;

using namespace grafimo::testing;

namespace {

double baseTime()
{
    return *grafimo::encodeDateTime({2024, 11, 20, 8, 30, 0, 0});
}

constexpr double kSecond = 1.0 / 86400.0;

// The axis bounds are single-precision values widened to double.
double f(double v)
{
    return static_cast<double>(static_cast<float>(v));
}

void compareSeries(const TrendChart& a, const TrendChart& b)
{
    const TrendSeries& sa = a.series();
    const TrendSeries& sb = b.series();
    QCOMPARE(sa.count(), sb.count());
    for (std::size_t i = 0; i < sa.count(); ++i) {
        QCOMPARE(sa.x(i), sb.x(i));
        if (std::isnan(sb.y(i)))
            QVERIFY(std::isnan(sa.y(i)));
        else
            QCOMPARE(sa.y(i), sb.y(i));
    }
    QCOMPARE(drawnPoints(sa), drawnPoints(sb));
    QCOMPARE(sa.minY(), sb.minY());
    QCOMPARE(sa.maxY(), sb.maxY());
    QCOMPARE(a.leftAxis()->range().lower, b.leftAxis()->range().lower);
    QCOMPARE(a.leftAxis()->range().upper, b.leftAxis()->range().upper);
    QCOMPARE(a.bottomAxis()->range().lower, b.bottomAxis()->range().lower);
    QCOMPARE(a.bottomAxis()->range().upper, b.bottomAxis()->range().upper);
}

} // namespace

class AddPointTest : public QObject {
    Q_OBJECT
private slots:
    // --- value axis scaling
    void firstPointIsScaledTogetherWithZero_data();
    void firstPointIsScaledTogetherWithZero();
    void equalPointsShowTenthAroundValue();
    void rangeSpansAllPointsWithOnePercentMargin();
    void clearingRestartsTheScale();
    void notANumberKeepsRangeAndIsNotDrawn();

    // --- time order
    void latePointIsDrawnAtItsTime();

    // --- bulk form
    void bulkEqualsRepeatedAddPoint_data();
    void bulkEqualsRepeatedAddPoint();
    void emptyBulkChangesNothing();

    // --- device tab
    void tabChartsFillTheTabWithLowerChartAtBottom();
    void startupTabHasTenthValueSteps();
    void addedTabHasLowerTimeStepOnly();

    // --- device log window
    void logChartsHaveTheirPlacesFormatAndColour();
};

void AddPointTest::firstPointIsScaledTogetherWithZero_data()
{
    QTest::addColumn<float>("value");
    QTest::addColumn<double>("lo");
    QTest::addColumn<double>("hi");
    QTest::newRow("25") << 25.0f << f(-0.25) << f(25.25);
    QTest::newRow("-4") << -4.0f << f(-4.04) << f(0.04);
    QTest::newRow("0") << 0.0f << f(-0.1) << f(0.1);
}

void AddPointTest::firstPointIsScaledTogetherWithZero()
{
    QFETCH(float, value);
    QFETCH(double, lo);
    QFETCH(double, hi);
    TrendChart chart;
    addPoint(chart.series(), chart, value, baseTime());
    QCOMPARE(chart.leftAxis()->range().lower, lo);
    QCOMPARE(chart.leftAxis()->range().upper, hi);
    QVERIFY(!chart.isLeftAutomatic());
    QCOMPARE(chart.series().count(), std::size_t{1});
    QCOMPARE(chart.series().y(0), static_cast<double>(value));
    QCOMPARE(chart.series().x(0), baseTime());
}

void AddPointTest::equalPointsShowTenthAroundValue()
{
    TrendChart chart;
    addPoint(chart.series(), chart, 25.0f, baseTime());
    addPoint(chart.series(), chart, 25.0f, baseTime() + kSecond);
    QCOMPARE(chart.leftAxis()->range().lower, f(24.9));
    QCOMPARE(chart.leftAxis()->range().upper, f(25.1));
}

void AddPointTest::rangeSpansAllPointsWithOnePercentMargin()
{
    TrendChart chart;
    addPoint(chart.series(), chart, 10.0f, baseTime());
    addPoint(chart.series(), chart, 20.0f, baseTime() + kSecond);
    QCOMPARE(chart.leftAxis()->range().lower, f(9.9));
    QCOMPARE(chart.leftAxis()->range().upper, f(20.1));

    // A third point inside the range leaves it where it is; one outside widens it.
    addPoint(chart.series(), chart, 15.0f, baseTime() + 2 * kSecond);
    QCOMPARE(chart.leftAxis()->range().lower, f(9.9));
    QCOMPARE(chart.leftAxis()->range().upper, f(20.1));
    addPoint(chart.series(), chart, 30.0f, baseTime() + 3 * kSecond);
    QCOMPARE(chart.leftAxis()->range().lower, f(9.8));
    QCOMPARE(chart.leftAxis()->range().upper, f(30.2));
}

void AddPointTest::clearingRestartsTheScale()
{
    TrendChart chart;
    addPoint(chart.series(), chart, 10.0f, baseTime());
    addPoint(chart.series(), chart, 20.0f, baseTime() + kSecond);
    chart.series().clear();
    addPoint(chart.series(), chart, 25.0f, baseTime() + 2 * kSecond);
    QCOMPARE(chart.leftAxis()->range().lower, f(-0.25));
    QCOMPARE(chart.leftAxis()->range().upper, f(25.25));
}

void AddPointTest::notANumberKeepsRangeAndIsNotDrawn()
{
    TrendChart chart;
    addPoint(chart.series(), chart, 10.0f, baseTime());
    addPoint(chart.series(), chart, 20.0f, baseTime() + kSecond);
    addPoint(chart.series(), chart, std::numeric_limits<float>::quiet_NaN(), baseTime() + 2 * kSecond);
    QCOMPARE(chart.leftAxis()->range().lower, f(9.9));
    QCOMPARE(chart.leftAxis()->range().upper, f(20.1));
    QCOMPARE(chart.series().count(), std::size_t{3});
    QCOMPARE(chart.series().graph()->dataCount(), 2);

    // The next real value scales as if the NaN had never come.
    addPoint(chart.series(), chart, 20.0f, baseTime() + 3 * kSecond);
    QCOMPARE(chart.leftAxis()->range().lower, f(9.9));
    QCOMPARE(chart.leftAxis()->range().upper, f(20.1));
}

void AddPointTest::latePointIsDrawnAtItsTime()
{
    TrendChart chart;
    TrendSeries& s = chart.series();
    const double t0 = baseTime();
    addPoint(s, chart, 1.0f, t0);
    addPoint(s, chart, 2.0f, t0 + 2 * kSecond);
    addPoint(s, chart, 3.0f, t0 + 4 * kSecond);
    addPoint(s, chart, 4.0f, t0 + 2 * kSecond);  // late, same time as the second
    addPoint(s, chart, 5.0f, t0 + kSecond);      // late, between the first two

    const std::vector<double> ys = {1.0, 5.0, 2.0, 4.0, 3.0};
    QCOMPARE(s.count(), ys.size());
    for (std::size_t i = 0; i < ys.size(); ++i) {
        QCOMPARE(s.y(i), ys[i]);
        QCOMPARE(drawnPoints(s).at(static_cast<int>(i)).y(), ys[i]);
    }
}

void AddPointTest::bulkEqualsRepeatedAddPoint_data()
{
    QTest::addColumn<int>("existing");
    QTest::addColumn<int>("added");
    QTest::addColumn<bool>("withNaN");
    QTest::addColumn<int>("draw");
    QTest::newRow("reload of 334") << 0 << 334 << false << 1;
    QTest::newRow("single point") << 0 << 1 << false << 2;
    QTest::newRow("onto existing points") << 40 << 60 << false << 3;
    QTest::newRow("with NaN values") << 10 << 50 << true << 4;
    QTest::newRow("all positive") << 0 << 2 << false << 5;
}

void AddPointTest::bulkEqualsRepeatedAddPoint()
{
    QFETCH(int, existing);
    QFETCH(int, added);
    QFETCH(bool, withNaN);
    QFETCH(int, draw);

    std::mt19937 rng(static_cast<unsigned>(draw));
    std::uniform_real_distribution<float> value(draw == 5 ? 10.0f : -30.0f, 60.0f);
    std::uniform_int_distribution<int> second(0, 40);  // out of order, with repeats
    const auto point = [&] {
        float v = value(rng);
        if (withNaN && second(rng) % 7 == 0)
            v = std::numeric_limits<float>::quiet_NaN();
        return std::pair<float, double>(v, baseTime() + second(rng) * kSecond);
    };

    TrendChart bulk;
    TrendChart single;
    for (int i = 0; i < existing; ++i) {
        const auto [v, t] = point();
        addPoint(bulk.series(), bulk, v, t);
        addPoint(single.series(), single, v, t);
    }
    std::vector<std::pair<float, double>> batch;
    for (int i = 0; i < added; ++i)
        batch.push_back(point());
    if (withNaN)
        batch.back().first = std::numeric_limits<float>::quiet_NaN();

    for (const auto& [v, t] : batch)
        addPoint(single.series(), single, v, t);
    addPoints(bulk.series(), bulk, batch);
    compareSeries(bulk, single);
}

void AddPointTest::emptyBulkChangesNothing()
{
    TrendChart chart;
    addPoint(chart.series(), chart, 3.0f, baseTime());
    addPoints(chart.series(), chart, {});
    QCOMPARE(chart.series().count(), std::size_t{1});
    QCOMPARE(chart.leftAxis()->range().lower, f(-0.03));
    QCOMPARE(chart.leftAxis()->range().upper, f(3.03));
}

void AddPointTest::tabChartsFillTheTabWithLowerChartAtBottom()
{
    QWidget tab;
    const grafimo::TabCharts charts = grafimo::createTabCharts(&tab, true);
    QCOMPARE(charts.upperChart->parentWidget(), &tab);
    QCOMPARE(charts.lowerChart->parentWidget(), &tab);
    QCOMPARE(charts.upperSeries, &charts.upperChart->series());
    QCOMPARE(charts.lowerSeries, &charts.lowerChart->series());

    tab.resize(800, 600);
    tab.show();
    QVERIFY(QTest::qWaitForWindowExposed(&tab));
    QTRY_COMPARE(charts.lowerChart->geometry(), QRect(0, 400, 800, 200));
    QCOMPARE(charts.upperChart->geometry(), QRect(0, 0, 800, 400));

    tab.resize(700, 900);
    QTRY_COMPARE(charts.lowerChart->geometry(), QRect(0, 700, 700, 200));
    QCOMPARE(charts.upperChart->geometry(), QRect(0, 0, 700, 700));

    // Each series draws on its own chart, in red without markers.
    for (TrendSeries* s : {charts.upperSeries, charts.lowerSeries}) {
        QCOMPARE(s->graph()->pen().color(), QColor(Qt::red));
        QVERIFY(s->graph()->scatterStyle().isNone());
    }
    QVERIFY(!charts.upperChart->view()->legend->visible());
    QCOMPARE(charts.upperChart->view()->plotLayout()->elementCount(), 1);  // the plot alone: no title
}

void AddPointTest::startupTabHasTenthValueSteps()
{
    QWidget tab;
    const grafimo::TabCharts charts = grafimo::createTabCharts(&tab, true);
    QCOMPARE(charts.upperChart->leftIncrement(), 0.1);
    QCOMPARE(charts.lowerChart->leftIncrement(), 0.1);
    QCOMPARE(charts.upperChart->bottomIncrement(), 0.0);
    QCOMPARE(charts.lowerChart->bottomIncrement(), 0.0);
}

void AddPointTest::addedTabHasLowerTimeStepOnly()
{
    QWidget tab;
    const grafimo::TabCharts charts = grafimo::createTabCharts(&tab, false);
    QCOMPARE(charts.upperChart->leftIncrement(), 0.0);
    QCOMPARE(charts.lowerChart->leftIncrement(), 0.0);
    QCOMPARE(charts.upperChart->bottomIncrement(), 0.0);
    QCOMPARE(charts.lowerChart->bottomIncrement(), 0.01);
}

void AddPointTest::logChartsHaveTheirPlacesFormatAndColour()
{
    QWidget window;
    const grafimo::LogCharts charts = grafimo::createLogCharts(&window);
    QCOMPARE(charts.Chart1->geometry(), QRect(0, 0, 857, 417));
    QCOMPARE(charts.Chart2->geometry(), QRect(-11, 416, 868, 153));
    QCOMPARE(charts.Series1, &charts.Chart1->series());
    QCOMPARE(charts.LineSeries1, &charts.Chart2->series());
    QCOMPARE(charts.pair->upper(), charts.Chart1);  // the picture, the readout and the zoom as on a tab
    QCOMPARE(charts.pair->lower(), charts.Chart2);

    const double t0 = baseTime();
    for (TrendChart* c : {charts.Chart1, charts.Chart2}) {
        QCOMPARE(c->parentWidget(), &window);
        QCOMPARE(c->bottomIncrement(), 1.15740740740741e-05);
        addPoint(c->series(), *c, 1.0f, t0);
        addPoint(c->series(), *c, 2.0f, t0 + 2.0);
        QCOMPARE(c->bottomLabelFormat(), QStringLiteral("hh.mm dd.MM.yy"));
        QCOMPARE(c->series().graph()->pen().color(), QColor(Qt::red));
        QVERIFY(c->series().graph()->scatterStyle().isNone());
        QVERIFY(!c->view()->legend->visible());
    }
}

QTEST_MAIN(AddPointTest)
#include "add_point_test.moc"
