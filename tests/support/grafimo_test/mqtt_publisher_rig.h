#pragma once
// A publisher over history files that a test writes itself, standing in for the poll thread:
// records appended with appendHistoryRecord, then sampleStored. Its log lines are kept.

#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "grafimo/datetime.h"
#include "grafimo/history.h"
#include "grafimo/mqtt/mqtt_publisher.h"

namespace grafimo::test {

class PublisherLog {
public:
    std::function<void(const std::string&)> sink()
    {
        return [this](const std::string& line) {
            std::lock_guard lock(mutex_);
            lines_.push_back(line);
        };
    }
    std::vector<std::string> lines() const
    {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    std::size_t count(const std::string& part) const
    {
        std::size_t n = 0;
        for (const std::string& l : lines())
            n += l.find(part) != std::string::npos;
        return n;
    }
    std::string text() const
    {
        std::string t;
        for (const std::string& l : lines())
            t += l + "\n";
        return t;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

// Record `i` of a device: values and a time (one second apart from 2026-12-09 10:00) that
// tell it from every other record.
inline HistoryRecord testRecord(int address, std::uint64_t i)
{
    const double start = *encodeDateTime({2026, 12, 9, 10, 0, 0, 0});
    return HistoryRecord{static_cast<float>(address) + static_cast<float>(i) * 0.01f,
                         -static_cast<float>(i % 1000) / 7.0f,
                         start + (static_cast<double>(i) + 0.125) / 86400.0};
}

inline bool appendRecords(const std::filesystem::path& historyDir, std::uint8_t address, std::uint64_t from,
                          std::uint64_t count)
{
    const std::filesystem::path file = historyDir / historyFileName(address);
    for (std::uint64_t i = from; i < from + count; ++i)
        if (!appendHistoryRecord(file, testRecord(address, i)))
            return false;
    return true;
}

inline mqtt::PublisherOptions publisherOptions(std::uint16_t port, const std::filesystem::path& historyDir,
                                               std::vector<mqtt::MqttDevice> devices, PublisherLog& log)
{
    mqtt::PublisherOptions o;
    o.settings.host = "127.0.0.1";
    o.settings.port = port;
    o.settings.prefix = "grafimo485/test";
    o.historyDir = historyDir;
    o.folderKey = "00000000feedf00d";
    o.devices = std::move(devices);
    o.log = log.sink();
    // Short waits between attempts: the tests end sooner, the rule is the same.
    o.retryFirst = std::chrono::milliseconds(200);
    o.retryLongest = std::chrono::milliseconds(1000);
    return o;
}

} // namespace grafimo::test
