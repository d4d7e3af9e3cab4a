// Figures for a bus with a slow and a dead device: ten devices on the simulator pacing its
// bytes at 9600 baud, each answering 4 ms after its request, except device 9, which answers
// after 60 ms, and device 10, which never answers. Printed: the samples per second the poll
// cycle stores for each device, and whether every stored value is one served to that device.
// Usage: bench_slow_bus [seconds] (default 30), counted after a 5 s start.

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <unistd.h>

#include "Oproskanala.h"
#include "Readthread.h"
#include "grafimo/frames.h"
#include "grafimo/history.h"
#include "grafimo/sim/server.h"

using namespace grafimo;
using namespace std::chrono;

namespace {

class CountingView : public PollView {
public:
    void requestSent(const std::string&) override {}
    void answerReceived(const std::string&) override {}
    void samplePlotted(std::uint8_t a, float, float, double) override
    {
        std::lock_guard lock(m);
        ++samples[a];
    }
    void historyReloaded(std::uint8_t, std::vector<HistoryRecord>) override {}
    void historyWriteFailed(std::uint8_t, const std::string&) override {}
    std::array<long, 256> counts()
    {
        std::lock_guard lock(m);
        return samples;
    }
    std::mutex m;
    std::array<long, 256> samples{};
};

} // namespace

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
    char tmpl[] = "/tmp/grafimo-bench-XXXXXX";
    const std::filesystem::path dir = ::mkdtemp(tmpl);

    sim::ServerConfig cfg;
    cfg.pace = true;
    cfg.turnaround = milliseconds(4);
    std::vector<std::uint8_t> tabs;
    for (std::uint8_t a = 1; a <= 10; ++a) {
        sim::DeviceConfig d;
        d.address = a;
        if (a == 9)
            d.faults.lateMs = 56; // 4 ms turnaround + 56 = first byte 60 ms after the request
        if (a == 10)
            d.faults.silent = true;
        cfg.devices.push_back(d);
        tabs.push_back(a);
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
    devices.setTabs(tabs);
    CountingView view;
    ReadThread rx(port, link);
    rx.Start();
    oprosKanala poll(link, port, devices, view, dir, &rx);
    poll.Start();

    // The rates are taken once the silent device has been taken for dead (its first three
    // requests wait the whole deadline).
    std::this_thread::sleep_for(5s);
    const auto before = view.counts();
    std::this_thread::sleep_for(seconds * 1s);
    auto counts = view.counts();
    for (std::size_t a = 0; a < counts.size(); ++a)
        counts[a] -= before[a];
    poll.Suspend();
    poll.waitParked(10s);
    poll.stopAndWait();
    rx.Terminate();
    port.close();
    rx.WaitFor();
    server.stop();

    // Each stored value must be one the simulator served to that device, in the order served.
    const auto log = server.answerLog();
    std::printf("paced bus of 10 devices, device 9 answering after 60 ms, device 10 silent, %d s after 5 s\n", seconds);
    double others = 0;
    for (std::uint8_t a = 1; a <= 10; ++a) {
        const auto stored = readAllHistory(dir / historyFileName(a));
        std::size_t served = 0, inPlace = 0;
        std::size_t next = 0;
        std::vector<const sim::ServedAnswer*> mine;
        for (const auto& s : log)
            if (s.address == a && s.registers)
                mine.push_back(&s);
        served = mine.size();
        if (stored) {
            for (const HistoryRecord& r : *stored) {
                while (next < mine.size()) {
                    const auto served1 = decodeLiveAnswer(mine[next]->bytes);
                    ++next;
                    if (served1 && r.value1 == served1->value1 && r.value2 == served1->value2) {
                        ++inPlace;
                        break;
                    }
                }
            }
        }
        const double rate = static_cast<double>(counts[a]) / seconds;
        if (a <= 8)
            others += rate;
        std::printf("  device %2d: %6.3f samples/s; whole run: %zu stored, %zu answers served, %zu of the stored match a served answer in order\n",
                    a, rate, stored ? stored->size() : 0, served, inPlace);
    }
    std::printf("  devices 1-8 on average: %.3f samples/s\n", others / 8);
    std::printf("  no-answer count of the silent device 10 at the end: %d\n", devices.noAnswerCount(10));
    std::filesystem::remove_all(dir);
    return 0;
}
