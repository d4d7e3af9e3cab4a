// The two charts of a device as one: following, pausing and following again, the readout,
// the picture, and the main window's pause panel.

#include <QClipboard>
#include <QLabel>
#include <QMenu>
#include <QStatusBar>
#include <QTabWidget>
#include <QTest>

#include <utility>
#include <vector>

#include "Osnovnaya.h"
#include "TrendCharts.h"
#include "app_test_support.h"
#include "grafimo/datetime.h"
#include "grafimo/export_text.h"
#include "grafimo_test/chart_probe.h"
#include "regional_formats.h"

using namespace grafimo;
using namespace grafimo::testing;

namespace {

constexpr double kSecond = 1.0 / 86400.0;

double baseTime()
{
    return *encodeDateTime({2024, 11, 20, 8, 30, 0, 0});
}

// A shown tab with 60 samples a second apart; sample 20 is (25.123456, 3.14159).
struct Tab {
    QWidget sheet;
    TabCharts charts{};
    Tab()
    {
        charts = createTabCharts(&sheet, true);
        sheet.resize(700, 600);
        sheet.show();
        if (!QTest::qWaitForWindowExposed(&sheet))
            qFatal("tab not shown");
        for (int i = 0; i < 60; ++i)
            sample(i);
        for (TrendChart* c : {charts.upperChart, charts.lowerChart})
            c->view()->replot();  // laid out: pixels map to times
    }
    void sample(int i)
    {
        const bool known = i == 20;
        addPoint(*charts.upperSeries, *charts.upperChart, known ? 25.123456f : 10.0f + i % 7, baseTime() + i * kSecond);
        addPoint(*charts.lowerSeries, *charts.lowerChart, known ? 3.14159f : 1.0f + i % 5, baseTime() + i * kSecond);
    }
    QPoint pixelOf(TrendChart& chart, int i) const
    {
        const double key = *qtui::dateTimeToEpochMsecs(baseTime() + i * kSecond) / 1000.0;
        return {static_cast<int>(std::lround(chart.bottomAxis()->coordToPixel(key))), plotCentre(chart).y()};
    }
};

} // namespace

class ChartPairTest : public QObject {
    Q_OBJECT
private slots:
    void followingPausesAndResumes_data();
    void followingPausesAndResumes();
    void theReadoutShowsTheSampleAsExportedAndThePictureHoldsBothCharts();
    void thePausePanelFollowsTheShownTab();
    void theWheelInNeverWidensAFewSeconds();
    void aPausedViewKeepsBothAxesThroughSamples_data();
    void aPausedViewKeepsBothAxesThroughSamples();
};

void ChartPairTest::followingPausesAndResumes_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<bool>("following");
    QTest::newRow("following from the start") << QStringList{} << true;
    QTest::newRow("a pan along time pauses") << QStringList{"pan"} << false;
    QTest::newRow("a pan of values alone pauses too") << QStringList{"pan up"} << false;
    QTest::newRow("samples leave a paused view where it is") << QStringList{"pan", "sample"} << false;
    QTest::newRow("a double-click follows again") << QStringList{"pan", "double-click", "sample"} << true;
    QTest::newRow("Home follows again") << QStringList{"pan", "Home"} << true;
    QTest::newRow("the wheel pauses both") << QStringList{"wheel"} << false;
    QTest::newRow("the wheel on the lower chart") << QStringList{"wheel lower", "sample"} << false;
    QTest::newRow("zoomed, then back") << QStringList{"wheel", "double-click lower"} << true;
}

void ChartPairTest::followingPausesAndResumes()
{
    QFETCH(QStringList, steps);
    QFETCH(bool, following);
    Tab tab;
    TrendChart& upper = *tab.charts.upperChart;
    TrendChart& lower = *tab.charts.lowerChart;
    const double spanBefore = upper.bottomUpper() - upper.bottomLower();
    int next = 60;
    for (const QString& step : steps) {
        if (step == "pan")
            drag(upper, {80, 0});
        else if (step == "pan up")
            drag(upper, {0, 40});
        else if (step == "sample")
            tab.sample(next++);
        else if (step == "double-click")
            QTest::mouseDClick(upper.view(), Qt::LeftButton, {}, plotCentre(upper));
        else if (step == "double-click lower")
            QTest::mouseDClick(lower.view(), Qt::LeftButton, {}, plotCentre(lower));
        else if (step == "Home")
            QTest::keyClick(upper.view(), Qt::Key_Home);
        else if (step == "wheel")
            wheel(upper, 480, tab.pixelOf(upper, 55));
        else if (step == "wheel lower")
            wheel(lower, 480, tab.pixelOf(lower, 55));
    }
    QCOMPARE(tab.charts.pair->isFollowing(), following);
    const qint64 lastSample = *qtui::dateTimeToEpochMsecs(baseTime() + (next - 1) * kSecond);
    if (following) {
        // Both time axes span the samples again, the newest at the right edge.
        for (TrendChart* c : {&upper, &lower}) {
            QVERIFY(c->isFollowing());
            QCOMPARE(bottomMaxMs(*c), lastSample);
        }
    } else if (!steps.contains(QStringLiteral("pan up"))) {
        QVERIFY(bottomMaxMs(upper) != lastSample);
    }
    if (!following && !steps.isEmpty() && steps.first().startsWith("wheel")) {
        // Both time axes zoomed alike about the pointer.
        QCOMPARE(upper.bottomLower(), lower.bottomLower());
        QCOMPARE(upper.bottomUpper(), lower.bottomUpper());
        QVERIFY(upper.bottomUpper() - upper.bottomLower() < spanBefore * 0.5);
    }
    if (!steps.isEmpty() && steps.last().startsWith("wheel"))
        QVERIFY(upper.leftMaximum() < 25.0);  // values from the points in view: the known one is not
}

void ChartPairTest::theReadoutShowsTheSampleAsExportedAndThePictureHoldsBothCharts()
{
    Tab tab;
    TrendChart& upper = *tab.charts.upperChart;
    TrendChart& lower = *tab.charts.lowerChart;
    const QPoint at = tab.pixelOf(lower, 20);
    QMouseEvent move(QEvent::MouseMove, at, lower.view()->mapToGlobal(at), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(lower.view(), &move);
    QVERIFY(lower.isReadoutShown());
    QVERIFY(upper.isReadoutShown());
    QCOMPARE(upper.readoutTime(), baseTime() + 20 * kSecond);
    QCOMPARE(lower.readoutTime(), upper.readoutTime());
    // The export's line for that sample: value 1 (six digits), value 2 (three), date, time.
    const QStringList exported = QString::fromStdString(exportLine(25.123456f, 3.14159f, baseTime() + 20 * kSecond,
                                                                   regionalFormats()))
                                     .trimmed()
                                     .split(QLatin1Char(' '));
    QCOMPARE(exported.size(), 4);
    QCOMPARE(lower.readoutText(), exported[2] + ' ' + exported[3] + '\n' + exported[0] + "   " + exported[1]);
    QVERIFY(upper.readoutText().isEmpty());  // the label on the chart under the pointer only

    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(lower.view(), &leave);
    QVERIFY(!upper.isReadoutShown() && !lower.isReadoutShown());

    tab.charts.pair->setDescribe([] { return QStringLiteral("Котёл/2"); });
    const QImage picture = tab.charts.pair->image();
    QCOMPARE(picture.size(), QSize(700, 600));
    int red = 0;
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x)
            red += picture.pixelColor(x, y) == QColor(Qt::red);
    QVERIFY(red > 200);  // both lines
    const QString name = tab.charts.pair->imageFileName();
    QVERIFY2(name.startsWith(QStringLiteral("Котёл_2 ")) && name.endsWith(QStringLiteral(".png")), qPrintable(name));

    tab.charts.pair->copyImage();
    QCOMPARE(QApplication::clipboard()->image().size(), picture.size());
    QCOMPARE(tab.charts.pair->imageMenu()->actions().size(), 2);
}

void ChartPairTest::thePausePanelFollowsTheShownTab()
{
    WorkDir work;
    ScriptedBoxes boxes;
    writeFile(QStringLiteral("grafimo.cfg"), configHeader("NULL") + deviceRecord(1, "a") + deviceRecord(2, "b"));
    createForms();
    Form1->show();
    QVERIFY(QTest::qWaitForWindowExposed(Form1));
    const QLabel* panel2 = Form1->statusBar()->findChildren<QLabel*>().at(2);
    const struct_device* first = Form1->DeviceTable[1].get();
    const auto expect = [&](bool paused) {
        QCOMPARE(panel2->text(), paused ? kPausedText : QString());
        QCOMPARE(panel2->toolTip(), paused ? kPausedHint : QString());
    };
    expect(false);
    wheel(*first->upperChart, 120, plotCentre(*first->upperChart));
    expect(true);
    // Another tab follows; coming back, the pause is said again.
    Form1->PageControl1->setCurrentIndex(1);
    expect(false);
    Form1->PageControl1->setCurrentIndex(0);
    expect(true);
    QTest::mouseDClick(first->lowerChart->view(), Qt::LeftButton, {}, plotCentre(*first->lowerChart));
    expect(false);
    destroyForms();
}

QTEST_MAIN(ChartPairTest)
#include "chart_pair_test.moc"

void ChartPairTest::theWheelInNeverWidensAFewSeconds()
{
    // The first seconds of a run: fewer than the narrowest zoom shows.
    QWidget sheet;
    TabCharts charts = createTabCharts(&sheet, true);
    for (int i = 0; i < 5; ++i)
        addPoint(*charts.upperSeries, *charts.upperChart, 10.0f + i, baseTime() + i * kSecond);
    TrendChart& upper = *charts.upperChart;
    const double before = upper.bottomUpper() - upper.bottomLower();
    QVERIFY(before < 10.0);
    upper.zoomTime((upper.bottomUpper() + upper.bottomLower()) / 2, 0.8);
    QVERIFY(upper.bottomUpper() - upper.bottomLower() <= before);
}

void ChartPairTest::aPausedViewKeepsBothAxesThroughSamples_data()
{
    QTest::addColumn<QString>("step");
    QTest::newRow("pan along time") << QStringLiteral("pan");
    QTest::newRow("pan of values") << QStringLiteral("pan up");
    QTest::newRow("wheel") << QStringLiteral("wheel");
    QTest::newRow("wheel on the lower chart") << QStringLiteral("wheel lower");
}

void ChartPairTest::aPausedViewKeepsBothAxesThroughSamples()
{
    QFETCH(QString, step);
    Tab tab;
    TrendChart& upper = *tab.charts.upperChart;
    TrendChart& lower = *tab.charts.lowerChart;
    if (step == "pan")
        drag(upper, {80, 0});
    else if (step == "pan up")
        drag(upper, {0, 40});
    else
        wheel(step == "wheel" ? upper : lower, 480, tab.pixelOf(step == "wheel" ? upper : lower, 30));
    // A pan is the dragged chart's alone; the wheel zooms both.
    QVERIFY(!upper.isFollowing());
    QCOMPARE(lower.isFollowing(), step.startsWith("pan"));
    const auto axes = [](const TrendChart& c) {
        return std::vector<double>{c.leftMinimum(), c.leftMaximum(), c.bottomLower(), c.bottomUpper()};
    };
    const std::vector<double> upperView = axes(upper);
    const std::vector<double> lowerView = axes(lower);

    // Samples far outside the view, one by one and as a reload's batch.
    for (int i = 60; i < 63; ++i) {
        addPoint(*tab.charts.upperSeries, upper, 1000.0f + i, baseTime() + i * kSecond);
        addPoint(*tab.charts.lowerSeries, lower, -500.0f, baseTime() + i * kSecond);
    }
    const std::pair<float, double> batch[] = {{2000.0f, baseTime() + 63 * kSecond}, {-9.0f, baseTime() + 64 * kSecond}};
    addPoints(*tab.charts.upperSeries, upper, batch);
    addPoints(*tab.charts.lowerSeries, lower, batch);
    QCOMPARE(upper.series().count(), std::size_t{65});
    QCOMPARE(lower.series().count(), std::size_t{65});
    for (TrendChart* c : {&upper, &lower}) {
        if (c->isFollowing())
            continue;
        const std::vector<double>& view = c == &upper ? upperView : lowerView;
        QCOMPARE(axes(*c), view);
        QCOMPARE(c->leftAxis()->range().lower, view[0]);
        QCOMPARE(c->leftAxis()->range().upper, view[1]);
        QCOMPARE(c->bottomAxis()->range().lower, view[2]);
        QCOMPARE(c->bottomAxis()->range().upper, view[3]);
    }

    // Following again: both axes take in every sample.
    tab.charts.pair->follow();
    QVERIFY(upper.leftMaximum() >= 2000.0 && lower.leftMinimum() <= -500.0);
    QCOMPARE(bottomMaxMs(upper), *qtui::dateTimeToEpochMsecs(baseTime() + 64 * kSecond));
}
