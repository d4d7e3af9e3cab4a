// Figures for the live poll cycle: one exchange against the simulator pacing its bytes at
// 9600 baud, compared with the protocol's own minimum; processor time of the poll and
// receive threads per exchange; the reload of a 1,000,000-record history file.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <unistd.h>

#include "Oproskanala.h"
#include "Readthread.h"
#include "grafimo/history.h"
#include "grafimo/sim/server.h"

using namespace grafimo;
using namespace std::chrono;

namespace {

class CountingView : public PollView {
public:
    void requestSent(const std::string&) override {}
    void answerReceived(const std::string&) override {}
    void samplePlotted(std::uint8_t, float, float, double) override
    {
        {
            std::lock_guard lock(m);
            ++samples;
        }
        cv.notify_all();
    }
    void historyReloaded(std::uint8_t, std::vector<HistoryRecord>) override {}
    void historyWriteFailed(std::uint8_t, const std::string&) override {}
    bool waitFor(int n)
    {
        std::unique_lock lock(m);
        return cv.wait_for(lock, 120s, [&] { return samples >= n; });
    }
    std::mutex m;
    std::condition_variable cv;
    int samples = 0;
};

} // namespace

int main()
{
    char tmpl[] = "/tmp/grafimo-bench-XXXXXX";
    const std::filesystem::path dir = ::mkdtemp(tmpl);

    // --- exchanges at line speed ---
    sim::ServerConfig cfg;
    cfg.pace = true;
    for (std::uint8_t a : {1, 2, 3}) {
        sim::DeviceConfig d;
        d.address = a;
        cfg.devices.push_back(d);
    }
    sim::PtyServer server(cfg);
    server.start();

    platform::SerialPort port;
    if (port.open(server.ttyPath()) != platform::SerialPort::OpenStep::Ok) {
        std::fprintf(stderr, "cannot open %s\n", server.ttyPath().c_str());
        return 1;
    }
    Link link;
    PollDevices devices;
    devices.setTabs({1, 2, 3});
    CountingView view;
    ReadThread rx(port, link);
    rx.Start();
    oprosKanala poll(link, port, devices, view, dir, &rx);
    poll.Start();

    view.waitFor(3); // warm up
    const auto cpuPoll0 = poll.cpuTime();
    const auto cpuRx0 = rx.cpuTime();
    const auto t0 = steady_clock::now();
    const int n = 60;
    view.waitFor(3 + n);
    const auto elapsed = steady_clock::now() - t0;
    const auto cpuPoll = poll.cpuTime() - cpuPoll0;
    const auto cpuRx = rx.cpuTime() - cpuRx0;
    poll.stopAndWait();
    rx.Terminate();
    port.close();
    rx.WaitFor();
    server.stop();

    const double byteMs = 10.0 / 9600.0 * 1000.0; // 8N1: ten bits a byte
    const double minimum = 5.0 + 8 * byteMs + 17 * byteMs + 50.0;
    const double perExchange = duration<double, std::milli>(elapsed).count() / n;
    std::printf("exchange (grafimo-sim --pace, 3 devices, %d exchanges)\n", n);
    // A pseudo-terminal has no line: the request leaves at once, only the answer is paced.
    const double minimumPty = minimum - 8 * byteMs;
    std::printf("  measured %.2f ms per exchange\n", perExchange);
    std::printf("  protocol minimum on a wire %.2f ms (ratio %.3f); without the request's line time, as on a pty, %.2f ms (ratio %.3f)\n",
                minimum, perExchange / minimum, minimumPty, perExchange / minimumPty);
    std::printf("  CPU per exchange: poll thread %.1f us, receive thread %.1f us\n",
                duration<double, std::micro>(cpuPoll).count() / n,
                duration<double, std::micro>(cpuRx).count() / n);

    // --- reload of a large history file ---
    const auto file = dir / "reload.tmp";
    {
        // 1000 records appended the ordinary way, then copied in blocks up to 1,000,000.
        for (int i = 0; i < 1000; ++i)
            appendHistoryRecord(file, {float(i), float(i) / 2, 45000.0 + i / 86400.0});
        std::vector<unsigned char> block(16 * 1000);
        std::FILE* src = std::fopen(file.c_str(), "rb");
        const std::size_t got = src ? std::fread(block.data(), 1, block.size(), src) : 0;
        if (src)
            std::fclose(src);
        std::FILE* f = std::fopen(file.c_str(), "ab");
        for (int k = 1; f && k < 1000 && got == block.size(); ++k)
            std::fwrite(block.data(), 1, block.size(), f);
        if (f)
            std::fclose(f);
    }
    std::vector<double> times;
    std::size_t points = 0;
    for (int r = 0; r < 20; ++r) {
        const auto a = steady_clock::now();
        const auto recs = readThinnedHistory(file);
        times.push_back(duration<double, std::milli>(steady_clock::now() - a).count());
        points = recs ? recs->size() : 0;
    }
    std::sort(times.begin(), times.end());
    std::printf("reloadHistory read of %ju records: %zu points, median %.2f ms, worst %.2f ms\n",
                static_cast<std::uintmax_t>(std::filesystem::file_size(file) / 16), points,
                times[times.size() / 2], times.back());
    std::filesystem::remove_all(dir);
    return 0;
}
