#include "Readthread.h"

#include <algorithm>
#include <array>

namespace grafimo {

namespace {
// A descriptor that keeps saying "readable" but yields nothing this many times in a row
// belongs to a device that is gone.
constexpr int EmptyReadsBeforeLost = 3;
} // namespace

ReadThread::ReadThread(platform::SerialPort& port, Link& link, std::function<void()> onLost)
    : port_(port), link_(link), onLost_(std::move(onLost))
{
}

ReadThread::~ReadThread() { stopAndWait(); }

void ReadThread::onTerminate()
{
    link_.wakeAll();
    port_.interruptWait();
}

void ReadThread::onSuspend() { port_.interruptWait(); }

void ReadThread::Execute()
{
    std::array<std::uint8_t, RxBufferSize> chunk{};
    int emptyReads = 0;
    auto lost = [&] {
        if (onLost_)
            onLost_();
    };

    while (safePoint()) {
        // A full buffer is emptied only by the next reset; until then the bytes stay
        // queued in the driver and we sleep rather than poll a readable descriptor.
        if (link_.rxRoom() == 0) {
            link_.waitForRoom(terminatedFlag());
            continue;
        }

        switch (port_.waitReadable()) {
        case platform::SerialPort::Wait::Closed:
            return;
        case platform::SerialPort::Wait::Lost:
            lost();
            return;
        case platform::SerialPort::Wait::Interrupted:
            continue;
        case platform::SerialPort::Wait::Data:
            break;
        }

        // A pause asked for while we slept leaves the new bytes in the driver's queue.
        if (!safePoint())
            return;

        const std::size_t room = link_.rxRoom();
        if (room == 0)
            continue;
        // FIONREAD may lag behind poll(); try at least one byte.
        const std::size_t wanted = std::min(std::max<std::size_t>(port_.bytesQueued(), 1), room);
        const long got = port_.read(chunk.data(), wanted);
        if (got < 0) {
            if (port_.isOpen() || port_.isLost())
                lost();
            return;
        }
        if (got == 0) {
            if (++emptyReads >= EmptyReadsBeforeLost) {
                lost();
                return;
            }
            continue;
        }
        emptyReads = 0;
        link_.storeChunk(std::span<const std::uint8_t>(chunk.data(), static_cast<std::size_t>(got)));
        const std::size_t missing = link_.bytesMissing();
        if (missing == 0)
            continue;
        switch (port_.pauseFor(static_cast<long>(missing) * CharTime)) {
        case platform::SerialPort::Wait::Closed:
            return;
        case platform::SerialPort::Wait::Lost:
            lost();
            return;
        default:
            break;
        }
    }
}

} // namespace grafimo
