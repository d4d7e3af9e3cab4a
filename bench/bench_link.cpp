// Figures for the silence wait that ends every exchange: a device answers 17 bytes in
// three pieces over a pseudo-terminal, the receive thread stores them, and the sender
// waits for 50 ms of silence. Printed: how far the wait runs past the 50 ms after the
// last stored byte, and what the waiting costs the sender's thread. For comparison the
// same with a counter of 1 ms sleeps, as a sender would wait without a timed wake-up.

#include "Readthread.h"
#include "grafimo/link.h"
#include "grafimo/platform/serial_port.h"

#include "../tests/support/pty_pair.h"

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <sys/resource.h>
#include <thread>
#include <time.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using grafimo::Link;

constexpr unsigned Limit = 50;
constexpr int Runs = 50;

double threadCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

long contextSwitches()
{
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return u.ru_nvcsw + u.ru_nivcsw;
}

struct Sample {
    double overshootMs;
    double cpuMs;
    long switches;
};

// The waiting the sender used to do: count 1 ms sleeps, start over whenever a chunk came.
void tickingWait(Link& link, unsigned limit)
{
    unsigned ticks = 0;
    auto mark = link.lastActivity();
    while (ticks < limit) {
        std::this_thread::sleep_for(1ms);
        const auto now = link.lastActivity();
        ticks = (now != mark) ? 0 : ticks + 1;
        mark = now;
    }
}

template <typename WaitFn>
std::vector<Sample> measure(grafimo::testing::PtyPair& pty, Link& link, WaitFn wait)
{
    std::vector<std::uint8_t> answer(17);
    std::iota(answer.begin(), answer.end(), std::uint8_t{1});
    const std::span<const std::uint8_t> all(answer);

    std::vector<Sample> samples;
    for (int run = 0; run < Runs; ++run) {
        link.resetRx();
        std::thread device([&] {
            // The device answers in pieces, each after the previous one was taken.
            pty.send(all.subspan(0, 5));
            link.waitForCount(5, 5s);
            pty.send(all.subspan(5, 6));
            link.waitForCount(11, 5s);
            pty.send(all.subspan(11, 6));
        });
        const double cpu0 = threadCpuMs();
        const long sw0 = contextSwitches();
        wait(link);
        const auto ended = Clock::now();
        const double cpu = threadCpuMs() - cpu0;
        const long sw = contextSwitches() - sw0;
        const std::size_t got = link.rxCount();
        const auto lastByte = link.lastActivity();
        device.join();
        // Let a late piece land before the next reset, so it cannot spill into the next run.
        link.waitForCount(answer.size(), 5s);
        if (got != answer.size()) {
            std::printf("  run %d: wait ended with %zu of 17 bytes (a gap between pieces exceeded "
                        "the limit)\n", run, got);
            continue;
        }
        const double overshoot =
            std::chrono::duration<double, std::milli>(ended - lastByte).count() - Limit;
        samples.push_back({overshoot, cpu, sw});
    }
    return samples;
}

void report(const char* title, std::vector<Sample> s)
{
    if (s.empty()) {
        std::printf("%s: no complete runs\n", title);
        return;
    }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    std::vector<double> over, cpu, sw;
    for (const auto& x : s) {
        over.push_back(x.overshootMs);
        cpu.push_back(x.cpuMs);
        sw.push_back(static_cast<double>(x.switches));
    }
    std::printf("%s (%zu runs)\n", title, s.size());
    std::printf("  past the %u ms after the last stored byte: median %.3f ms, worst %.3f ms\n",
                Limit, median(over), *std::max_element(over.begin(), over.end()));
    std::printf("  CPU of the waiting thread per wait:        median %.3f ms, worst %.3f ms\n",
                median(cpu), *std::max_element(cpu.begin(), cpu.end()));
    std::printf("  context switches per wait:                 median %.0f, worst %.0f\n",
                median(sw), *std::max_element(sw.begin(), sw.end()));
}

} // namespace

int main()
{
    grafimo::testing::PtyPair pty;
    if (!pty.ok()) {
        std::fprintf(stderr, "no pseudo-terminal available\n");
        return 1;
    }
    grafimo::platform::SerialPort port;
    if (port.open(pty.slavePath()) != grafimo::platform::SerialPort::OpenStep::Ok) {
        std::fprintf(stderr, "cannot open %s\n", pty.slavePath().c_str());
        return 1;
    }
    Link link;
    grafimo::ReadThread reader(port, link);
    reader.Start();

    std::printf("silence wait, limit %u ms, 17-byte answer in chunks of 5, 6 and 6 bytes over a pty\n",
                Limit);
    report("timed wait on the link", measure(pty, link, [](Link& l) { l.waitSilence(Limit); }));
    report("1 ms sleep ticks (comparison)", measure(pty, link, [](Link& l) { tickingWait(l, Limit); }));

    reader.Terminate();
    port.close();
    reader.WaitFor();
    std::printf("receive thread CPU over the whole run: %.3f ms\n",
                std::chrono::duration<double, std::milli>(reader.cpuTime()).count());
    return 0;
}
