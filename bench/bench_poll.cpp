// Figures for the live poll cycle: one exchange against the simulator pacing its bytes at
// 9600 baud, compared with the protocol's own minimum, and the processor time of the poll
// and receive threads per exchange. The same again with the bus behind a serial device
// server (the simulator on loopback TCP), against the same minimum. The reload of a large
// history file is in bench_config.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <future>
#include <mutex>
#include <optional>
#include <unistd.h>

#include "Oproskanala.h"
#include "Readthread.h"
#include "grafimo/history.h"
#include "grafimo/platform/tcp_link.h"
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

// Opens the simulator's line: its pseudo-terminal, or a connection to its TCP socket.
bool openLine(platform::SerialPort& port, const sim::PtyServer& server, bool tcp)
{
    if (!tcp)
        return port.open(server.ttyPath()) == platform::SerialPort::OpenStep::Ok;
    const std::string name = server.ttyPath(); // tcp://127.0.0.1:PORT
    const auto colon = name.rfind(':');
    platform::TcpConnector connector;
    std::promise<platform::TcpConnectResult> done;
    connector.start("127.0.0.1", static_cast<std::uint16_t>(std::stoi(name.substr(colon + 1))),
                    [&](platform::TcpConnectResult r) { done.set_value(std::move(r)); });
    platform::TcpConnectResult result = done.get_future().get();
    return result.socket.valid()
           && port.openStream(result.socket.release(), name) == platform::SerialPort::OpenStep::Ok;
}

struct Figures {
    double perExchangeMs;
    double cpuPollUs;
    double cpuRxUs;
};

std::optional<Figures> measure(const std::filesystem::path& dir, bool tcp, int n)
{
    sim::ServerConfig cfg;
    cfg.pace = true;
    if (tcp)
        cfg.tcpListen = "127.0.0.1:0";
    for (std::uint8_t a : {1, 2, 3}) {
        sim::DeviceConfig d;
        d.address = a;
        cfg.devices.push_back(d);
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
    view.waitFor(3 + n);
    const auto elapsed = steady_clock::now() - t0;
    const auto cpuPoll = poll.cpuTime() - cpuPoll0;
    const auto cpuRx = rx.cpuTime() - cpuRx0;
    poll.stopAndWait();
    rx.Terminate();
    port.close();
    rx.WaitFor();
    server.stop();
    return Figures{duration<double, std::milli>(elapsed).count() / n,
                   duration<double, std::micro>(cpuPoll).count() / n, duration<double, std::micro>(cpuRx).count() / n};
}

} // namespace

int main()
{
    char tmpl[] = "/tmp/grafimo-bench-XXXXXX";
    const std::filesystem::path dir = ::mkdtemp(tmpl);
    const int n = 60;

    const double byteMs = 10.0 / 9600.0 * 1000.0; // 8N1: ten bits a byte
    const double minimum = 5.0 + 8 * byteMs + 17 * byteMs + 50.0;
    // A pseudo-terminal has no line: the request leaves at once, only the answer is paced.
    // A socket to a gateway neither: the same minimum holds for both.
    const double minimumPty = minimum - 8 * byteMs;
    for (const bool tcp : {false, true}) {
        const auto f = measure(dir, tcp, n);
        if (!f)
            return 1;
        std::printf("exchange over %s (grafimo-sim --pace%s, 3 devices, %d exchanges)\n",
                    tcp ? "loopback TCP" : "a pty", tcp ? " --tcp" : "", n);
        std::printf("  measured %.2f ms per exchange\n", f->perExchangeMs);
        if (!tcp)
            std::printf("  protocol minimum on a wire %.2f ms (ratio %.3f); ", minimum, f->perExchangeMs / minimum);
        else
            std::printf("  ");
        std::printf("without the request's line time, as on a pty, %.2f ms (ratio %.3f)\n", minimumPty,
                    f->perExchangeMs / minimumPty);
        std::printf("  CPU per exchange: poll thread %.1f us, receive thread %.1f us\n", f->cpuPollUs, f->cpuRxUs);
    }

    std::filesystem::remove_all(dir);
    return 0;
}
