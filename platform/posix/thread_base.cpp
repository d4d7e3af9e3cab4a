#include "grafimo/platform/thread_base.h"

#include <pthread.h>
#include <time.h>

namespace {

// Negative when the clock cannot be read.
std::chrono::nanoseconds clockTime(clockid_t clock)
{
    timespec ts{};
    if (::clock_gettime(clock, &ts) != 0)
        return std::chrono::nanoseconds(-1);
    return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

} // namespace

namespace grafimo::platform {

TThread::~TThread() { stopAndWait(); }

void TThread::Start()
{
    std::lock_guard join(joinMutex_);
    {
        std::lock_guard lock(mutex_);
        if (started_)
            return;
        started_ = true;
    }
    try {
        thread_ = std::thread([this] { run(); });
    } catch (...) {
        std::lock_guard lock(mutex_);
        finished_ = true;
        cv_.notify_all();
        throw;
    }
}

void TThread::run()
{
    // Shown by top, ps and the benches' per-thread figures (at most 15 characters).
    if (const char* name = threadName())
        ::pthread_setname_np(::pthread_self(), name);
    std::exception_ptr failure;
    try {
        Execute();
    } catch (...) {
        failure = std::current_exception();
    }
    const auto cpu = clockTime(CLOCK_THREAD_CPUTIME_ID);
    {
        std::lock_guard lock(mutex_);
        failure_ = failure;
        finalCpuTime_ = cpu;
        finished_ = true;
        parked_ = false;
        cv_.notify_all();
    }
    if (failure && onFailure_) {
        try {
            onFailure_(failure);
        } catch (...) {
            // The report could not be made; failure() still tells.
        }
    }
}

void TThread::setOnFailure(std::function<void(std::exception_ptr)> onFailure)
{
    std::lock_guard lock(mutex_);
    if (!started_)
        onFailure_ = std::move(onFailure);
}

void TThread::Terminate()
{
    {
        // Under the lock so a thread about to park cannot miss it.
        std::lock_guard lock(mutex_);
        terminated_.store(true);
    }
    cv_.notify_all();
    onTerminate();
}

void TThread::Suspend()
{
    {
        std::lock_guard lock(mutex_);
        suspendRequested_ = true;
    }
    onSuspend();
}

void TThread::Resume()
{
    {
        std::lock_guard lock(mutex_);
        suspendRequested_ = false;
    }
    cv_.notify_all();
}

bool TThread::Suspended() const
{
    std::lock_guard lock(mutex_);
    return suspendRequested_;
}

bool TThread::isParked() const
{
    std::lock_guard lock(mutex_);
    return parked_;
}

bool TThread::waitParked(std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, timeout, [&] { return parked_ || finished_; });
    return parked_;
}

bool TThread::safePoint()
{
    std::unique_lock lock(mutex_);
    if (suspendRequested_ && !terminated_.load()) {
        parked_ = true;
        cv_.notify_all();
        cv_.wait(lock, [&] { return !suspendRequested_ || terminated_.load(); });
        parked_ = false;
    }
    return !terminated_.load();
}

void TThread::WaitFor()
{
    std::lock_guard join(joinMutex_);
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id())
        thread_.join();
}

bool TThread::WaitFor(std::chrono::milliseconds timeout)
{
    {
        std::unique_lock lock(mutex_);
        if (!started_)
            return true;
        if (!cv_.wait_for(lock, timeout, [&] { return finished_; }))
            return false;
    }
    WaitFor();
    return true;
}

void TThread::stopAndWait()
{
    Terminate();
    WaitFor();
}

bool TThread::Finished() const
{
    std::lock_guard lock(mutex_);
    return finished_;
}

std::exception_ptr TThread::failure() const
{
    std::lock_guard lock(mutex_);
    return failure_;
}

std::chrono::nanoseconds TThread::cpuTime() const
{
    // Held so the thread cannot be joined (its clock freed) while we read it.
    std::lock_guard join(joinMutex_);
    {
        std::lock_guard lock(mutex_);
        if (finished_ || !started_)
            return finalCpuTime_;
    }
    clockid_t clock{};
    if (thread_.joinable()
        && ::pthread_getcpuclockid(const_cast<std::thread&>(thread_).native_handle(), &clock) == 0) {
        const auto cpu = clockTime(clock);
        if (cpu.count() >= 0)
            return cpu;
    }
    // It has just ended; its own last reading is in place by now.
    std::lock_guard lock(mutex_);
    return finalCpuTime_;
}

} // namespace grafimo::platform
