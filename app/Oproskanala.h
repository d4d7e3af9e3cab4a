#pragma once
// The poll thread: walks the device tabs round-robin, asks each device for its live values,
// plots and stores every valid answer and thins a device's charts from its history file
// once they hold 1000 points. It never touches a widget: everything meant for the windows
// goes through PollView, whose implementation queues it to the GUI thread in order.

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "grafimo/history.h"
#include "grafimo/link.h"
#include "grafimo/platform/serial_port.h"
#include "grafimo/platform/thread_base.h"

namespace grafimo {

class ReadThread;

// What the poll thread hands to the windows. Called on the poll thread; implementations
// must not block on the GUI thread (queued calls only) and must keep the order of calls.
class PollView {
public:
    virtual ~PollView() = default;
    // The request just written (monitor line text, green in the poll monitor).
    virtual void requestSent(const std::string& line) = 0;
    // All bytes received for a request (red line); also the cue that clears an inactive monitor.
    virtual void answerReceived(const std::string& line) = 0;
    // One valid sample: value 1 to the upper chart, value 2 to the lower chart, both at `time`.
    virtual void samplePlotted(std::uint8_t address, float value1, float value2, double time) = 0;
    // The device's charts are to be rebuilt from these records (thinned history).
    virtual void historyReloaded(std::uint8_t address, std::vector<HistoryRecord> records) = 0;
    // The device's charts are to keep only their points 0, stride, 2 * stride, ...: the
    // history file lacks samples that failed to be stored, so it cannot stand in for them.
    virtual void chartsThinned(std::uint8_t /*address*/, std::size_t /*stride*/) {}
    // The history file could not be written; the sample was still plotted. Said once per
    // device until a write succeeds again.
    virtual void historyWriteFailed(std::uint8_t address, const std::string& path) = 0;
    // One exchange with the polled device ended: `answered` when anything came back.
    virtual void pollDone(std::uint8_t /*address*/, bool /*answered*/) {}
    // A sample after its append to the history file; `stored` false when that failed.
    virtual void sampleStored(std::uint8_t /*address*/, const HistoryRecord& /*record*/, bool /*stored*/) {}
    // The filesystem holding the history files fell below (`low`) or rose again above the
    // free-space limit; `freeBytes` is what it had.
    virtual void diskSpaceLow(bool /*low*/, std::uint64_t /*freeBytes*/) {}
};

// State shared by the windows and the poll thread for the whole run: the tab order, the
// per-device no-answer counters, PollIndex and PollIdle. The tab list is only changed while
// the poll thread is parked (or absent), but it is guarded anyway so that a reader never
// sees half an update.
class PollDevices {
public:
    PollDevices();

    void setTabs(std::vector<std::uint8_t> addressesInTabOrder);
    std::vector<std::uint8_t> tabs() const;
    bool isConfigured(std::uint8_t address) const;

    std::uint8_t noAnswerCount(std::uint8_t address) const;
    void setNoAnswerCount(std::uint8_t address, std::uint8_t value);
    void countMissingAnswer(std::uint8_t address); // +1, held at 254
    // Also the moment the device was last heard from (or the user chose to wait for it).
    void resetNoAnswer(std::uint8_t address);
    std::chrono::steady_clock::time_point lastHeard(std::uint8_t address) const;

    // Points the device's lower chart holds, as far as the poll thread has sent them.
    std::size_t chartPoints(std::uint8_t address) const;
    void setChartPoints(std::uint8_t address, std::size_t points);

    std::atomic<std::uint8_t> PollIndex{0};
    std::atomic<bool> PollIdle{false};

private:
    mutable std::mutex mutex_;
    std::vector<std::uint8_t> tabs_;
    std::array<bool, 256> configured_{};
    std::array<std::size_t, 256> chartPoints_{};
    std::array<std::atomic<std::uint8_t>, 256> noAnswer_;
    // steady_clock ticks; a device that comes counts as heard then.
    std::array<std::atomic<std::int64_t>, 256> lastHeard_;
};

struct PollTiming {
    std::chrono::milliseconds idleWithoutTabs{100};
    std::chrono::milliseconds gapBeforeRequest{5};
    // ms of line silence that end an answer; a device has this many 1/64 s ticks to start
    // it (AnswerWait::full), or this many ms once it is taken for dead (AnswerWaits).
    unsigned silenceLimit = 50;
    std::size_t reloadAtPoints = 1000;
};

// How a reload reads the thinned history of one device (a test puts a fault in its place).
using HistoryReader = std::function<std::optional<std::vector<HistoryRecord>>(const std::filesystem::path&)>;

class oprosKanala : public platform::TThread {
public:
    oprosKanala(Link& link, platform::SerialPort& port, PollDevices& devices, PollView& view,
                std::filesystem::path historyDir, ReadThread* rxThread = nullptr,
                PollTiming timing = {}, HistoryReader readHistory = readThinnedHistory);
    ~oprosKanala() override;

    std::filesystem::path historyFile(std::uint8_t address) const;

    // Free space on the history files' filesystem is looked at after a store, at most once
    // per `every`; below `lowBytes` the view is told (64 MiB, once a minute). Set before Start.
    void setDiskSpaceWatch(std::uint64_t lowBytes, std::chrono::milliseconds every);

protected:
    const char* threadName() const override { return "grafimo-poll"; }
    void Execute() override;
    void onTerminate() override;

private:
    void pass();
    void reloadHistory(std::uint8_t address);
    bool sleepUnlessTerminated(std::chrono::steady_clock::duration);
    void watchDiskSpace();

    Link& link_;
    platform::SerialPort& port_;
    PollDevices& devices_;
    PollView& view_;
    std::filesystem::path historyDir_;
    ReadThread* rxThread_;
    PollTiming timing_;
    HistoryReader readHistory_;
    AnswerWaits waits_; // the poll thread's own: which wait each device gets
    std::array<bool, 256> writeFailReported_{};
    std::array<bool, 256> writeFailedSinceReload_{};
    std::mutex sleepMutex_;
    std::condition_variable sleepCv_;
    std::uint64_t lowSpaceBytes_ = std::uint64_t{64} << 20;
    std::chrono::milliseconds spaceCheckEvery_{60000};
    std::chrono::steady_clock::time_point nextSpaceCheck_{};
    bool spaceLow_ = false;
};

} // namespace grafimo
