#pragma once
// Base of the worker threads (receive thread, poll thread, device-log transfer).
// The owner keeps the object alive and joins it; a pause takes effect only where the
// worker says it is safe (safePoint), never in the middle of an exchange.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

namespace grafimo::platform {

class TThread {
public:
    TThread() = default;
    // Terminates and joins. A subclass whose Execute uses its own members must call
    // stopAndWait() in its own destructor, before those members go away.
    virtual ~TThread();
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    // Starts Execute on a new thread; later calls do nothing.
    void Start();
    // Set before Start(): called on the thread, with the exception, when Execute ends by
    // one, so the owner learns that the work stopped (the call must not block).
    void setOnFailure(std::function<void(std::exception_ptr)> onFailure);
    // Asks Execute to end: sets the flag, wakes a parked thread and calls onTerminate()
    // so a subclass can wake whatever it blocks on.
    void Terminate();
    bool Terminated() const { return terminated_.load(); }

    // Requests a pause at the next safe point (the thread keeps running until then) and
    // calls onSuspend() so a subclass can cut a blocking wait short.
    void Suspend();
    void Resume();
    // The requested state, not whether the thread has reached its safe point yet.
    bool Suspended() const;
    // True while the thread sits at a safe point because of a Suspend().
    bool isParked() const;
    // Waits until the thread is parked; false when it did not park in time or has ended.
    bool waitParked(std::chrono::milliseconds timeout) const;

    // Joins the thread (returns at once if it never started or when called from itself).
    void WaitFor();
    // Waits until Execute has returned, at most `timeout`; joins and returns true if so.
    bool WaitFor(std::chrono::milliseconds timeout);
    // Terminate() + WaitFor().
    void stopAndWait();
    // Execute has returned.
    bool Finished() const;
    // The exception that ended Execute, if any.
    std::exception_ptr failure() const;
    // Processor time the thread has used so far (final figure once it has ended); lets a
    // test or a diagnostic tell a sleeping worker from a spinning one.
    std::chrono::nanoseconds cpuTime() const;

protected:
    virtual void Execute() = 0;
    // The name the thread runs under (15 characters at most); nullptr keeps the process's.
    virtual const char* threadName() const { return nullptr; }
    // Called by Terminate() on the terminating thread, after the flag is set.
    virtual void onTerminate() {}
    // Called by Suspend() on the pausing thread, after the request is recorded.
    virtual void onSuspend() {}
    // Called by Execute at the top of each pass: parks while a pause is requested and
    // returns false once the thread is to end (also when terminated while parked).
    bool safePoint();
    // The termination flag, for waits that take a stop condition.
    const std::atomic<bool>& terminatedFlag() const { return terminated_; }

private:
    void run();

    std::thread thread_;
    mutable std::mutex joinMutex_;
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    std::atomic<bool> terminated_{false};
    bool started_ = false;
    bool suspendRequested_ = false;
    bool parked_ = false;
    bool finished_ = false;
    std::exception_ptr failure_;
    std::function<void(std::exception_ptr)> onFailure_;
    std::chrono::nanoseconds finalCpuTime_{0};
};

// Pauses a thread (none: nothing) for as long as it lives; the resume comes however the
// holder's work ends, a throw included, so a fault never leaves the thread paused.
class SuspendGuard {
public:
    explicit SuspendGuard(TThread* thread) : thread_(thread)
    {
        if (thread_)
            thread_->Suspend();
    }
    ~SuspendGuard()
    {
        if (thread_)
            thread_->Resume();
    }
    SuspendGuard(const SuspendGuard&) = delete;
    SuspendGuard& operator=(const SuspendGuard&) = delete;

private:
    TThread* const thread_;
};

} // namespace grafimo::platform
