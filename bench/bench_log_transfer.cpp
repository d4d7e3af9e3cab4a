// Reading a device log of 1,000 records from the simulated device at a 9600-baud wire's pace:
// time per record against the protocol's minimum. Prints figures; asserts nothing.
//
// A record costs the request (6 bytes), the device's turnaround (4 ms), the answer (19 bytes
// at 1.042 ms a byte) and the 10 ms gap between frames once the answer is whole. Over a
// pseudo-terminal the request takes no line time, so the minimum there is 4 + 19.79 + 10 =
// 33.79 ms; on a wire it is 40.04 ms.

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "Protokolthead.h"
#include "Readthread.h"
#include "grafimo/sim/server.h"

using namespace grafimo;

namespace {

class CountingView : public LogView {
public:
    void recordRead(const LogPoint&) override { ++records; }
    void transferEnded(TransferEnd) override {}
    std::atomic<unsigned> records{0};
};

} // namespace

int main()
{
    constexpr std::uint16_t kRecords = 1000;
    constexpr double kByteMs = 10.0 / 9.6;
    const double ptyMinimum = 4.0 + 19 * kByteMs + 10.0;
    const double wireMinimum = 6 * kByteMs + ptyMinimum;

    sim::ServerConfig cfg;
    cfg.pace = true;
    cfg.turnaround = std::chrono::milliseconds(4);
    sim::DeviceConfig d;
    d.address = 1;
    d.log.count = kRecords;
    cfg.devices.push_back(d);
    sim::PtyServer server(cfg);
    server.start();

    platform::SerialPort port;
    if (port.open(server.ttyPath()) != platform::SerialPort::OpenStep::Ok) {
        std::fprintf(stderr, "cannot open %s\n", server.ttyPath().c_str());
        return 1;
    }
    Link link;
    ReadThread rx(port, link);
    rx.Start();
    LogLine line(link, port, 1);
    LogState state;
    state.LogRecordCount.store(kRecords);
    CountingView view;

    PriemProtokola transfer(line, state, view);
    const auto t0 = std::chrono::steady_clock::now();
    transfer.Start();
    transfer.WaitFor();
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    const auto cpu = std::chrono::duration<double, std::milli>(transfer.cpuTime()).count();

    rx.Terminate();
    port.close();
    rx.WaitFor();
    server.stop();

    const double perRecord = ms / view.records.load();
    std::printf("%u records in %.1f s: %.2f ms a record; minimum over a pty %.2f ms (ratio %.3f), on a wire %.2f ms\n",
                view.records.load(), ms / 1000.0, perRecord, ptyMinimum, perRecord / ptyMinimum, wireMinimum);
    std::printf("transfer thread CPU: %.3f ms a record\n", cpu / view.records.load());
    std::printf("a log of 65,535 records at this pace: %.0f min\n", perRecord * 65535 / 60000.0);
    return 0;
}
