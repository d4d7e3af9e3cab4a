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

AnswerWait AnswerWaits::next(std::uint8_t address, unsigned silenceLimit, std::size_t answerSize) const
{
    if (misses_[address] < MissesBeforeBrief || briefTurn_[address] == FullEvery - 1)
        return AnswerWait::full(silenceLimit, answerSize);
    return AnswerWait::brief(silenceLimit, answerSize);
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
    bool wake = false;
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
        if (taken != 0 && !firstChunkAt_)
            firstChunkAt_ = now;
        // The sender wakes when the answer is complete, or when no byte is missing any more
        // and silence may end it. Other chunks need no wake-up: its wait only moves later,
        // and it recomputes it when the current one passes.
        if (taken != 0 && awaiting_ && !complete_) {
            judgeLocked();
            if (!complete_ && !reachedNeeded_ && RxCount_ >= bytesNeeded())
                wake = reachedNeeded_ = true;
            wake = wake || complete_;
        }
    }
    if (wake)
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

void Link::resetRx(unsigned quietMs, std::span<const std::uint8_t> sent, std::size_t sentFrom,
                   std::size_t answerSize)
{
    {
        std::lock_guard lock(mutex_);
        const auto now = Clock::now();
        const bool echo = !sent.empty() && sentFrom < RxCount_ && RxCount_ - sentFrom <= sent.size()
                          && std::equal(RxBuffer_.begin() + static_cast<std::ptrdiff_t>(sentFrom),
                                        RxBuffer_.begin() + static_cast<std::ptrdiff_t>(RxCount_), sent.begin());
        if (echo)
            quietMs = 0;
        echoSeen_ = echoSeen_ || echo;
        sentSize_ = std::min(sent.size(), sent_.size());
        std::copy_n(sent.begin(), sentSize_, sent_.begin());
        echoFrom_ = echo ? RxCount_ - sentFrom : 0;
        answerSize_ = std::min(answerSize, RxBufferSize);
        // Only a standard function code has an exception answer: the devices' own codes have
        // bit 7 set already, so theirs could not be told from a normal answer.
        exceptionCode_ = answerSize_ != 0 && sentSize_ >= 2 && sent_[1] < 0x80 ? sent_[1] | 0x80 : 0;
        awaiting_ = true;
        complete_ = false;
        reachedNeeded_ = false;
        frameFrom_ = frameSize_ = 0;
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

// ---- the answer by its length ----

std::size_t Link::frameLength(std::size_t from) const
{
    const std::size_t have = RxCount_ - from;
    const auto crcOk = [&](std::size_t n) {
        const Crc crc = crc16Bytes(std::span<const std::uint8_t>(RxBuffer_.data() + from, n - 2));
        return RxBuffer_[from + n - 2] == crc.CrcLo && RxBuffer_[from + n - 1] == crc.CrcHi;
    };
    if (answerSize_ >= 2 && have >= answerSize_ && crcOk(answerSize_))
        return answerSize_;
    if (exceptionCode_ != 0 && have >= ExceptionAnswerSize && RxBuffer_[from + 1] == exceptionCode_
        && crcOk(ExceptionAnswerSize))
        return ExceptionAnswerSize;
    return 0;
}

std::size_t Link::echoLeadLength() const
{
    // What is left of the request's echo after the reset, when the bytes so far are (the
    // start of) it.
    const std::size_t echo = sentSize_ - echoFrom_;
    const std::size_t seen = std::min(echo, RxCount_);
    if (echo == 0 || seen == 0
        || !std::equal(RxBuffer_.begin(), RxBuffer_.begin() + static_cast<std::ptrdiff_t>(seen),
                       sent_.begin() + static_cast<std::ptrdiff_t>(echoFrom_)))
        return 0;
    return echo;
}

std::size_t Link::bytesNeeded() const
{
    if (answerSize_ == 0)
        return 0;
    return echoLeadLength() + answerSize_;
}

void Link::judgeLocked()
{
    if (answerSize_ == 0 || complete_)
        return;
    std::size_t from = 0;
    std::size_t size = frameLength(0);
    // A leading copy of the request is an adapter's echo only when a complete answer
    // follows it: an answer may well begin with the request's own bytes. A copy that is a
    // complete answer itself (an erase is confirmed with the request's own bytes) is taken
    // for one unless the line is known to echo; then only what follows it, or the deadline,
    // tells.
    const std::size_t lead = echoLeadLength();
    if (lead != 0 && RxCount_ >= lead && (size == 0 || (size == lead && echoSeen_))) {
        from = lead;
        size = RxCount_ > lead ? frameLength(lead) : 0;
        if (size != 0)
            echoSeen_ = true;
    }
    if (size != 0) {
        complete_ = true;
        frameFrom_ = from;
        frameSize_ = size;
    }
}

Link::Answer Link::waitAnswer(const AnswerWait& wait, std::optional<std::uint64_t> since)
{
    const auto silence = std::chrono::milliseconds(wait.silenceMs);
    std::unique_lock lock(mutex_);
    const std::uint64_t generation = since.value_or(wakeGeneration_);
    const auto deadline = resetAt_ + wait.deadline;
    Answer answer;
    for (;;) {
        if (wakeGeneration_ != generation) {
            answer.interrupted = true;
            break;
        }
        // A first chunk stored after the deadline (the waiter had not yet looked) is late.
        if (firstChunkAt_ && *firstChunkAt_ > deadline)
            break;
        if (complete_)
            break;
        auto until = deadline;
        if (firstChunkAt_) {
            until = lastActivity_ + silence;
            // A piece is not an answer: the rest may come after a gap longer than the
            // silence, up to the deadline.
            if (RxCount_ < bytesNeeded())
                until = std::max(until, deadline);
        }
        if (Clock::now() >= until)
            break;
        silenceCv_.wait_until(lock, until);
    }
    // Taken under the same lock as the last look at the clock: a chunk that comes after
    // the deadline is not part of this answer.
    if (firstChunkAt_ && *firstChunkAt_ <= deadline && RxCount_ != 0) {
        const auto begin = RxBuffer_.begin();
        answer.received.assign(begin, begin + static_cast<std::ptrdiff_t>(RxCount_));
        if (complete_ && !answer.interrupted) {
            answer.complete = true;
            answer.bytes.assign(begin + static_cast<std::ptrdiff_t>(frameFrom_),
                                begin + static_cast<std::ptrdiff_t>(frameFrom_ + frameSize_));
        } else {
            answer.bytes = answer.received;
        }
        answer.responseTime = std::chrono::duration_cast<std::chrono::microseconds>(*firstChunkAt_ - resetAt_);
    }
    awaiting_ = false;
    lastComplete_ = answer.complete;
    return answer;
}

Link::Clock::time_point Link::quietAt(unsigned silenceMs) const
{
    std::lock_guard lock(mutex_);
    return lastLineChunk_ + std::chrono::milliseconds(lastComplete_ ? FrameGapMs : silenceMs);
}

bool Link::lastAnswerComplete() const
{
    std::lock_guard lock(mutex_);
    return lastComplete_;
}

std::size_t Link::bytesMissing() const
{
    std::lock_guard lock(mutex_);
    if (!awaiting_ || complete_ || answerSize_ == 0)
        return 0;
    std::size_t needed = bytesNeeded();
    // An exception answer is shorter than the normal one.
    if (exceptionCode_ != 0 && RxCount_ >= 2 && RxBuffer_[1] == exceptionCode_)
        needed = ExceptionAnswerSize;
    return needed > RxCount_ ? needed - RxCount_ : 0;
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
    // goes out; its bytes then go with the reset below. After a complete answer the line
    // only needs the gap between frames.
    const unsigned quietMs = link.lastAnswerComplete() ? FrameGapMs : wait.silenceMs;
    if (!link.waitQuiet(quietMs, wait.deadline, since)) {
        Link::Answer none;
        none.interrupted = true;
        return none;
    }
    const std::span<const std::uint8_t> frame(tx.data(), tx[TxLengthIndex]);
    const std::size_t beforeWrite = link.rxCount();
    if (!writer.writeFrame(frame)) {
        // Nothing went out, so nothing can answer: not a miss but a port that is gone.
        Link::Answer none;
        none.writeFailed = true;
        return none;
    }
    if (afterWrite)
        afterWrite(frame);
    link.resetRx(quietMs, frame, beforeWrite, wait.answerSize);
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
