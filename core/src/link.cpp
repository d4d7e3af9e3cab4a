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

// ---- AnswerWaits ----

AnswerWait AnswerWaits::next(std::uint8_t address, unsigned silenceLimit) const
{
    if (misses_[address] < MissesBeforeBrief || briefTurn_[address] == FullEvery - 1)
        return AnswerWait::full(silenceLimit);
    return AnswerWait::brief(silenceLimit);
}

void AnswerWaits::record(std::uint8_t address, bool answered)
{
    if (answered) {
        misses_[address] = 0;
        briefTurn_[address] = 0;
    } else if (misses_[address] < MissesBeforeBrief) {
        ++misses_[address];
    } else {
        briefTurn_[address] = static_cast<std::uint8_t>((briefTurn_[address] + 1) % FullEvery);
    }
}

// ---- Link ----

std::size_t Link::storeChunk(std::span<const std::uint8_t> chunk)
{
    if (chunk.empty())
        return 0;
    std::size_t taken = 0;
    bool first = false;
    {
        std::lock_guard lock(mutex_);
        const auto now = Clock::now();
        if (dropGap_ != Clock::duration::zero()) {
            if (now - lastLineChunk_ < dropGap_) {
                // Still the burst that was running when the request went out.
                lastLineChunk_ = now;
                droppedBytes_ += chunk.size();
                return chunk.size();
            }
            dropGap_ = Clock::duration::zero();
        }
        lastLineChunk_ = now;
        taken = std::min(chunk.size(), RxBufferSize - RxCount_);
        std::copy_n(chunk.begin(), taken, RxBuffer_.begin() + static_cast<std::ptrdiff_t>(RxCount_));
        RxCount_ += taken;
        lastActivity_ = now;
        if (taken != 0 && !firstChunkAt_) {
            firstChunkAt_ = now;
            first = true;
        }
    }
    // A sender waiting for the first byte switches to the silence wait. Later chunks need
    // no wake-up: the silence deadline only moves later, and the waiter recomputes it when
    // its current one passes.
    if (first)
        silenceCv_.notify_all();
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

bool Link::waitQuiet(unsigned quietMs, std::chrono::microseconds bound, std::optional<std::uint64_t> since)
{
    const auto quiet = std::chrono::milliseconds(quietMs);
    std::unique_lock lock(mutex_);
    const std::uint64_t generation = since.value_or(wakeGeneration_);
    const auto giveUp = Clock::now() + bound;
    for (;;) {
        if (wakeGeneration_ != generation)
            return false;
        const auto until = std::min(lastLineChunk_ + quiet, giveUp);
        if (Clock::now() >= until)
            return true;
        silenceCv_.wait_until(lock, until);
    }
}

std::uint64_t Link::wakeups() const
{
    std::lock_guard lock(mutex_);
    return wakeGeneration_;
}

void Link::resetRx(unsigned quietMs, std::span<const std::uint8_t> sent, std::size_t sentFrom)
{
    {
        std::lock_guard lock(mutex_);
        const auto now = Clock::now();
        const bool echo = !sent.empty() && sentFrom < RxCount_ && RxCount_ - sentFrom <= sent.size()
                          && std::equal(RxBuffer_.begin() + static_cast<std::ptrdiff_t>(sentFrom),
                                        RxBuffer_.begin() + static_cast<std::ptrdiff_t>(RxCount_), sent.begin());
        if (echo)
            quietMs = 0;
        RxCount_ = 0;
        lastActivity_ = now;
        resetAt_ = now;
        firstChunkAt_.reset();
        const auto quiet = std::chrono::duration_cast<Clock::duration>(std::chrono::milliseconds(quietMs));
        dropGap_ = quietMs != 0 && now - lastLineChunk_ < quiet ? quiet : Clock::duration::zero();
        ++resets_;
    }
    roomCv_.notify_all();
    stateCv_.notify_all();
}

Link::Answer Link::waitAnswer(const AnswerWait& wait, std::optional<std::uint64_t> since)
{
    const auto silence = std::chrono::milliseconds(wait.silenceMs);
    std::unique_lock lock(mutex_);
    const std::uint64_t generation = since.value_or(wakeGeneration_);
    Answer answer;
    for (;;) {
        if (wakeGeneration_ != generation) {
            answer.interrupted = true;
            break;
        }
        const auto deadline = resetAt_ + wait.deadline;
        // A first chunk stored after the deadline (the waiter had not yet looked) is late.
        if (firstChunkAt_ && *firstChunkAt_ > deadline)
            break;
        const auto until = firstChunkAt_ ? lastActivity_ + silence : deadline;
        if (Clock::now() >= until)
            break;
        silenceCv_.wait_until(lock, until);
    }
    // Taken under the same lock as the last look at the clock: a chunk that comes after
    // the deadline is not part of this answer.
    if (firstChunkAt_ && *firstChunkAt_ <= resetAt_ + wait.deadline && RxCount_ != 0) {
        answer.bytes.assign(RxBuffer_.begin(), RxBuffer_.begin() + static_cast<std::ptrdiff_t>(RxCount_));
        answer.responseTime = std::chrono::duration_cast<std::chrono::microseconds>(*firstChunkAt_ - resetAt_);
    }
    return answer;
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

std::uint64_t Link::droppedBytes() const
{
    std::lock_guard lock(mutex_);
    return droppedBytes_;
}

bool Link::waitForResets(std::uint64_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(mutex_);
    return stateCv_.wait_for(lock, timeout, [&] { return resets_ >= count; });
}

Link::Answer exchange(
    Link& link, FrameWriter& writer, std::span<const std::uint8_t> message, const AnswerWait& wait,
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

    // A wakeAll() from here on (a thread asked to end) cuts the exchange short.
    const std::uint64_t since = link.wakeups();
    // A late answer to an earlier request that is still coming ends before this request
    // goes out; its bytes then go with the reset below.
    if (!link.waitQuiet(wait.silenceMs, wait.deadline, since)) {
        Link::Answer none;
        none.interrupted = true;
        return none;
    }
    const std::span<const std::uint8_t> frame(tx.data(), tx[TxLengthIndex]);
    const std::size_t beforeWrite = link.rxCount();
    writer.writeFrame(frame);
    if (afterWrite)
        afterWrite(frame);
    link.resetRx(wait.silenceMs, frame, beforeWrite);
    return link.waitAnswer(wait, since);
}

std::vector<std::uint8_t> exchange(
    Link& link, FrameWriter& writer, std::span<const std::uint8_t> message,
    unsigned silenceLimit,
    const std::function<void(std::span<const std::uint8_t> sent)>& afterWrite)
{
    return exchange(link, writer, message, AnswerWait::full(silenceLimit), afterWrite).bytes;
}

} // namespace grafimo
