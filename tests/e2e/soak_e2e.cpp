// The soak run (scripts/soak.sh, by hand): the real program against 254 simulated devices
// showing every fault mode at once, with the line pulled out and put back now and then, for
// as long as it is given. Prints once per interval: samples stored, faults served, the
// program's resident memory. Fails when the program dies, when resident memory grows past
// the allowance over its first sample, or when the program's log holds a sanitizer report.
//
//   soak_e2e [SECONDS (3600)] [INTERVAL_SECONDS (60)] [ALLOWED_GROWTH_MIB (8)]

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "grafimo/sim/server.h"

using namespace grafimo::e2e;
using grafimo::sim::Faults;

namespace {

constexpr std::uint8_t kForeign = 255; // never on the list: 1..254 are

// Every device gets one fault mode by its address; a few stay healthy to compare against.
Faults faultsFor(std::uint8_t a)
{
    Faults f;
    switch (a % 10) {
    case 0: break;
    case 1: f.badCrcEvery = 3; break;
    case 2: f.garbageEvery = 2; break;
    case 3: f.foreignAddressEvery = 3; f.foreignAddress = kForeign; break;
    case 4: f.oversizeBytes = 300; break;
    case 5: f.babbleBytes = 200; f.babbleGapMs = 30; break;
    case 6: f.chunkBytes = 3; f.chunkGapMs = 10; f.lateMs = 20; break;
    case 7: f.exceptionEvery = 4; break;
    case 8: f.silent = a % 20 == 8; f.badCrcEvery = f.silent ? 0 : 5; break;
    default: f.garbageEvery = 5; f.badCrcEvery = 7; break;
    }
    return f;
}

std::uint64_t storedSamples(const Scene& s)
{
    std::uint64_t n = 0;
    for (unsigned a = 1; a <= 254; ++a)
        n += sizeOf(s.historyFile(static_cast<std::uint8_t>(a))) / 16;
    return n;
}

} // namespace

int main(int argc, char** argv)
{
    const long seconds = argc > 1 ? std::atol(argv[1]) : 3600;
    const long interval = argc > 2 ? std::atol(argv[2]) : 60;
    const long allowedKiB = (argc > 3 ? std::atol(argv[3]) : 8) * 1024;

    Scene s;
    const fs::path link = s.work.path() / "ttyBUS";
    std::vector<std::uint8_t> addresses;
    for (unsigned a = 1; a <= 254; ++a)
        addresses.push_back(static_cast<std::uint8_t>(a));
    grafimo::sim::ServerConfig config = simBus(link, addresses);
    for (grafimo::sim::DeviceConfig& d : config.devices)
        d.faults = faultsFor(d.address);
    grafimo::sim::PtyServer sim(config);
    sim.start();
    writeConfig(s.work.path() / "grafimo.cfg", link.string(), addresses);

    Program program(GRAFIMO485_EXE, s.work.path(), s.runtime.path());
    if (!program.started()) {
        std::fprintf(stderr, "soak: the program did not start\n");
        return 1;
    }
    std::printf("soak: %ld s, 254 devices, sample every %ld s, allowed growth %ld KiB\n", seconds, interval,
                allowedKiB);
    std::printf("%8s %10s %10s %10s %8s %8s %12s\n", "time_s", "samples", "answers", "faulty", "dropped",
                "unplugs", "resident_KiB");

    const auto start = std::chrono::steady_clock::now();
    long baseline = 0;
    long worstGrowth = 0;
    unsigned unplugs = 0;
    bool failed = false;
    for (long tick = 1; tick * interval <= seconds && !failed; ++tick) {
        const auto due = start + std::chrono::seconds(tick * interval);
        // Pull the line out in the middle of an answer once per interval, halfway through it.
        std::this_thread::sleep_until(start + std::chrono::seconds(tick * interval - interval / 2));
        if (waitUntil(
                [&] {
                    for (const auto& a : sim.answerLog())
                        if (!a.complete && !a.writes.empty())
                            return true;
                    return false;
                },
                std::chrono::seconds(interval / 4 + 1))) {
            sim.unplug();
            sim.replug();
            ++unplugs;
        }
        std::this_thread::sleep_until(due);

        if (!program.running()) {
            std::fprintf(stderr, "soak: the program ended\n%s\n", program.log().c_str());
            return 1;
        }
        const auto st = sim.stats();
        std::uint64_t answers = 0, faulty = 0;
        for (unsigned a = 1; a <= 254; ++a) {
            answers += st.answers[a];
            if (a % 10 != 0)
                faulty += st.answers[a];
        }
        const long rss = residentKiB(program.pid());
        if (tick == 1)
            baseline = rss;
        worstGrowth = std::max(worstGrowth, rss - baseline);
        std::printf("%8ld %10llu %10llu %10llu %8llu %8u %12ld\n", tick * interval,
                    static_cast<unsigned long long>(storedSamples(s)), static_cast<unsigned long long>(answers),
                    static_cast<unsigned long long>(faulty), static_cast<unsigned long long>(st.dropped), unplugs,
                    rss);
        std::fflush(stdout);
        if (rss - baseline > allowedKiB) {
            std::fprintf(stderr, "soak: resident memory grew by %ld KiB\n", rss - baseline);
            failed = true;
        }
    }

    program.signal(SIGTERM);
    const auto status = program.waitExit(std::chrono::seconds(120));
    sim.stop();
    const std::string log = program.log();
    const bool report = log.find("Sanitizer") != std::string::npos || log.find("runtime error") != std::string::npos;
    if (report)
        std::fprintf(stderr, "soak: sanitizer report in the program's output:\n%s\n", log.c_str());
    if (!status || !WIFEXITED(*status) || WEXITSTATUS(*status) != 0) {
        std::fprintf(stderr, "soak: the program did not end cleanly on SIGTERM\n%s\n", log.c_str());
        failed = true;
    }
    if (fs::exists(s.historyFile(kForeign))) {
        std::fprintf(stderr, "soak: samples stored for an address nobody asked\n");
        failed = true;
    }
    std::printf("soak: %s; resident memory grew at most %ld KiB over the first sample\n",
                failed || report ? "FAILED" : "passed", worstGrowth);
    return failed || report ? 1 : 0;
}
