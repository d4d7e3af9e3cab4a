// Charts of tabs that are not shown do not draw (a tab never shown has built no drawing at
// all); they keep their points and axis ranges and show, once their tab comes up, exactly
// what a chart that drew every sample shows.

#include <QTabWidget>
#include <QTest>

#include <cmath>
#include <memory>

#include "Osnovnaya.h"
#include "TrendCharts.h"
#include "grafimo_test/chart_probe.h"
#include "app_test_support.h"

using namespace grafimo;
using namespace grafimo::testing;

class HiddenTabTest : public QObject {
    Q_OBJECT

private slots:
    void aHiddenTabShowsWhatADrawingChartShows()
    {
        WorkDir work;
        ScriptedBoxes boxes;
        writeFile(QStringLiteral("grafimo.cfg"), configHeader("NULL") + deviceRecord(1, "a") + deviceRecord(2, "b"));
        createForms();
        Form1->show();
        struct_device* shown = Form1->DeviceTable[1].get();
        struct_device* hidden = Form1->DeviceTable[2].get();
        QCOMPARE(Form1->PageControl1->currentWidget(), shown->tabSheet);
        QVERIFY(shown->upperSeries->isAttached() && shown->lowerSeries->isAttached());
        QVERIFY(!hidden->upperSeries->isAttached() && !hidden->lowerSeries->isAttached());
        QVERIFY(shown->upperChart->isDrawn() && shown->lowerChart->isDrawn());
        QVERIFY(!hidden->upperChart->isDrawn() && !hidden->lowerChart->isDrawn());

        // The same samples to the hidden tab and to two charts that draw each one.
        TrendChart refUpper;
        TrendChart refLower;
        QVERIFY(refUpper.view() && refLower.view());
        const double t0 = 46088.5;
        for (int i = 0; i < 300; ++i) {
            const float v1 = static_cast<float>(std::sin(i * 0.1) * 50.0 + (i == 150 ? 400.0 : 0.0));
            const float v2 = static_cast<float>(20.0 + (i % 17) * 0.3);
            const double t = t0 + i / 86400.0;
            Form1->plotSample(2, v1, v2, t);
            addPoint(refUpper.series(), refUpper, v1, t);
            addPoint(refLower.series(), refLower, v2, t);
        }
        QVERIFY(!hidden->upperChart->isDrawn() && !hidden->lowerChart->isDrawn());

        Form1->PageControl1->setCurrentWidget(hidden->tabSheet);
        QVERIFY(hidden->upperSeries->isAttached() && hidden->lowerSeries->isAttached());
        QVERIFY(hidden->upperChart->isDrawn() && hidden->lowerChart->isDrawn());
        QVERIFY(!shown->upperSeries->isAttached());
        const std::pair<TrendChart*, TrendChart*> pairs[] = {{hidden->upperChart, &refUpper},
                                                             {hidden->lowerChart, &refLower}};
        for (const auto& [chart, ref] : pairs) {
            QCOMPARE(chart->series().count(), ref->series().count());
            for (std::size_t i = 0; i < ref->series().count(); ++i) {
                QCOMPARE(chart->series().x(i), ref->series().x(i));
                QCOMPARE(chart->series().y(i), ref->series().y(i));
            }
            QCOMPARE(chart->leftMinimum(), ref->leftMinimum());
            QCOMPARE(chart->leftMaximum(), ref->leftMaximum());
            QCOMPARE(chart->bottomAxis()->range().lower, ref->bottomAxis()->range().lower);
            QCOMPARE(chart->bottomAxis()->range().upper, ref->bottomAxis()->range().upper);
            QCOMPARE(chart->leftAxis()->range().lower, ref->leftAxis()->range().lower);
            QCOMPARE(chart->leftAxis()->range().upper, ref->leftAxis()->range().upper);
            QCOMPARE(drawnPoints(chart->series()), drawnPoints(ref->series()));
        }

        // Back to the first tab, more samples to the now hidden one: its drawing stays and
        // catches up in one step again.
        Form1->PageControl1->setCurrentWidget(shown->tabSheet);
        for (int i = 300; i < 320; ++i) {
            const double t = t0 + i / 86400.0;
            Form1->plotSample(2, 7.0f, 21.0f, t);
            addPoint(refUpper.series(), refUpper, 7.0f, t);
            addPoint(refLower.series(), refLower, 21.0f, t);
        }
        Form1->PageControl1->setCurrentWidget(hidden->tabSheet);
        for (const auto& [chart, ref] : pairs) {
            QCOMPARE(drawnPoints(chart->series()), drawnPoints(ref->series()));
            QCOMPARE(chart->leftAxis()->range().lower, ref->leftAxis()->range().lower);
            QCOMPARE(chart->leftAxis()->range().upper, ref->leftAxis()->range().upper);
            QCOMPARE(chart->bottomAxis()->range().upper, ref->bottomAxis()->range().upper);
        }
        destroyForms();
    }
};

QTEST_MAIN(HiddenTabTest)
#include "hidden_tab_test.moc"
