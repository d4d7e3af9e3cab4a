// Prints what "Сохранить все" and a long export cost: 254 devices of 100,000 records each
// (the files written by two threads, as the main window does), and one history file of
// 30 million records exported while a paced poller goes on appending to it, with the
// longest gap between two of its polls. Resident memory is taken from /proc: its peak
// (VmHWM) against what the program held before the exports began.
#include "grafimo/export_text.h"
#include "grafimo/history.h"
#include "regional_formats.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>
#include <sys/resource.h>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

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

// Written in blocks, so making the files does not itself raise the peak.
bool writeHistory(const fs::path& file, std::uint64_t count, double start)
{
    std::FILE* f = std::fopen(file.c_str(), "wb");
    if (!f)
        return false;
    std::vector<grafimo::HistoryRecord> block(4096);
    for (std::uint64_t i = 0; i < count;) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), count - i));
        for (std::size_t k = 0; k < n; ++k, ++i)
            block[k] = {static_cast<float>(i % 100000) / 100.0f, static_cast<float>(i % 9999) / 10.0f,
                        start + static_cast<double>(i) * 0.06 / 86400.0};
        // The history layout is little-endian, as the machines this runs on.
        if (std::fwrite(block.data(), 16, n, f) != n) {
            std::fclose(f);
            return false;
        }
    }
    return std::fclose(f) == 0;
}

// Lets VmHWM start again from the present resident size (Linux: "5" to clear_refs).
double cpuSeconds()
{
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void resetPeak()
{
    std::ofstream("/proc/self/clear_refs") << "5";
}

} // namespace

int main(int argc, char** argv)
{
    const fs::path base = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path();
    std::string templ = (base / "grafimo-bench-XXXXXX").string();
    if (!::mkdtemp(templ.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path dir = templ;
    const fs::path out = dir / "out";
    fs::create_directories(out);
    const grafimo::RegionalFormats formats = grafimo::regionalFormats(QLocale::c());
    const double start = grafimo::encodeDateTime({2024, 3, 5, 8, 0, 0, 0}).value();
    int status = 0;

    // "Сохранить все": 254 devices of 100,000 records.
    for (int a = 1; a <= 254 && status == 0; ++a)
        if (!writeHistory(dir / grafimo::historyFileName(static_cast<std::uint8_t>(a)), 100'000, start))
            status = 1;
    if (status == 0) {
        resetPeak();
        const long before = statusKiB("VmRSS");
        const auto t = Clock::now();
        const double cpu = cpuSeconds();
        // As the main window does it: two threads, each taking the next device.
        std::atomic<int> next{1};
        std::atomic<std::uint64_t> written{0};
        std::atomic<bool> failed{false};
        auto work = [&] {
            for (int a; (a = next.fetch_add(1)) <= 254;) {
                const auto address = static_cast<std::uint8_t>(a);
                const auto r = grafimo::exportHistoryText(
                    dir / grafimo::historyFileName(address),
                    out / grafimo::historyExportFileName("dev" + std::to_string(a), start, formats), formats,
                    [](std::uint64_t, std::uint64_t) { return true; });
                if (!r.ok) {
                    std::fprintf(stderr, "export failed: %s\n", r.error.c_str());
                    failed.store(true);
                }
                written.fetch_add(r.records);
            }
        };
        std::thread second(work);
        work();
        second.join();
        if (failed.load())
            status = 1;
        const std::uint64_t records = written.load();
        std::printf("save all, 254 devices x 100,000 records: %.2f s (%.2f s of CPU), %llu records, peak resident "
                    "growth %.1f MB\n",
                    secondsSince(t), cpuSeconds() - cpu, static_cast<unsigned long long>(records),
                    static_cast<double>(statusKiB("VmHWM") - before) / 1024.0);
        for (int a = 1; a <= 254; ++a)
            fs::remove(dir / grafimo::historyFileName(static_cast<std::uint8_t>(a)));
        fs::remove_all(out);
        fs::create_directories(out);
    }

    // One file of 30 million records, a poller appending every 60 ms meanwhile.
    const fs::path big = dir / "temp1.tmp";
    if (status == 0 && writeHistory(big, 30'000'000, start)) {
        std::atomic<bool> stop{false};
        std::atomic<long long> longestGapUs{0};
        std::atomic<std::uint64_t> polls{0};
        std::thread poller([&] {
            auto last = Clock::now();
            while (!stop.load()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(60));
                grafimo::appendHistoryRecord(big, {1.0f, 2.0f, start + 1.0});
                const auto now = Clock::now();
                const long long gap = std::chrono::duration_cast<std::chrono::microseconds>(now - last).count();
                if (gap > longestGapUs.load())
                    longestGapUs.store(gap);
                last = now;
                polls.fetch_add(1);
            }
        });
        resetPeak();
        const long before = statusKiB("VmRSS");
        const long peakBefore = statusKiB("VmHWM");
        const auto t = Clock::now();
        const auto r = grafimo::exportHistoryText(big, out / "big.txt", formats,
                                                  [](std::uint64_t, std::uint64_t) { return true; });
        const double seconds = secondsSince(t);
        stop.store(true);
        poller.join();
        if (!r.ok) {
            std::fprintf(stderr, "export failed: %s\n", r.error.c_str());
            status = 1;
        } else {
            std::printf("export of 30,000,000 records (%.0f MB): %.2f s, %llu records written, peak resident growth "
                        "%.1f MB (peak before %.1f MB), %llu polls meanwhile, longest gap between two %.0f ms (paced "
                        "at 60 ms)\n",
                        30e6 * 16 / 1e6, seconds, static_cast<unsigned long long>(r.records),
                        static_cast<double>(statusKiB("VmHWM") - before) / 1024.0, peakBefore / 1024.0,
                        static_cast<unsigned long long>(polls.load()), longestGapUs.load() / 1000.0);
        }
    } else if (status == 0) {
        status = 1;
    }
    fs::remove_all(dir);
    return status;
}
