// Figures for the live poll at the wire's pace: the simulator sends 1.04 ms a byte and
// answers 4 ms after a request (grafimo-sim --pace), the poll and receive threads of the
// program run as in the window. Printed:
//  - one exchange over a pty and over loopback TCP against the wire minimum (request,
//    4 ms turnaround, answer, 10 ms gap between frames) and against the same without the
//    request's line time (a pty and a socket deliver it at once);
//  - samples a second with 10 devices, and the time of one full round of 254 devices;
//  - wake-ups and processor time of the poll and receive threads per sample;
//  - the shortest and the median quiet time between the end of an answer and the next
//    request, as the simulator saw it.
// Asserts nothing. Builds against any version of the poll thread (it is also used to
// compare one build with another).

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

#include "Oproskanala.h"
#include "Readthread.h"
#include "grafimo/history.h"
#include "grafimo/platform/tcp_link.h"
#include "grafimo/sim/server.h"

using namespace grafimo;
using namespace std::chrono;

namespace {

constexpr double kByteMs = 10.0 / 9.6;
constexpr double kRequestMs = 8 * kByteMs;
constexpr double kAnswerMs = 17 * kByteMs;
constexpr double kWireMinimum = kRequestMs + 4.0 + kAnswerMs + 10.0;
constexpr double kPtyMinimum = kWireMinimum - kRequestMs;

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
    bool waitFor(long n)
    {
        std::unique_lock lock(m);
        return cv.wait_for(lock, 600s, [&] { return samples >= n; });
    }
    std::mutex m;
    std::condition_variable cv;
    long samples = 0;
};

bool openLine(platform::SerialPort& port, const sim::PtyServer& server, bool tcp)
{
    if (!tcp)
        return port.open(server.ttyPath()) == platform::SerialPort::OpenStep::Ok;
    const std::string name = server.ttyPath(); // tcp://127.0.0.1:PORT
    platform::TcpConnector connector;
    std::promise<platform::TcpConnectResult> done;
    connector.start("127.0.0.1", static_cast<std::uint16_t>(std::stoi(name.substr(name.rfind(':') + 1))),
                    [&](platform::TcpConnectResult r) { done.set_value(std::move(r)); });
    platform::TcpConnectResult result = done.get_future().get();
    return result.socket.valid()
           && port.openStream(result.socket.release(), name) == platform::SerialPort::OpenStep::Ok;
}

// Voluntary context switches of this process's threads named `comm`.
long wakeups(const char* comm)
{
    long total = 0;
    DIR* d = ::opendir("/proc/self/task");
    if (!d)
        return 0;
    while (dirent* e = ::readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        const std::string base = std::string("/proc/self/task/") + e->d_name;
        std::string name;
        std::getline(std::ifstream(base + "/comm"), name);
        if (name != comm)
            continue;
        std::ifstream status(base + "/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
                total += std::stol(line.substr(line.find(':') + 1));
    }
    ::closedir(d);
    return total;
}

struct Figures {
    double perSampleMs;
    double wakePoll, wakeRx;
    double cpuPollUs, cpuRxUs;
    double quietMinMs = 0, quietMedianMs = 0;
};

std::optional<Figures> measure(const std::filesystem::path& dir, bool tcp, int devicesCount, long n)
{
    sim::ServerConfig cfg;
    cfg.pace = true;
    cfg.turnaround = milliseconds(4);
    if (tcp)
        cfg.tcpListen = "127.0.0.1:0";
    std::vector<std::uint8_t> tabs;
    // Addresses 1.., or 0..253 for a full bus.
    const int first = devicesCount >= 254 ? 0 : 1;
    for (int a = first; a < first + devicesCount; ++a) {
        sim::DeviceConfig d;
        d.address = static_cast<std::uint8_t>(a);
        cfg.devices.push_back(d);
        tabs.push_back(d.address);
    }
    sim::PtyServer server(cfg);
    server.start();
    platform::SerialPort port;
    if (!openLine(port, server, tcp)) {
        std::fprintf(stderr, "cannot open %s\n", server.ttyPath().c_str());
        return std::nullopt;
    }
    Link link;
    PollDevices devices;
    devices.setTabs(tabs);
    CountingView view;
    ReadThread rx(port, link);
    rx.Start();
    oprosKanala poll(link, port, devices, view, dir, &rx);
    poll.Start();

    const long warm = std::min<long>(devicesCount, 5);
    view.waitFor(warm);
    const long wp0 = wakeups("grafimo-poll"), wr0 = wakeups("grafimo-rx");
    const auto cpuPoll0 = poll.cpuTime();
    const auto cpuRx0 = rx.cpuTime();
    const std::size_t answers0 = server.answerLog().size();
    const auto t0 = steady_clock::now();
    view.waitFor(warm + n);
    const auto elapsed = steady_clock::now() - t0;
    const double dn = static_cast<double>(n);
    Figures f{duration<double, std::milli>(elapsed).count() / dn,
              static_cast<double>(wakeups("grafimo-poll") - wp0) / dn,
              static_cast<double>(wakeups("grafimo-rx") - wr0) / dn,
              duration<double, std::micro>(poll.cpuTime() - cpuPoll0).count() / dn,
              duration<double, std::micro>(rx.cpuTime() - cpuRx0).count() / dn};
    poll.stopAndWait();
    rx.Terminate();
    port.close();
    rx.WaitFor();
    // From the end of each answer (its last write) to the next request's frame.
    const auto log = server.answerLog();
    std::vector<double> quiet;
    for (std::size_t i = std::max<std::size_t>(answers0, 1); i < log.size(); ++i)
        if (!log[i - 1].writes.empty())
            quiet.push_back(duration<double, std::milli>(log[i].requestAt - log[i - 1].writes.back().written).count());
    server.stop();
    if (!quiet.empty()) {
        std::sort(quiet.begin(), quiet.end());
        f.quietMinMs = quiet.front();
        f.quietMedianMs = quiet[quiet.size() / 2];
    }
    return f;
}

void print(const Figures& f)
{
    std::printf("  per sample: poll thread %.1f wake-ups %.1f us, receive thread %.1f wake-ups %.1f us\n", f.wakePoll,
                f.cpuPollUs, f.wakeRx, f.cpuRxUs);
    std::printf("  end of an answer to the next request (as the simulator sees it): shortest %.2f ms, median %.2f ms\n",
                f.quietMinMs, f.quietMedianMs);
}

} // namespace

int main(int argc, char** argv)
{
    const bool skipRound = argc > 1 && std::string(argv[1]) == "--no-254";
    char tmpl[] = "/tmp/grafimo-bench-XXXXXX";
    const std::filesystem::path dir = ::mkdtemp(tmpl);

    std::printf("wire minimum of a live exchange: request %.2f + turnaround 4 + answer %.2f + gap 10 = %.2f ms; "
                "without the request's line time %.2f ms\n",
                kRequestMs, kAnswerMs, kWireMinimum, kPtyMinimum);
    for (const bool tcp : {false, true}) {
        const auto f = measure(dir, tcp, 3, 100);
        if (!f)
            return 1;
        std::printf("live exchange over %s, 3 paced devices: %.2f ms; against the wire minimum %.3f, "
                    "without the request's line time %.3f\n",
                    tcp ? "loopback TCP" : "a pty", f->perSampleMs, f->perSampleMs / kWireMinimum,
                    f->perSampleMs / kPtyMinimum);
        print(*f);
    }
    if (const auto f = measure(dir, false, 10, 300)) {
        std::printf("10 paced devices on a pty: %.1f samples a second (%.2f ms a sample)\n", 1000.0 / f->perSampleMs,
                    f->perSampleMs);
        print(*f);
    }
    if (!skipRound) {
        if (const auto f = measure(dir, false, 254, 254))
            std::printf("254 paced devices on a pty: one full round %.2f s (%.2f ms a device)\n",
                        f->perSampleMs * 254 / 1000.0, f->perSampleMs);
    }
    std::filesystem::remove_all(dir);
    return 0;
}
