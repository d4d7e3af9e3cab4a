#pragma once
// The link state shared by the receive thread and the one sender of the moment:
// the transmit buffer, the receive buffer with its count, and the silence measure.

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace grafimo {

// A frame always starts at RxBuffer[0]; the count is an 8-bit number on the wire side,
// so the buffer holds 255 bytes and never more.
inline constexpr std::size_t RxBufferSize = 255;
// TxBuffer[TxLengthIndex] holds the number of bytes to send.
inline constexpr std::size_t TxLengthIndex = 255;
// The longest message that still leaves room for its two CRC bytes in TxBuffer[0..254].
inline constexpr std::size_t MaxMessageSize = 253;

// The devices were made for a master whose wait tick was 1/64 s: a limit of N ticks gave a
// device N x 15.625 ms to start its answer. The end of an answer is still N ms of silence.
inline constexpr std::chrono::microseconds LegacyTick{15625};

// How long a sender waits for an answer: `deadline` for its first byte, counted from the end
// of the request, and then `silenceMs` of silence after the last received chunk.
struct AnswerWait {
    std::chrono::microseconds deadline;
    unsigned silenceMs;

    // The full deadline of a silence limit: 781 ms for 50, 469 ms for 30, 219 ms for 14.
    static constexpr AnswerWait full(unsigned silenceLimit)
    {
        return {silenceLimit * LegacyTick, silenceLimit};
    }
    // The first byte must come within the silence limit itself.
    static constexpr AnswerWait brief(unsigned silenceLimit)
    {
        return {std::chrono::milliseconds(silenceLimit), silenceLimit};
    }
};

// Which wait each device's next request gets. A device that has missed MissesBeforeBrief
// answers in a row gets the brief wait, so a dead device does not slow the bus down; every
// FullEvery-th of those requests still gets the full deadline, and its first answer (of any
// content) gives it the full deadline again. Used by one sender at a time.
class AnswerWaits {
public:
    static constexpr unsigned MissesBeforeBrief = 3;
    static constexpr unsigned FullEvery = 10;

    AnswerWait next(std::uint8_t address, unsigned silenceLimit) const;
    void record(std::uint8_t address, bool answered);

private:
    std::array<std::uint8_t, 256> misses_{};    // up to MissesBeforeBrief
    std::array<std::uint8_t, 256> briefTurn_{}; // 0 .. FullEvery - 1 once the misses are reached
};

class Link {
public:
    using Clock = std::chrono::steady_clock;

    Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // Only the one current sender touches it: senders take turns (the poll thread is
    // paused while anyone else talks to a device), so it needs no lock of its own.
    std::array<std::uint8_t, 256> TxBuffer{};

    // ---- receive side (the receive thread) ----

    // Room left in RxBuffer before the next reset.
    std::size_t rxRoom() const;
    // Appends at RxCount, never past the end of RxBuffer; returns how many bytes were
    // taken. Restarts the silence count even when the buffer is full.
    std::size_t storeChunk(std::span<const std::uint8_t> chunk);
    // Sleeps while RxBuffer is full. Returns true when there is room, false when it
    // gave up because `stop` is set or wakeAll() was called.
    bool waitForRoom(const std::atomic<bool>& stop);

    // ---- sender side ----

    // Waits until the line has been quiet for quietMs: bytes that came after the last
    // exchange ended belong to a late answer, and a request sent into it would collide with
    // it. Gives up after `bound` (a babbling line) or on wakeAll(). Free when the line is quiet.
    // `since` is a wakeups() value: a wakeAll() after it counts (default: from the call on).
    // False when a wakeAll() ended it.
    bool waitQuiet(unsigned quietMs, std::chrono::microseconds bound,
                   std::optional<std::uint64_t> since = std::nullopt);
    // RxCount := 0 and the silence count restarts; bytes stored before are dropped. With
    // quietMs, a burst still running on the line (a chunk less than quietMs ago) began before
    // the request was out, so it is no answer to it: its chunks are dropped until a gap of
    // quietMs. Not so when the bytes stored from RxBuffer[sentFrom] on are the request
    // itself, `sent`, as an adapter that hears its own transmission gives them back.
    void resetRx(unsigned quietMs = 0, std::span<const std::uint8_t> sent = {}, std::size_t sentFrom = 0);
    // Returns once limitMs milliseconds have passed without a stored chunk, counted from
    // the last chunk or, when nothing came, from the reset. A wakeAll() ends it early.
    void waitSilence(unsigned limitMs);

    struct Answer {
        std::vector<std::uint8_t> bytes; // empty: no answer
        // From the reset to the first stored chunk; empty without an answer.
        std::optional<std::chrono::microseconds> responseTime;
        bool interrupted = false;        // wakeAll() ended the wait
    };
    // The answer after a reset: its first byte must come within wait.deadline of the reset,
    // then it ends after wait.silenceMs without a chunk. Bytes stored after it has returned
    // belong to no exchange and go with the next reset.
    Answer waitAnswer(const AnswerWait& wait, std::optional<std::uint64_t> since = std::nullopt);
    // Number of wakeAll() calls so far.
    std::uint64_t wakeups() const;
    std::size_t rxCount() const;
    // Copy of RxBuffer[0..RxCount).
    std::vector<std::uint8_t> rxBytes() const;
    // Whole milliseconds since the last chunk or reset, saturating at 255.
    unsigned rxIdleTicks() const;
    // Wakes every waiter of this object (reader waiting for room, sender waiting for
    // silence); used when a thread is asked to end.
    void wakeAll();

    // ---- observation (monitoring, tests, figures) ----

    // Time of the last stored chunk or reset.
    Clock::time_point lastActivity() const;
    // Number of resets so far; lets an observer tell one exchange from the next.
    std::uint64_t resets() const;
    // Waits until RxCount >= count; false on time-out.
    bool waitForCount(std::size_t count, std::chrono::milliseconds timeout) const;
    // Waits until at least `count` resets have happened; false on time-out.
    bool waitForResets(std::uint64_t count, std::chrono::milliseconds timeout) const;
    // Bytes dropped as part of a burst that began before a request was out.
    std::uint64_t droppedBytes() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable roomCv_;      // reader waiting for a reset
    std::condition_variable silenceCv_;   // sender waiting (woken by an answer's first chunk and wakeAll)
    mutable std::condition_variable stateCv_; // observers of count and resets
    std::array<std::uint8_t, RxBufferSize> RxBuffer_{};
    std::size_t RxCount_ = 0;
    Clock::time_point lastActivity_;
    Clock::time_point lastLineChunk_{};  // last chunk seen, stored or dropped
    Clock::time_point resetAt_{};
    std::optional<Clock::time_point> firstChunkAt_; // since the last reset
    Clock::duration dropGap_{};          // non-zero while a burst is being dropped
    std::uint64_t droppedBytes_ = 0;
    std::uint64_t resets_ = 0;
    std::uint64_t wakeGeneration_ = 0;
};

// What a sender writes its frame to (the serial port, or a stand-in in tests).
struct FrameWriter {
    virtual ~FrameWriter() = default;
    virtual void writeFrame(std::span<const std::uint8_t> frame) = 0;
};

// One exchange as every sender makes it: message + CRC into TxBuffer, TxBuffer[255] :=
// length, wait for a quiet line, write, afterWrite (the poll cycle shows the sent frame
// there), reset the receive count, wait for the answer, and return it (empty bytes = no
// answer). The answer's CRC is left to the caller. Throws std::length_error for a message
// longer than MaxMessageSize.
Link::Answer exchange(
    Link& link, FrameWriter& writer, std::span<const std::uint8_t> message, const AnswerWait& wait,
    const std::function<void(std::span<const std::uint8_t> sent)>& afterWrite = {});
// The same with the full deadline of the silence limit; the received bytes only.
std::vector<std::uint8_t> exchange(
    Link& link, FrameWriter& writer, std::span<const std::uint8_t> message,
    unsigned silenceLimit,
    const std::function<void(std::span<const std::uint8_t> sent)>& afterWrite = {});

} // namespace grafimo
