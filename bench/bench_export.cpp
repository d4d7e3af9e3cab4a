// Prints how long the text export takes: a history file of a million records (a long
// run of one device), a full device log of 65,535 records, and the per-value cost of the
// number and date-time texts (the latter from the locale, as the program writes them).
#include "grafimo/export_text.h"
#include "grafimo/history.h"
#include "regional_formats.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
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

// Samples as the poll cycle stores them: value 1 in hundredths, value 2 in tenths, one
// sample about every 60 ms.
std::vector<grafimo::HistoryRecord> samples(std::size_t count, double start)
{
    std::mt19937 rng(7u);
    std::uniform_int_distribution<int> hundredths(-50'000, 150'000);
    std::uniform_int_distribution<int> tenths(0, 9'999);
    std::vector<grafimo::HistoryRecord> out;
    out.reserve(count);
    for (std::size_t i = 0; i < count; ++i)
        out.push_back({static_cast<float>(hundredths(rng)) / 100.0f, static_cast<float>(tenths(rng)) / 10.0f,
                       start + static_cast<double>(i) * 0.06 / 86400.0});
    return out;
}

bool writeHistory(const fs::path& file, const std::vector<grafimo::HistoryRecord>& records)
{
    std::FILE* f = std::fopen(file.c_str(), "wb");
    if (!f)
        return false;
    for (const auto& r : records) {
        // The history layout is little-endian, as the machines this runs on.
        std::fwrite(&r.value1, 4, 1, f);
        std::fwrite(&r.value2, 4, 1, f);
        std::fwrite(&r.time, 8, 1, f);
    }
    return std::fclose(f) == 0;
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
    const grafimo::RegionalFormats formats = grafimo::regionalFormats(QLocale::c());
    const double start = grafimo::encodeDateTime({2024, 3, 5, 8, 0, 0, 0}).value();
    int status = 0;

    // Cost of the pieces of one line.
    {
        const auto values = samples(1'000'000, start);
        grafimo::ExportTextFormat format(formats);
        std::string out;
        out.reserve(64);
        std::size_t bytes = 0;
        auto t = Clock::now();
        for (const auto& r : values) {
            out.clear();
            grafimo::appendGeneral(out, r.value1, 6, ",");
            grafimo::appendGeneral(out, r.value2, 3, ",");
            bytes += out.size();
        }
        const double numbersMs = msSince(t);
        t = Clock::now();
        for (const auto& r : values) {
            out.clear();
            format.appendDateTime(out, r.time);
            bytes += out.size();
        }
        const double datesMs = msSince(t);
        // What the writer saves by keeping the last day's and second's texts.
        t = Clock::now();
        for (std::size_t i = 0; i < 100'000; ++i) {
            const grafimo::DateTimeFields f = grafimo::decodeDateTime(values[i * 10].time);
            bytes += formats.dateTime->dateText(f).size() + formats.dateTime->timeText(f).size();
        }
        const double callMs = msSince(t);
        std::printf("two numbers per record     %7.1f ns\n", numbersMs * 1e6 / static_cast<double>(values.size()));
        std::printf("date-time text per record  %7.1f ns   (%zu bytes in all)\n", datesMs * 1e6 / static_cast<double>(values.size()), bytes);
        std::printf("locale date and time texts %7.1f ns per call of both\n", callMs * 1e6 / 100'000.0);
    }

    struct Run {
        const char* what;
        std::size_t records;
        int runs;
    } runs[] = {
        {"history export, 1,000,000 records", 1'000'000, 5},
        {"device log export, 65,535 records", 65'535, 20},
    };
    for (const Run& run : runs) {
        const auto records = samples(run.records, start);
        const fs::path in = dir / "temp1.tmp";
        const fs::path out = dir / "export.txt";
        if (!writeHistory(in, records)) {
            std::fprintf(stderr, "cannot write %s\n", in.c_str());
            status = 1;
            break;
        }
        std::vector<double> fromFile;
        std::vector<double> fromMemory;
        for (int i = 0; i < run.runs; ++i) {
            auto t = Clock::now();
            const auto r = grafimo::exportHistoryText(in, out, formats);
            fromFile.push_back(msSince(t));
            t = Clock::now();
            const auto m = grafimo::exportRecordsText(out, records, formats);
            fromMemory.push_back(msSince(t));
            if (!r.ok || !m.ok || r.records != run.records) {
                std::fprintf(stderr, "export failed: %s%s\n", r.error.c_str(), m.error.c_str());
                status = 1;
                break;
            }
        }
        if (status != 0)
            break;
        std::printf("%s: from the history file %.1f ms, from memory %.1f ms (median of %d), %.1f MB written\n",
                    run.what, median(fromFile), median(fromMemory), run.runs,
                    static_cast<double>(fs::file_size(out)) / 1e6);
    }
    fs::remove_all(dir);
    return status;
}
