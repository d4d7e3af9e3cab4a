// Figures for the live poll cycle: one exchange against the simulator pacing its bytes at
// 9600 baud, compared with the protocol's own minimum, and the processor time of the poll
// and receive threads per exchange. The reload of a large history file is in bench_config.

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

    std::filesystem::remove_all(dir);
    return 0;
}
