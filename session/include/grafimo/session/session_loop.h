#pragma once
// A small owner loop for a session without a toolkit (the headless recorder): tasks and
// timed tasks run in order on the thread that calls run().

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <utility>

#include "grafimo/session/bus_session.h"

namespace grafimo::session {

class SessionLoop final : public SessionExecutor {
public:
    void post(std::function<void()> task) override;
    void postAfter(std::chrono::milliseconds delay, std::function<void()> task) override;

    // Runs tasks until stop(); returns at once when stop() came first. The thread that
    // calls it is the owner of the sessions that use this loop.
    void run();
    // Runs the tasks that are due and waits up to `most` for more; false once stopped.
    bool runFor(std::chrono::milliseconds most);
    // Makes run() return after the task under way. Any thread (not a signal handler).
    void stop();
    bool stopped() const;

private:
    bool runDue(std::unique_lock<std::mutex>& lock);

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> ready_;
    // Timed tasks by due time; the counter keeps equal times in posting order.
    std::map<std::pair<std::chrono::steady_clock::time_point, std::uint64_t>, std::function<void()>> timed_;
    std::uint64_t sequence_ = 0;
    bool stop_ = false;
};

} // namespace grafimo::session
