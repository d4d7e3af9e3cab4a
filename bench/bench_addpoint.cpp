// Cost of putting points on a trend chart: one live addPoint on a series of 1000 points
// (the most a device tab's lower chart holds before the reload thins it), and the reload's
// bulk refill of 500 points, attached and detached. Prints figures; asserts nothing.
//
// Runs on the offscreen platform unless QT_QPA_PLATFORM says otherwise.

#include <QApplication>
#include <QTest>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "TrendCharts.h"
#include "grafimo/datetime.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kSecond = 1.0 / 86400.0;

double microsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

struct Figures {
    double median;
    double p90;
    double max;
};

Figures summarise(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    const auto at = [&](double q) {
        return samples[static_cast<std::size_t>(q * static_cast<double>(samples.size() - 1))];
    };
    return {at(0.5), at(0.9), samples.back()};
}

float sampleValue(int i)
{
    return 20.0f + static_cast<float>(i % 37) * 0.25f - static_cast<float>(i % 11) * 0.5f;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    grafimo::TrendChart chart;
    chart.resize(860, 400);
    chart.show();
    if (!QTest::qWaitForWindowExposed(&chart))
        std::fprintf(stderr, "chart window not exposed; figures exclude layout\n");
    const double t0 = grafimo::nowDateTime();

    // addPoint on a 1000-point series: add the 1001st point, then take it out again by a
    // bulk refill outside the timing, so every sample sees the same series size.
    constexpr int kSeriesSize = 1000;
    constexpr int kRounds = 400;
    {
        std::vector<std::pair<float, double>> base;
        for (int i = 0; i < kSeriesSize; ++i)
            base.emplace_back(sampleValue(i), t0 + i * kSecond);
        grafimo::addPoints(chart.series(), chart, base);
        QCoreApplication::processEvents();

        std::vector<double> samples;
        samples.reserve(kRounds);
        std::vector<std::pair<double, double>> restore;
        for (const auto& [v, t] : base)
            restore.emplace_back(t, static_cast<double>(v));
        for (int r = 0; r < kRounds; ++r) {
            const float v = sampleValue(kSeriesSize + r) + static_cast<float>(r % 3);
            const auto start = Clock::now();
            grafimo::addPoint(chart.series(), chart, v, t0 + (kSeriesSize + r) * kSecond);
            samples.push_back(microsSince(start));
            chart.series().replaceAll(restore);
            QCoreApplication::processEvents();  // let the chart repaint between samples
        }
        const Figures f = summarise(samples);
        std::printf("addPoint on a %d-point series (attached, shown): median %.1f us, p90 %.1f us, max %.1f us (%d samples)\n",
                    kSeriesSize, f.median, f.p90, f.max, kRounds);
    }

    // The same including the repaint that follows each point.
    {
        chart.series().clear();
        std::vector<std::pair<float, double>> base;
        for (int i = 0; i < kSeriesSize; ++i)
            base.emplace_back(sampleValue(i), t0 + i * kSecond);
        grafimo::addPoints(chart.series(), chart, base);
        QCoreApplication::processEvents();
        std::vector<double> samples;
        for (int r = 0; r < 100; ++r) {
            const auto start = Clock::now();
            grafimo::addPoint(chart.series(), chart, sampleValue(r), t0 + (kSeriesSize + r) * kSecond);
            chart.repaint();
            samples.push_back(microsSince(start));
        }
        const Figures f = summarise(samples);
        std::printf("addPoint + repaint on ~%d points: median %.1f us, p90 %.1f us, max %.1f us (100 samples)\n",
                    kSeriesSize, f.median, f.p90, f.max);
    }

    // The reload's refill: 500 points per series.
    constexpr int kRefill = 500;
    std::vector<std::pair<float, double>> refill;
    for (int i = 0; i < kRefill; ++i)
        refill.emplace_back(sampleValue(i), t0 + 3 * i * kSecond);
    std::vector<std::pair<double, double>> refillXY;
    for (const auto& [v, t] : refill)
        refillXY.emplace_back(t, static_cast<double>(v));

    const auto timeRefill = [&](const char* what, auto&& body) {
        std::vector<double> samples;
        for (int r = 0; r < 60; ++r) {
            chart.series().clear();
            QCoreApplication::processEvents();
            const auto start = Clock::now();
            body();
            samples.push_back(microsSince(start));
        }
        const Figures f = summarise(samples);
        std::printf("%s, %d points: median %.1f us, p90 %.1f us, max %.1f us (60 samples)\n",
                    what, kRefill, f.median, f.p90, f.max);
    };
    timeRefill("replaceAll (attached)", [&] { chart.series().replaceAll(refillXY); });
    timeRefill("detach + addPoints + attach", [&] {
        chart.detachSeries();
        grafimo::addPoints(chart.series(), chart, refill);
        chart.attachSeries();
    });
    timeRefill("detach + addPoint x500 + attach", [&] {
        chart.detachSeries();
        for (const auto& [v, t] : refill)
            grafimo::addPoint(chart.series(), chart, v, t);
        chart.attachSeries();
    });
    timeRefill("addPoint x500 attached (no detach)", [&] {
        for (const auto& [v, t] : refill)
            grafimo::addPoint(chart.series(), chart, v, t);
    });
    return EXIT_SUCCESS;
}
