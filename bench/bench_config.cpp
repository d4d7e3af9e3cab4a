// Prints how long the configuration rewrite after a device change and the chart reload
// from a large history file take.
#include "grafimo/config_file.h"
#include "grafimo/history.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main()
{
    std::string templ = (fs::temp_directory_path() / "grafimo-bench-XXXXXX").string();
    if (!::mkdtemp(templ.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path dir = templ;

    // 254 devices with 40-byte descriptions, rewritten as after every add or delete.
    const fs::path cfg = dir / "grafimo.cfg";
    std::vector<grafimo::DeviceRecord> devices;
    for (int a = 0; a < 254; ++a)
        devices.push_back({static_cast<std::uint8_t>(a), std::string(40, static_cast<char>('A' + a % 26))});
    if (grafimo::writePortName(cfg, "COM1") != grafimo::ConfigWrite::Missing) {
        std::fprintf(stderr, "unexpected existing file\n");
        return 1;
    }
    const int runs = 50;
    std::vector<double> rewrite;
    for (int i = 0; i < runs; ++i) {
        const auto start = Clock::now();
        const auto r = grafimo::writeDeviceRecords(cfg, devices);
        rewrite.push_back(msSince(start));
        if (r.status != grafimo::ConfigWrite::Ok) {
            std::fprintf(stderr, "rewrite failed: %s\n", r.error.c_str());
            return 1;
        }
    }
    std::vector<double> load;
    for (int i = 0; i < runs; ++i) {
        const auto start = Clock::now();
        const auto l = grafimo::loadDeviceList(cfg);
        load.push_back(msSince(start));
        if (l.devices.size() != devices.size())
            return 1;
    }
    std::printf("config rewrite, 254 devices x 40-byte descriptions (%ju bytes, with fsync): "
                "median %.3f ms, min %.3f ms, max %.3f ms over %d runs\n",
                static_cast<std::uintmax_t>(fs::file_size(cfg)), median(rewrite),
                *std::min_element(rewrite.begin(), rewrite.end()),
                *std::max_element(rewrite.begin(), rewrite.end()), runs);
    std::printf("config load, same file: median %.3f ms over %d runs\n", median(load), runs);

    // A history file of 1,000,000 records, thinned as in a chart reload.
    const fs::path hist = dir / grafimo::historyFileName(1);
    {
        const std::size_t n = 1'000'000;
        std::vector<char> bytes(n * grafimo::kHistoryRecordSize);
        for (std::size_t i = 0; i < n; ++i) {
            const float v1 = static_cast<float>(i % 1000) * 0.5f;
            const float v2 = static_cast<float>(i % 77);
            const double t = 45000.0 + static_cast<double>(i) / 86400.0;
            char* p = bytes.data() + i * grafimo::kHistoryRecordSize;
            std::memcpy(p, &v1, 4); // the bench runs on little-endian machines
            std::memcpy(p + 4, &v2, 4);
            std::memcpy(p + 8, &t, 8);
        }
        std::ofstream out(hist, std::ios::binary);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    std::vector<double> thin;
    std::vector<double> all;
    std::size_t points = 0;
    std::size_t records = 0;
    for (int i = 0; i < 20; ++i) {
        auto start = Clock::now();
        const auto t = grafimo::readThinnedHistory(hist);
        thin.push_back(msSince(start));
        points = t ? t->size() : 0;
        start = Clock::now();
        const auto a = grafimo::readAllHistory(hist);
        all.push_back(msSince(start));
        records = a ? a->size() : 0;
    }
    std::printf("history reload, 1,000,000 records (16 MB, page cache warm): %zu points, "
                "median %.3f ms over 20 runs\n", points, median(thin));
    std::printf("history read in full (export), same file: %zu records, median %.3f ms over 20 runs\n",
                records, median(all));

    std::error_code ec;
    fs::remove_all(dir, ec);
    return 0;
}
