#pragma once
// Samples to an MQTT broker with nothing lost: the history files are the outbox. Each
// device's samples go out in file order from the count the broker has acknowledged, which
// is kept beside the history file, so a broker away for any time, a restart, or both lose
// nothing while the disk keeps the history.
//
// Threads. One thread of the publisher's own owns the MQTT client and its network. The
// feed (sampleStored, deviceAvailability) is a store and at most one write to a wake-up
// descriptor: the poll thread calls it after each history append and never waits on the
// network.

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "grafimo/mqtt/mqtt_options.h"

namespace grafimo::mqtt {

struct MqttDevice {
    std::uint8_t address = 0;
    std::string description; // UTF-8
};

struct PublisherOptions {
    MqttSettings settings;
    // The session's history directory: the history files and the acknowledged counts.
    std::filesystem::path historyDir;
    // The key of the working folder (the history directory's name): a part of the client
    // id and of Home Assistant's unique ids, so two folders never clash.
    std::string folderKey;
    std::vector<MqttDevice> devices;
    // One line per connection event (connected, refused with its reason, lost), called on
    // the publisher's thread; must not block.
    std::function<void(const std::string&)> log;
    // Tests shorten these.
    std::chrono::milliseconds retryFirst{1000};
    std::chrono::milliseconds retryLongest{30000};
    // Messages sent and not yet acknowledged, at most.
    unsigned maxInFlight = 20;
};

// The key of a history directory ".../grafimo485/<key>/".
std::string folderKeyOf(const std::filesystem::path& historyDir);

// The acknowledged count of a device as kept in `dir` (0 when there is none or it is not
// a number).
std::uint64_t readPublishedCount(const std::filesystem::path& dir, std::uint8_t address);

class MqttPublisher {
public:
    explicit MqttPublisher(PublisherOptions options);
    // Stops first when still running.
    ~MqttPublisher();
    MqttPublisher(const MqttPublisher&) = delete;
    MqttPublisher& operator=(const MqttPublisher&) = delete;

    // Starts the thread, which connects and keeps connecting. False (with `error`) when
    // the thread or its wake-up could not be made.
    bool start(std::string* error = nullptr);
    // Says "offline" on the status topic when connected, saves the counts, disconnects and
    // ends the thread; waits at most about half a second for the broker.
    void stop();

    // ---- the feed (any thread, never blocks) ----
    // A record was appended to the device's history file.
    void sampleStored(std::uint8_t address) noexcept;
    // The device answers again (true) or missed its polls (false).
    void deviceAvailability(std::uint8_t address, bool online) noexcept;

    // ---- progress (any thread) ----
    bool connected() const { return connected_.load(std::memory_order_relaxed); }
    // Samples acknowledged by the broker since start, over all devices.
    std::uint64_t acknowledgedSamples() const { return acked_.load(std::memory_order_relaxed); }

private:
    class Worker;
    void wake() noexcept;

    PublisherOptions options_;
    std::unique_ptr<Worker> worker_;
    std::thread thread_;
    int wakeFd_ = -1;
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> wakePending_{false};
    std::array<std::atomic<bool>, 256> stored_{};
    // 0 nothing said, 1 online, 2 offline
    std::array<std::atomic<std::uint8_t>, 256> availability_{};
    std::atomic<bool> availabilityChanged_{false};
    std::atomic<bool> connected_{false};
    std::atomic<std::uint64_t> acked_{0};
};

} // namespace grafimo::mqtt
