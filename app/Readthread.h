#pragma once
// The receive thread: sleeps until bytes arrive on the port and appends them to the
// link's receive buffer, restarting the sender's silence count with every chunk.
// While paused it leaves arriving bytes in the driver's queue; they are taken after
// the resume. With the receive buffer full it sleeps until the sender's next reset (a
// pause asked for meanwhile takes effect then).
//
// After each chunk it lets the line run for GatherTime before it looks again, so an answer
// arriving a character at a time (a 9600-baud wire gives one every 1.04 ms) is taken in a
// few chunks rather than one wake-up per character. The silence count still restarts with
// every chunk; the last one is seen at most GatherTime late, far below the shortest silence
// limit (14 ms).

#include "grafimo/link.h"
#include "grafimo/platform/serial_port.h"
#include "grafimo/platform/thread_base.h"

#include <chrono>
#include <functional>

namespace grafimo {

class ReadThread : public platform::TThread {
public:
    static constexpr std::chrono::microseconds GatherTime{2000};

    // onLost is called once, on this thread, when the device goes away (hang-up, I/O
    // error); the thread then ends instead of spinning on a dead descriptor.
    ReadThread(platform::SerialPort& port, Link& link, std::function<void()> onLost = {});
    ~ReadThread() override;

protected:
    const char* threadName() const override { return "grafimo-rx"; }
    void Execute() override;
    // Both cut the wait on the port (or for room in the receive buffer) short, so the
    // thread reaches its end or its pause at once rather than with the next byte.
    void onTerminate() override;
    void onSuspend() override;

private:
    platform::SerialPort& port_;
    Link& link_;
    std::function<void()> onLost_;
};

} // namespace grafimo
