// Start-up and responsiveness with a full bus: 254 configured devices served by the
// simulator on a pseudo-terminal. Prints
//  - the time from process start and from creating the windows to the main window being
//    shown and exposed, and the resident memory then;
//  - the worst delay of the GUI event loop while all 254 devices are polled, measured by
//    a 10 ms timer that notes how late each tick comes.
// Usage: bench_startup [seconds of polling, default 20]

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "Osnovnaya.h"
#include "TrendCharts.h"
#include "message_box.h"

// Qt's "emit" keyword macro would eat a member of that name in the simulator's header.
#pragma push_macro("emit")
#undef emit
#include "grafimo/sim/server.h"
#pragma pop_macro("emit")

namespace {

// Milliseconds since this process was started, from /proc (10 ms resolution).
double msSinceProcessStart()
{
    std::ifstream statFile("/proc/self/stat");
    std::string stat((std::istreambuf_iterator<char>(statFile)), {});
    const auto close = stat.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream rest(stat.substr(close + 2));
    std::string field;
    unsigned long long start = 0;
    // Field 22 is the start time; the stream begins at field 3.
    for (int i = 3; i <= 22 && rest >> field; ++i) {
        if (i == 22)
            start = std::stoull(field);
    }
    double uptime = 0;
    std::ifstream("/proc/uptime") >> uptime;
    const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
    return (uptime - static_cast<double>(start) / ticks) * 1000.0;
}

long residentKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

} // namespace

int main(int argc, char* argv[])
{
    const double launchedMs = msSinceProcessStart();
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QTemporaryDir runtime;
    QFile::setPermissions(runtime.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("XDG_STATE_HOME", QFile::encodeName(runtime.path()));
    QApplication app(argc, argv);
    const int pollSeconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;

    QTemporaryDir work;
    QDir::setCurrent(work.path());
    const std::string link = (work.path() + QStringLiteral("/ttyBUS")).toStdString();

    grafimo::sim::ServerConfig config;
    // Devices answer after their turnaround, as on a wire.
    config.turnaround = std::chrono::milliseconds(4);
    for (int a = 0; a < 254; ++a) {
        grafimo::sim::DeviceConfig d;
        d.address = static_cast<std::uint8_t>(a);
        config.devices.push_back(d);
    }
    config.linkPath = link;
    grafimo::sim::PtyServer sim(config);
    sim.start();

    std::string cfg(100, '\0');
    cfg[0] = static_cast<char>(link.size());
    cfg.replace(1, link.size(), link);
    for (int a = 0; a < 254; ++a) {
        const std::string description = "Device " + std::to_string(a);
        cfg += static_cast<char>(a);
        cfg += static_cast<char>(description.size());
        cfg += description;
    }
    // Address 10 is the newline byte, stored as the pair CR LF.
    std::string stored;
    for (std::size_t i = 0; i < cfg.size(); ++i) {
        if (i >= 100 && cfg[i] == '\n')
            stored += '\r';
        stored += cfg[i];
    }
    std::ofstream("grafimo.cfg", std::ios::binary) << stored;

    // Nobody to answer questions in a benchmark.
    grafimo::setMessageBoxScript([](const QString& text, const QString&, unsigned) {
        std::printf("message box: %s\n", text.toUtf8().constData());
        return grafimo::IDNO;
    });

    const double beforeFormsMs = msSinceProcessStart();
    QElapsedTimer sinceForms;
    sinceForms.start();
    grafimo::createForms();
    grafimo::Form1->show();
    while (!grafimo::Form1->windowHandle() || !grafimo::Form1->windowHandle()->isExposed())
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    QApplication::processEvents();
    const double shownAfterFormsMs = static_cast<double>(sinceForms.nsecsElapsed()) / 1e6;
    const double shownSinceLaunchMs = msSinceProcessStart();

    std::printf("devices configured: %d (tabs: %d)\n", 254, grafimo::Form1->PageControl1->count());
    std::printf("process start to main(): %.0f ms\n", launchedMs);
    std::printf("process start to shown main window: %.0f ms (10 ms resolution)\n", shownSinceLaunchMs);
    std::printf("windows created to shown main window: %.1f ms\n", shownAfterFormsMs);
    std::printf("process start to creating the windows: %.0f ms\n", beforeFormsMs);
    std::printf("resident memory when shown: %ld KiB\n", residentKiB());
    std::fflush(stdout);

    // Event-loop delay probe while polling.
    constexpr int kTickMs = 10;
    std::vector<double> lateness;
    lateness.reserve(static_cast<std::size_t>(pollSeconds) * 1000 / kTickMs + 16);
    QElapsedTimer clock;
    clock.start();
    qint64 last = clock.nsecsElapsed();
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    probe.setInterval(kTickMs);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        lateness.push_back(static_cast<double>(now - last) / 1e6 - kTickMs);
        last = now;
    });
    const auto statsBefore = sim.stats();
    grafimo::sim::ServerStats statsAfter;
    std::size_t points = 0;
    long rssAfter = 0;
    probe.start();
    // Counted before quitting: quitting closes the main window, which releases the charts.
    QTimer::singleShot(pollSeconds * 1000, &app, [&] {
        probe.stop();
        statsAfter = sim.stats();
        for (const auto& d : grafimo::Form1->DeviceTable) {
            if (d)
                points += d->lowerSeries->count();
        }
        rssAfter = residentKiB();
        QApplication::quit();
    });
    QApplication::exec();

    std::uint64_t answers = 0;
    for (int a = 0; a < 256; ++a)
        answers += statsAfter.answers[a] - statsBefore.answers[a];
    std::sort(lateness.begin(), lateness.end());
    const auto pct = [&](double p) {
        return lateness.empty() ? 0.0 : lateness[std::min(lateness.size() - 1, static_cast<std::size_t>(p * lateness.size()))];
    };
    std::printf("polling for %d s: %llu answers (%.1f per second), %zu points on the charts\n", pollSeconds,
                static_cast<unsigned long long>(answers), static_cast<double>(answers) / pollSeconds, points);
    std::printf("GUI event loop, lateness of a %d ms timer over %zu ticks: median %.2f ms, 99%% %.2f ms, worst %.2f ms\n",
                kTickMs, lateness.size(), pct(0.5), pct(0.99), lateness.empty() ? 0.0 : lateness.back());
    std::printf("resident memory after polling: %ld KiB\n", rssAfter);

    grafimo::Form1->close();
    grafimo::destroyForms();
    grafimo::setMessageBoxScript({});
    sim.stop();
    return 0;
}
