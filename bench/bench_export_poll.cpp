// "Сохранить" of one history file of 30 million records (480 MB) in the real main window,
// while the poll thread goes on polling a device on a paced simulated bus (bytes at a
// 9600-baud wire's pace). Prints how long the export took, how far resident memory rose
// above what the program held before it (peak, from /proc), and the longest gap between
// two polls of the device while it ran, against the longest gap before it.
// Usage: bench_export_poll [records, default 30000000]

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "Oproskanala.h"
#include "Osnovnaya.h"
#include "grafimo/history.h"
#include "message_box.h"

// Qt's "emit" keyword macro would eat a member of that name in the simulator's header.
#pragma push_macro("emit")
#undef emit
#include "grafimo/sim/server.h"
#pragma pop_macro("emit")

namespace {

using Clock = std::chrono::steady_clock;

long statusKiB(const char* field)
{
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(in, line))
        if (line.rfind(key, 0) == 0)
            return std::stol(line.substr(key.size()));
    return 0;
}

// The median and the longest time between two consecutive requests to the device within
// [from, to].
std::pair<double, double> gapsMs(const std::vector<grafimo::sim::ServedAnswer>& log, Clock::time_point from,
                                 Clock::time_point to)
{
    std::vector<double> gaps;
    std::optional<Clock::time_point> last;
    for (const auto& a : log) {
        if (a.requestAt < from || a.requestAt > to)
            continue;
        if (last)
            gaps.push_back(std::chrono::duration<double, std::milli>(a.requestAt - *last).count());
        last = a.requestAt;
    }
    if (gaps.empty())
        return {0, 0};
    std::sort(gaps.begin(), gaps.end());
    return {gaps[gaps.size() / 2], gaps.back()};
}

bool waitFor(const std::function<bool()>& condition, std::chrono::seconds limit)
{
    const auto end = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > end)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QTemporaryDir runtime;
    QFile::setPermissions(runtime.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("XDG_STATE_HOME", QFile::encodeName(runtime.path()));
    QApplication app(argc, argv);
    const std::uint64_t records = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 30'000'000;

    QTemporaryDir work;
    QDir::setCurrent(work.path());
    const std::string link = (work.path() + QStringLiteral("/ttyBUS")).toStdString();
    grafimo::sim::ServerConfig config;
    config.pace = true;
    config.turnaround = std::chrono::milliseconds(4);
    grafimo::sim::DeviceConfig device;
    device.address = 1;
    config.devices.push_back(device);
    config.linkPath = link;
    grafimo::sim::PtyServer sim(config);
    sim.start();

    std::string cfg(100, '\0');
    cfg[0] = static_cast<char>(link.size());
    cfg.replace(1, link.size(), link);
    cfg += std::string("\x01\x03one", 5);
    std::ofstream("grafimo.cfg", std::ios::binary) << cfg;
    grafimo::setMessageBoxScript([](const QString& text, const QString&, unsigned) {
        std::printf("message box: %s\n", text.toUtf8().constData());
        return grafimo::IDOK;
    });

    grafimo::createForms();
    grafimo::TForm1* form = grafimo::Form1;
    form->show();
    const std::filesystem::path history = form->historyFile(1);
    int status = 0;
    if (!waitFor([&] { return grafimo::historyRecordCount(history) >= 3; }, std::chrono::seconds(60))) {
        std::fprintf(stderr, "no samples stored\n");
        status = 1;
    }

    // The long run's file, written with polling parked so no record lands in the middle.
    if (status == 0) {
        form->pollThread()->Suspend();
        form->pollThread()->waitParked(std::chrono::milliseconds(5000));
        std::ofstream out(history, std::ios::binary | std::ios::app);
        std::vector<grafimo::HistoryRecord> block(65536, grafimo::HistoryRecord{12.34f, 56.7f, 46000.25});
        for (std::uint64_t done = 0; done < records && out;) {
            const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), records - done));
            out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(n * 16));
            done += n;
        }
        out.close();
        form->pollThread()->Resume();
    }

    // Polls before the export, for comparison.
    const auto quietFrom = Clock::now();
    waitFor([] { return false; }, std::chrono::seconds(5));
    const auto quietTo = Clock::now();

    if (status == 0) {
        const QString target = work.filePath(QStringLiteral("out.txt"));
        // The save dialog, answered as a user would.
        QTimer answer;
        QObject::connect(&answer, &QTimer::timeout, [&] {
            if (!form->SaveDialog1()->isVisible())
                return;
            answer.stop();
            if (auto* name = form->SaveDialog1()->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
                name->setText(target);
            static_cast<QDialog*>(form->SaveDialog1())->accept();
        });
        answer.start(10);
        std::ofstream("/proc/self/clear_refs") << "5";
        const long before = statusKiB("VmRSS");
        const auto from = Clock::now();
        form->N7Click();
        const auto to = Clock::now();
        const double seconds = std::chrono::duration<double>(to - from).count();
        const auto log = sim.answerLog();
        std::printf("export of %llu records: %.2f s, %.0f MB written, peak resident growth %.1f MB\n",
                    static_cast<unsigned long long>(grafimo::historyRecordCount(history)), seconds,
                    static_cast<double>(QFileInfo(target).size()) / 1e6,
                    static_cast<double>(statusKiB("VmHWM") - before) / 1024.0);
        const auto during = gapsMs(log, from, to);
        const auto quiet = gapsMs(log, quietFrom, quietTo);
        std::printf("gap between two polls: median %.0f ms, longest %.0f ms during the export; median %.0f ms, "
                    "longest %.0f ms in 5 s before it\n",
                    during.first, during.second, quiet.first, quiet.second);
    }
    grafimo::setMessageBoxScript({});
    grafimo::destroyForms();
    sim.stop();
    return status;
}
