// The device log window's two charts while a transfer fills them towards 65,535 records (the
// most a device holds): the cost of one record's two points at 1,000, 10,000 and 65,535
// points, the lateness of a 10 ms timer while records arrive at the wire's pace and as fast
// as they can be made, and resident memory with a full log. Prints figures; asserts nothing.
//
// Runs on the offscreen platform unless QT_QPA_PLATFORM says otherwise.

#include <QApplication>
#include <QElapsedTimer>
#include <QMetaObject>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <time.h>
#include <vector>

#include "Priemprotokol.h"
#include "TrendCharts.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kMinute = 1.0 / 1440.0;
constexpr double kFirst = 46082.0; // 1 March 2026

// CPU time of this thread: what the record costs the GUI thread, whatever else the
// machine runs meanwhile.
double threadCpuMillis()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

double millisSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

long residentKb()
{
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    }
    return -1;
}

float value1(int i) { return 20.0f + static_cast<float>(i % 37) * 0.25f; }
float value2(int i) { return 50.0f - static_cast<float>(i % 23) * 0.5f; }

void prefill(grafimo::TForm5& w, int n)
{
    std::vector<std::pair<double, double>> a, b;
    for (int i = 0; i < n; ++i) {
        a.emplace_back(kFirst + i * kMinute, value1(i));
        b.emplace_back(kFirst + i * kMinute, value2(i));
    }
    w.Series1->replaceAll(std::move(a));
    w.LineSeries1->replaceAll(std::move(b));
}

// Lateness of a 10 ms timer while the event loop runs whatever else is queued.
struct Lateness {
    double median = 0, p99 = 0, worst = 0;
    std::size_t ticks = 0;
};

class LatenessProbe {
public:
    LatenessProbe()
    {
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setInterval(10);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            const double now = clock_.nsecsElapsed() / 1e6;
            late_.push_back(std::max(0.0, now - expected_));
            expected_ = now + 10.0;
        });
        clock_.start();
        timer_.start();
    }
    Lateness stop()
    {
        timer_.stop();
        std::sort(late_.begin(), late_.end());
        if (late_.empty())
            return {};
        return {late_[late_.size() / 2], late_[late_.size() * 99 / 100], late_.back(), late_.size()};
    }

private:
    QTimer timer_;
    QElapsedTimer clock_;
    double expected_ = 10.0;
    std::vector<double> late_;
};

Lateness measureLateness(std::chrono::milliseconds duration)
{
    LatenessProbe probe;
    QTest::qWait(static_cast<int>(duration.count()));
    return probe.stop();
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    grafimo::TForm5 window;
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        std::printf("window not exposed\n");
    window.Timer1->stop();

    std::printf("one record (two addPoint calls and the repaint), shown window:\n");
    for (int n : {1000, 10000, 65535 - 200}) {
        prefill(window, n);
        QApplication::processEvents();
        std::vector<double> costs, cpu;
        for (int i = n; i < n + 100; ++i) {
            const auto t0 = Clock::now();
            const double c0 = threadCpuMillis();
            grafimo::addPoint(*window.Series1, *window.Chart1, value1(i), kFirst + i * kMinute);
            grafimo::addPoint(*window.LineSeries1, *window.Chart2, value2(i), kFirst + i * kMinute);
            window.repaint();
            cpu.push_back(threadCpuMillis() - c0);
            costs.push_back(millisSince(t0));
        }
        std::sort(costs.begin(), costs.end());
        std::sort(cpu.begin(), cpu.end());
        std::printf("  at %6d points: median %.2f ms, worst %.2f ms; thread CPU median %.2f ms\n", n,
                    costs[costs.size() / 2], costs.back(), cpu[cpu.size() / 2]);
    }

    // Records at the wire's pace (one every 55 ms), near the full log.
    {
        prefill(window, 60000);
        int next = 60000;
        QTimer wire;
        wire.setInterval(55);
        QObject::connect(&wire, &QTimer::timeout, [&] {
            grafimo::addPoint(*window.Series1, *window.Chart1, value1(next), kFirst + next * kMinute);
            grafimo::addPoint(*window.LineSeries1, *window.Chart2, value2(next), kFirst + next * kMinute);
            ++next;
        });
        wire.start();
        const Lateness l = measureLateness(std::chrono::seconds(10));
        wire.stop();
        std::printf("wire pace from 60,000 points, 10 ms timer late: median %.2f ms, 99%% %.2f ms, worst %.2f ms\n",
                    l.median, l.p99, l.worst);
    }

    // As fast as a thread can make them, through the same queue-and-batch hand-over as the
    // window's: one queued call takes all records waiting.
    {
        window.Series1->clear();
        window.LineSeries1->clear();
        std::mutex m;
        std::vector<grafimo::LogPoint> queued;
        bool posted = false;
        std::atomic<int> taken{0};
        auto take = [&] {
            std::vector<grafimo::LogPoint> points;
            {
                std::lock_guard lock(m);
                points.swap(queued);
                posted = false;
            }
            std::vector<std::pair<float, double>> a, b;
            for (const auto& p : points) {
                a.emplace_back(p.value1, p.time);
                b.emplace_back(p.value2, p.time);
            }
            grafimo::addPoints(*window.Series1, *window.Chart1, a);
            grafimo::addPoints(*window.LineSeries1, *window.Chart2, b);
            taken += static_cast<int>(points.size());
        };
        const auto t0 = Clock::now();
        std::thread producer([&] {
            for (int i = 0; i < 65535; ++i) {
                std::lock_guard lock(m);
                queued.push_back({kFirst + i * kMinute, value1(i), value2(i)});
                if (!posted) {
                    posted = true;
                    QMetaObject::invokeMethod(&window, take, Qt::QueuedConnection);
                }
            }
        });
        LatenessProbe probe;
        while (taken.load() < 65535)
            QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        const Lateness l = probe.stop();
        producer.join();
        std::printf("65,535 records as fast as made: all in %.0f ms, 10 ms timer late: worst %.1f ms over %zu ticks\n",
                    millisSince(t0), l.worst, l.ticks);
    }

    const long before = residentKb();
    window.Series1->clear();
    window.LineSeries1->clear();
    QApplication::processEvents();
    const long empty = residentKb();
    prefill(window, 65535);
    window.repaint();
    std::printf("resident memory: %ld MB with 65,535 records in both charts (%ld MB after clearing them; "
                "%ld MB before)\n",
                residentKb() / 1024, empty / 1024, before / 1024);
    return 0;
}
