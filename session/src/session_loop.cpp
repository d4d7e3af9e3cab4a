#include "grafimo/session/session_loop.h"

namespace grafimo::session {

void SessionLoop::post(std::function<void()> task)
{
    {
        std::lock_guard lock(mutex_);
        ready_.push_back(std::move(task));
    }
    cv_.notify_one();
}

void SessionLoop::postAfter(std::chrono::milliseconds delay, std::function<void()> task)
{
    {
        std::lock_guard lock(mutex_);
        timed_.emplace(std::make_pair(std::chrono::steady_clock::now() + delay, sequence_++), std::move(task));
    }
    cv_.notify_one();
}

bool SessionLoop::runDue(std::unique_lock<std::mutex>& lock)
{
    // Timed tasks that are due join the ready ones, in due order.
    const auto now = std::chrono::steady_clock::now();
    while (!timed_.empty() && timed_.begin()->first.first <= now) {
        ready_.push_back(std::move(timed_.begin()->second));
        timed_.erase(timed_.begin());
    }
    bool ran = false;
    while (!stop_ && !ready_.empty()) {
        std::function<void()> task = std::move(ready_.front());
        ready_.pop_front();
        lock.unlock();
        task();
        lock.lock();
        ran = true;
    }
    return ran;
}

bool SessionLoop::runFor(std::chrono::milliseconds most)
{
    const auto until = std::chrono::steady_clock::now() + most;
    std::unique_lock lock(mutex_);
    while (!stop_) {
        runDue(lock);
        if (stop_)
            break;
        auto wake = until;
        if (!timed_.empty() && timed_.begin()->first.first < wake)
            wake = timed_.begin()->first.first;
        if (std::chrono::steady_clock::now() >= until)
            break;
        // Woken by any post (the lock is held from the check to the wait, so none is
        // missed), including a timed one due earlier than `wake`.
        if (ready_.empty())
            cv_.wait_until(lock, wake);
    }
    return !stop_;
}

void SessionLoop::run()
{
    std::unique_lock lock(mutex_);
    while (!stop_) {
        runDue(lock);
        if (stop_)
            break;
        if (!ready_.empty())
            continue;
        if (timed_.empty())
            cv_.wait(lock);
        else
            cv_.wait_until(lock, timed_.begin()->first.first);
    }
}

void SessionLoop::stop()
{
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    cv_.notify_all();
}

bool SessionLoop::stopped() const
{
    std::lock_guard lock(mutex_);
    return stop_;
}

} // namespace grafimo::session
