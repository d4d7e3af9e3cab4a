#pragma once
// The receive thread: sleeps until bytes arrive on the port and appends them to the
// link's receive buffer, restarting the sender's silence count with every chunk.
// While paused it leaves arriving bytes in the driver's queue; they are taken after
// the resume. With the receive buffer full it sleeps until the sender's next reset (a
// pause asked for meanwhile takes effect then).
//
// While an answer of known length is awaited and bytes of it are still missing, it lets the
// line run for as long as those bytes take on the wire (1.04 ms each at 9600 baud) before
// it looks again: an answer arriving a character at a time is then taken in one or two
// chunks rather than one wake-up per character, and none of it is seen later than the
// wire could have brought it.

#include "grafimo/link.h"
#include "grafimo/platform/serial_port.h"
#include "grafimo/platform/thread_base.h"

#include <chrono>
#include <functional>

namespace grafimo {

class ReadThread : public platform::TThread {
public:
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
