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

// After a complete answer the next request waits for this much quiet on the line only:
// 3.5 characters at 9600 baud (3.6 ms) with room for a slow transceiver.
inline constexpr unsigned FrameGapMs = 10;
// One character on the 9600-baud wire: start bit, 8 data bits, stop bit.
inline constexpr std::chrono::microseconds CharTime{1042};
// A Modbus exception answer: address, function code with bit 7 set, exception code, CRC.
inline constexpr std::size_t ExceptionAnswerSize = 5;

// How long a sender waits for an answer: `deadline` for its first byte, counted from the end
// of the request, and then `silenceMs` of silence after the last received chunk.
// With `answerSize`, the length of the request's normal answer, the answer is complete as
// soon as that many bytes (or an exception answer) make a frame with a valid CRC, and
// fewer bytes than that are only a piece: a gap between pieces does not end the wait before
// the deadline. 0: only silence ends an answer.
struct AnswerWait {
    std::chrono::microseconds deadline;
    unsigned silenceMs;
    std::size_t answerSize = 0;

    // The full deadline of a silence limit: 781 ms for 50, 469 ms for 30, 219 ms for 14.
    static constexpr AnswerWait full(unsigned silenceLimit, std::size_t answerSize = 0)
    {
        return {silenceLimit * LegacyTick, silenceLimit, answerSize};
    }
    // The first byte must come within the silence limit itself.
    static constexpr AnswerWait brief(unsigned silenceLimit, std::size_t answerSize = 0)
    {
        return {std::chrono::milliseconds(silenceLimit), silenceLimit, answerSize};
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

    AnswerWait next(std::uint8_t address, unsigned silenceLimit, std::size_t answerSize = 0) const;
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
    // answerSize: the length of the normal answer to `sent` (see AnswerWait); the rest of
    // an echo of `sent` that is still to come may then lead the answer.
    void resetRx(unsigned quietMs = 0, std::span<const std::uint8_t> sent = {}, std::size_t sentFrom = 0,
                 std::size_t answerSize = 0);
    // Returns once limitMs milliseconds have passed without a stored chunk, counted from
    // the last chunk or, when nothing came, from the reset. A wakeAll() ends it early.
    void waitSilence(unsigned limitMs);

    struct Answer {
        // The answer: the complete frame when there is one, else every byte received.
        // Empty: no answer.
        std::vector<std::uint8_t> bytes;
        // Every byte received for the request (an echo and bytes after a complete frame
        // included): what the poll monitor shows.
        std::vector<std::uint8_t> received;
        // From the reset to the first stored chunk; empty without an answer.
        std::optional<std::chrono::microseconds> responseTime;
        bool complete = false;           // ended on a whole frame of the expected length
        bool interrupted = false;        // wakeAll() ended the wait
        bool writeFailed = false;        // the request never went out: the port is gone
    };
    // The answer after a reset: its first byte must come within wait.deadline of the reset,
    // then it ends on a complete frame (answerSize of the reset), or after wait.silenceMs
    // without a chunk once no more is missing, or at the deadline while only a piece has
    // come. Bytes stored after it has returned belong to no exchange and go with the next
    // reset.
    Answer waitAnswer(const AnswerWait& wait, std::optional<std::uint64_t> since = std::nullopt);
    // When the line will have been quiet long enough for the next request: FrameGapMs after
    // the last chunk when the last answer was complete, otherwise silenceMs.
    Clock::time_point quietAt(unsigned silenceMs) const;
    bool lastAnswerComplete() const;
    // For the receive thread: bytes still missing from the least that would complete the
    // answer now awaited; 0 when no answer is awaited, it is complete, or its length is
    // unknown. They cannot all be there sooner than that many characters on the wire.
    std::size_t bytesMissing() const;
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

    // The answer awaited since the last reset (answerSize_ 0: its length is unknown).
    std::size_t frameLength(std::size_t from) const;
    std::size_t echoLeadLength() const;
    std::size_t bytesNeeded() const;
    void judgeLocked();
    std::array<std::uint8_t, 256> sent_{};
    std::size_t sentSize_ = 0;
    std::size_t echoFrom_ = 0;          // bytes of the request given back before the reset
    std::size_t answerSize_ = 0;
    std::uint8_t exceptionCode_ = 0;    // 0: the request's code has no exception answer
    bool awaiting_ = false;             // from the reset until waitAnswer() returns
    bool complete_ = false;
    bool reachedNeeded_ = false;        // the waiter was told that no byte is missing
    std::size_t frameFrom_ = 0, frameSize_ = 0;
    bool lastComplete_ = false;
    bool echoSeen_ = false;             // the line has given a request back
};

// What a sender writes its frame to (the serial port, or a stand-in in tests).
// False: the frame could not be written, the port is gone.
struct FrameWriter {
    virtual ~FrameWriter() = default;
    virtual bool writeFrame(std::span<const std::uint8_t> frame) = 0;
};

// One exchange as every sender makes it: message + CRC into TxBuffer, TxBuffer[255] :=
// length, wait for a quiet line, write, afterWrite (the poll cycle shows the sent frame
// there), reset the receive count, wait for the answer, and return it (empty bytes = no
// answer). A write that fails ends it at once (writeFailed). The answer's CRC is left to
// the caller. Throws std::length_error for a message longer than MaxMessageSize.
Link::Answer exchange(
    Link& link, FrameWriter& writer, std::span<const std::uint8_t> message, const AnswerWait& wait,
    const std::function<void(std::span<const std::uint8_t> sent)>& afterWrite = {});
// The same with the full deadline of the silence limit; the received bytes only.
std::vector<std::uint8_t> exchange(
    Link& link, FrameWriter& writer, std::span<const std::uint8_t> message,
    unsigned silenceLimit,
    const std::function<void(std::span<const std::uint8_t> sent)>& afterWrite = {});

} // namespace grafimo
