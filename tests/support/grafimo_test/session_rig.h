#pragma once
// A bus session as a front end holds it, on the test's own thread: its owner loop, a
// listener that records every event in order, and a way to run the loop until something
// has happened (a failure guard only, never a measure of time).
#include "grafimo/session/bus_session.h"
#include "grafimo/session/session_loop.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace grafimo::test {

class SessionRecorder : public session::SessionEvents {
public:
    struct Stored {
        std::uint8_t address;
        HistoryRecord record;
        bool stored;
    };

    void portOpened(const std::string& name) override { add("opened " + name); }
    void portOpenFailed(const session::OpenFailure& f) override
    {
        add(std::string(f.refused ? "refused " : "failed ") + f.name);
    }
    void portLost(const std::string& name, session::LossReason reason) override
    {
        add(std::string(reason == session::LossReason::NoAnswer ? "silent-link " : "lost ") + name);
    }
    void portBack(const std::string& name) override { add("back " + name); }
    void pollingStopped(std::exception_ptr) override { add("stopped"); }
    void deviceSilent(std::uint8_t a, unsigned misses) override
    {
        add("silent " + std::to_string(a) + " after " + std::to_string(misses));
    }
    void deviceBack(std::uint8_t a) override { add("answers " + std::to_string(a)); }
    void runMarkerFailed(const FileFault&) override { add("marker failed"); }
    void historyWriteFailed(std::uint8_t a, const std::string&) override { add("write failed " + std::to_string(a)); }
    void sampleStored(std::uint8_t a, const HistoryRecord& r, bool ok) override
    {
        std::lock_guard lock(mutex_);
        stored_.push_back({a, r, ok});
    }

    std::vector<std::string> events() const
    {
        std::lock_guard lock(mutex_);
        return events_;
    }
    bool has(const std::string& event) const
    {
        std::lock_guard lock(mutex_);
        for (const std::string& e : events_) {
            if (e == event)
                return true;
        }
        return false;
    }
    int count(const std::string& event) const
    {
        std::lock_guard lock(mutex_);
        int n = 0;
        for (const std::string& e : events_)
            n += e == event ? 1 : 0;
        return n;
    }
    std::vector<Stored> stored() const
    {
        std::lock_guard lock(mutex_);
        return stored_;
    }
    std::size_t storedOf(std::uint8_t address) const
    {
        std::lock_guard lock(mutex_);
        std::size_t n = 0;
        for (const Stored& s : stored_)
            n += s.address == address ? 1 : 0;
        return n;
    }

private:
    void add(std::string event)
    {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
    }

    mutable std::mutex mutex_;
    std::vector<std::string> events_;
    std::vector<Stored> stored_;
};

// Runs the owner loop on the calling thread until `done` holds; false when `guard` passed
// first.
inline bool runUntil(session::SessionLoop& loop, const std::function<bool()>& done,
                     std::chrono::milliseconds guard = std::chrono::seconds(20))
{
    const auto until = std::chrono::steady_clock::now() + guard;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= until)
            return false;
        loop.runFor(std::chrono::milliseconds(10));
    }
    return true;
}

// Timing of a test session: short gaps, a quick reconnect.
inline session::SessionOptions quickSession(const std::filesystem::path& stateBase,
                                            const std::filesystem::path& workingFolder)
{
    session::SessionOptions options;
    options.stateBase = stateBase;
    options.workingFolder = workingFolder;
    options.reconnect = {true, std::chrono::milliseconds(20), std::chrono::milliseconds(80)};
    options.timing.gapBeforeRequest = std::chrono::milliseconds(1);
    options.timing.silenceLimit = 14;
    return options;
}

} // namespace grafimo::test
