#pragma once
// SIGTERM, SIGINT and SIGHUP end the recorder in order: they are blocked in every thread
// and taken by one thread of their own, which hands each to a callback. Made before any
// other thread, so that every thread started later inherits the blocked set.

#include <atomic>
#include <functional>
#include <thread>

namespace grafimo::logger {

class TerminationSignals {
public:
    // `onSignal` runs on the signal thread with the signal's number; it must not block.
    explicit TerminationSignals(std::function<void(int)> onSignal);
    // Stops the signal thread; the signals stay blocked (the process is ending).
    ~TerminationSignals();
    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;

    // False when the signals could not be taken over (then the default action ends the
    // process, files and marker kept all the same).
    bool ok() const { return ok_; }
    // The first signal received, 0 while none came.
    int received() const { return received_.load(); }

private:
    void run();

    std::function<void(int)> onSignal_;
    int signalFd_ = -1;
    int wakeFd_ = -1;
    bool ok_ = false;
    std::atomic<int> received_{0};
    std::thread thread_;
};

} // namespace grafimo::logger
