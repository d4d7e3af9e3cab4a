#include "grafimo/link.h"

#include "grafimo/crc16.h"

#include <algorithm>
#include <stdexcept>

namespace grafimo {

Link::Link() : lastActivity_(Clock::now()) {}

std::size_t Link::rxRoom() const
{
    std::lock_guard lock(mutex_);
    return RxBufferSize - RxCount_;
}

std::size_t Link::storeChunk(std::span<const std::uint8_t> chunk)
{
    if (chunk.empty())
        return 0;
    std::size_t taken = 0;
    {
        std::lock_guard lock(mutex_);
        taken = std::min(chunk.size(), RxBufferSize - RxCount_);
        std::copy_n(chunk.begin(), taken, RxBuffer_.begin() + static_cast<std::ptrdiff_t>(RxCount_));
        RxCount_ += taken;
        lastActivity_ = Clock::now();
    }
    // The silence waiter needs no wake-up: its deadline only moves later, and it
    // recomputes it when its current one passes.
    stateCv_.notify_all();
    return taken;
}

bool Link::waitForRoom(const std::atomic<bool>& stop)
{
    std::unique_lock lock(mutex_);
    const std::uint64_t generation = wakeGeneration_;
    roomCv_.wait(lock, [&] {
        return RxCount_ < RxBufferSize || stop.load() || wakeGeneration_ != generation;
    });
    return RxCount_ < RxBufferSize;
}

void Link::resetRx()
{
    {
        std::lock_guard lock(mutex_);
        RxCount_ = 0;
        lastActivity_ = Clock::now();
        ++resets_;
    }
    roomCv_.notify_all();
    stateCv_.notify_all();
}

void Link::waitSilence(unsigned limitMs)
{
    const auto limit = std::chrono::milliseconds(limitMs);
    std::unique_lock lock(mutex_);
    const std::uint64_t generation = wakeGeneration_;
    for (;;) {
        const auto deadline = lastActivity_ + limit;
        if (Clock::now() >= deadline || wakeGeneration_ != generation)
            return;
        silenceCv_.wait_until(lock, deadline);
    }
}

std::size_t Link::rxCount() const
{
    std::lock_guard lock(mutex_);
    return RxCount_;
}

std::vector<std::uint8_t> Link::rxBytes() const
{
    std::lock_guard lock(mutex_);
    return {RxBuffer_.begin(), RxBuffer_.begin() + static_cast<std::ptrdiff_t>(RxCount_)};
}

unsigned Link::rxIdleTicks() const
{
    std::lock_guard lock(mutex_);
    const auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - lastActivity_);
    return static_cast<unsigned>(std::clamp<std::chrono::milliseconds::rep>(idle.count(), 0, 255));
}

void Link::wakeAll()
{
    {
        std::lock_guard lock(mutex_);
        ++wakeGeneration_;
    }
    roomCv_.notify_all();
    silenceCv_.notify_all();
    stateCv_.notify_all();
}

Link::Clock::time_point Link::lastActivity() const
{
    std::lock_guard lock(mutex_);
    return lastActivity_;
}

std::uint64_t Link::resets() const
{
    std::lock_guard lock(mutex_);
    return resets_;
}

bool Link::waitForCount(std::size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(mutex_);
    return stateCv_.wait_for(lock, timeout, [&] { return RxCount_ >= count; });
}

bool Link::waitForResets(std::uint64_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(mutex_);
    return stateCv_.wait_for(lock, timeout, [&] { return resets_ >= count; });
}

std::vector<std::uint8_t> exchange(
    Link& link, FrameWriter& writer, std::span<const std::uint8_t> message,
    unsigned silenceLimit,
    const std::function<void(std::span<const std::uint8_t> sent)>& afterWrite)
{
    if (message.size() > MaxMessageSize)
        throw std::length_error("message does not fit the transmit buffer");

    auto& tx = link.TxBuffer;
    const std::size_t n = message.size();
    std::copy(message.begin(), message.end(), tx.begin());
    const Crc crc = crc16Bytes(std::span<const std::uint8_t>(tx.data(), n));
    tx[n] = crc.CrcLo;
    tx[n + 1] = crc.CrcHi;
    tx[TxLengthIndex] = static_cast<std::uint8_t>(n + 2);

    const std::span<const std::uint8_t> frame(tx.data(), tx[TxLengthIndex]);
    writer.writeFrame(frame);
    if (afterWrite)
        afterWrite(frame);
    link.resetRx();
    link.waitSilence(silenceLimit);
    return link.rxBytes();
}

} // namespace grafimo
