// Figures of the MQTT publisher against a local Mosquitto:
//   drain:   a backlog of N samples (default 1,000,000) in the history files sent to the
//            broker: samples a second and resident memory growth;
//   latency: a sample appended and announced as the poll thread does, until a subscriber
//            has it: the median and the 95th percentile;
//   away:    254 devices stored at once every 100 ms while the broker is away for S
//            seconds (default 60; 600 for the full ten minutes): resident memory sampled
//            along the way, then the drain once it is back.
// Usage: bench_mqtt [drain [N]] [latency [N]] [away [S]]   (no argument: all three)
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "grafimo/history.h"
#include "grafimo/mqtt/mqtt_publisher.h"
#include "grafimo_test/mosquitto_broker.h"
#include "grafimo_test/mqtt_publisher_rig.h"
#include "grafimo_test/mqtt_subscriber.h"
#include "grafimo_test/temp_dir.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace gm = grafimo::mqtt;
namespace gt = grafimo::test;

namespace {

long rssKiB()
{
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

bool writeBacklog(const std::filesystem::path& dir, std::uint8_t address, std::uint64_t count)
{
    // Written in large blocks: the figure is about sending, not about making the file.
    std::ofstream out(dir / grafimo::historyFileName(address), std::ios::binary | std::ios::app);
    std::vector<char> buf;
    for (std::uint64_t i = 0; i < count; ++i) {
        const grafimo::HistoryRecord r = gt::testRecord(address, i);
        char bytes[16];
        std::memcpy(bytes, &r.value1, 4);
        std::memcpy(bytes + 4, &r.value2, 4);
        std::memcpy(bytes + 8, &r.time, 8);
        buf.insert(buf.end(), bytes, bytes + 16);
        if (buf.size() >= (1 << 20)) {
            out.write(buf.data(), static_cast<std::streamsize>(buf.size()));
            buf.clear();
        }
    }
    out.write(buf.data(), static_cast<std::streamsize>(buf.size()));
    return static_cast<bool>(out);
}

void drain(std::uint64_t count)
{
    gt::TempDir dir("grafimo-bench-mqtt");
    gt::MosquittoBroker broker(dir / "broker");
    if (!broker.start()) {
        std::printf("drain: the broker did not start\n");
        return;
    }
    const auto history = dir / "history" / "";
    std::filesystem::create_directories(history);
    writeBacklog(history, 1, count);
    gt::PublisherLog log;
    gm::MqttPublisher publisher(gt::publisherOptions(broker.port(), history, {{1, ""}}, log));
    const long before = rssKiB();
    long peak = before;
    const auto start = Clock::now();
    publisher.start();
    while (publisher.acknowledgedSamples() < count) {
        std::this_thread::sleep_for(50ms);
        peak = std::max(peak, rssKiB());
        if (Clock::now() - start > 30min) {
            std::printf("drain: gave up after 30 min at %llu\n",
                        static_cast<unsigned long long>(publisher.acknowledgedSamples()));
            return;
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    publisher.stop();
    std::printf("drain: %llu samples in %.2f s = %.0f samples/s; RSS before %ld KiB, peak %ld KiB (+%ld KiB)\n",
                static_cast<unsigned long long>(count), seconds, static_cast<double>(count) / seconds, before, peak,
                peak - before);
}

void latency(int samples)
{
    gt::TempDir dir("grafimo-bench-mqtt");
    gt::MosquittoBroker broker(dir / "broker");
    if (!broker.start()) {
        std::printf("latency: the broker did not start\n");
        return;
    }
    const auto history = dir / "history" / "";
    std::filesystem::create_directories(history);
    gt::MqttSubscriber::Config sc;
    sc.port = broker.port();
    gt::MqttSubscriber sub(sc, {"grafimo485/test/1/sample"});
    sub.waitSubscribed();
    gt::PublisherLog log;
    gm::MqttPublisher publisher(gt::publisherOptions(broker.port(), history, {{1, ""}}, log));
    publisher.start();
    gt::waitUntil([&] { return publisher.connected(); });
    std::vector<double> ms;
    for (int i = 0; i < samples; ++i) {
        // The poll thread's part after an answer: append, then say so.
        const auto answered = Clock::now();
        gt::appendRecords(history, 1, static_cast<std::uint64_t>(i), 1);
        publisher.sampleStored(1);
        sub.waitFor([&](const auto& m) { return m.size() > static_cast<std::size_t>(i); }, 10s);
        const auto m = sub.messages();
        if (m.size() <= static_cast<std::size_t>(i))
            break;
        ms.push_back(std::chrono::duration<double, std::milli>(m[static_cast<std::size_t>(i)].arrived - answered).count());
        std::this_thread::sleep_for(10ms); // a paced bus: one answer at a time
    }
    std::sort(ms.begin(), ms.end());
    if (ms.empty())
        return;
    std::printf("latency: %zu samples, answer to subscriber median %.3f ms, p95 %.3f ms, max %.3f ms\n", ms.size(),
                ms[ms.size() / 2], ms[ms.size() * 95 / 100], ms.back());
}

void away(int seconds)
{
    gt::TempDir dir("grafimo-bench-mqtt");
    gt::MosquittoBroker broker(dir / "broker");
    if (!broker.start()) {
        std::printf("away: the broker did not start\n");
        return;
    }
    const auto history = dir / "history" / "";
    std::filesystem::create_directories(history);
    std::vector<gm::MqttDevice> devices;
    for (int a = 1; a <= 254; ++a)
        devices.push_back({static_cast<std::uint8_t>(a), "device " + std::to_string(a)});
    gt::PublisherLog log;
    gm::MqttPublisher publisher(gt::publisherOptions(broker.port(), history, devices, log));
    publisher.start();
    gt::waitUntil([&] { return publisher.connected(); });
    std::uint64_t rounds = 0;
    const auto storeRound = [&] {
        for (int a = 1; a <= 254; ++a) {
            gt::appendRecords(history, static_cast<std::uint8_t>(a), rounds, 1);
            publisher.sampleStored(static_cast<std::uint8_t>(a));
        }
        ++rounds;
    };
    for (int i = 0; i < 20; ++i) {
        storeRound();
        std::this_thread::sleep_for(100ms);
    }
    broker.stop();
    const long start = rssKiB();
    std::printf("away: broker stopped, 254 devices stored every 100 ms for %d s; RSS %ld KiB\n", seconds, start);
    const auto begin = Clock::now();
    long low = start, high = start;
    auto nextReport = begin + 10s;
    while (Clock::now() - begin < std::chrono::seconds(seconds)) {
        storeRound();
        std::this_thread::sleep_for(100ms);
        const long r = rssKiB();
        low = std::min(low, r);
        high = std::max(high, r);
        if (Clock::now() >= nextReport) {
            std::printf("away: %3lld s, %llu samples waiting per device, RSS %ld KiB\n",
                        static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - begin).count()),
                        static_cast<unsigned long long>(rounds - 20), r);
            nextReport += 10s;
        }
    }
    std::printf("away: RSS over the outage from %ld to %ld KiB (spread %ld KiB)\n", low, high, high - low);
    broker.start();
    const auto back = Clock::now();
    const std::uint64_t total = rounds * 254;
    while (publisher.acknowledgedSamples() < total && Clock::now() - back < 10min)
        std::this_thread::sleep_for(50ms);
    std::printf("away: broker back; %llu of %llu samples acknowledged in %.1f s; RSS %ld KiB\n",
                static_cast<unsigned long long>(publisher.acknowledgedSamples()),
                static_cast<unsigned long long>(total),
                std::chrono::duration<double>(Clock::now() - back).count(), rssKiB());
}

} // namespace

int main(int argc, char** argv)
{
    const bool all = argc == 1;
    for (int i = 1; i < argc || all; ++i) {
        const std::string what = all ? "" : argv[i];
        const bool hasNumber = !all && i + 1 < argc && std::isdigit(static_cast<unsigned char>(argv[i + 1][0]));
        const long n = hasNumber ? std::atol(argv[++i]) : 0;
        if (all || what == "drain")
            drain(n > 0 ? static_cast<std::uint64_t>(n) : 1000000);
        if (all || what == "latency")
            latency(n > 0 ? static_cast<int>(n) : 500);
        if (all || what == "away")
            away(n > 0 ? static_cast<int>(n) : 60);
        if (all)
            break;
    }
}
