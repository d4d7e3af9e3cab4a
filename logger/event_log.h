#pragma once
// The recorder's account of its run: one line per event on a stream (stderr, read by the
// journal when run as a service), never one per sample. Each line says a change of state:
// a device that stays silent is said once, and so is a port that keeps failing the same way.

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "grafimo/session/bus_session.h"

namespace grafimo::logger {

class EventLog final : public session::SessionEvents {
public:
    // `journal`: the stream goes to the journal, so each line starts with its priority
    // ("<4>") instead of standing bare.
    explicit EventLog(std::FILE* out, bool journal = false);

    // Lines said by the recorder itself (owner thread).
    void started(const std::string& folder, const std::string& port, const std::vector<std::uint8_t>& devices,
                 const std::filesystem::path& historyDir);
    void stopped();
    void error(const std::string& line);
    // Lines of other parts of the run (the MQTT publisher's connection); any thread.
    void warning(const std::string& line);
    void notice(const std::string& line);

    // ---- session events ----
    void portOpened(const std::string& name) override;
    void portOpenFailed(const session::OpenFailure& failure) override;
    void portLost(const std::string& name, session::LossReason reason) override;
    void portBack(const std::string& name) override;
    void pollingStopped(std::exception_ptr fault) override;
    void sampleStored(std::uint8_t address, const HistoryRecord& record, bool stored) override;
    void historyWriteFailed(std::uint8_t address, const std::string& path) override;
    void diskSpaceLow(bool low, std::uint64_t freeBytes) override;
    void deviceSilent(std::uint8_t address, unsigned misses) override;
    void deviceBack(std::uint8_t address) override;
    void runMarkerFailed(const FileFault& fault) override;

    std::uint64_t stored() const { return stored_.load(std::memory_order_relaxed); }
    std::uint64_t notStored() const { return notStored_.load(std::memory_order_relaxed); }

private:
    enum Priority { Error = 3, Warning = 4, Notice = 5, Info = 6 };
    void say(Priority priority, const std::string& line);

    std::FILE* out_;
    bool journal_;
    std::mutex mutex_; // one line at a time from the owner and the poll thread

    // Owner thread: the last failure said for the link, so a retry that fails the same way
    // says nothing.
    std::string lastLinkFailure_;
    // Poll thread: devices silent now, and failed stores since the last one said.
    std::array<bool, 256> silent_{};
    std::atomic<std::uint64_t> stored_{0};
    std::atomic<std::uint64_t> notStored_{0};
    std::atomic<unsigned> silentCount_{0};
    std::array<bool, 256> writeFailing_{};
    std::size_t deviceCount_ = 0;
};

// The line for a failed open, without the program name: what was tried and why it failed.
std::string describeOpenFailure(const session::OpenFailure& failure);

} // namespace grafimo::logger
