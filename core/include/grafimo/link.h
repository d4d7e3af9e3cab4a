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

    // RxCount := 0 and the silence count restarts; bytes stored before are dropped.
    void resetRx();
    // Returns once limitMs milliseconds have passed without a stored chunk, counted from
    // the last chunk or, when nothing came, from the reset. A wakeAll() ends it early.
    void waitSilence(unsigned limitMs);
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

private:
    mutable std::mutex mutex_;
    std::condition_variable roomCv_;      // reader waiting for a reset
    std::condition_variable silenceCv_;   // sender waiting for silence (only woken by wakeAll)
    mutable std::condition_variable stateCv_; // observers of count and resets
    std::array<std::uint8_t, RxBufferSize> RxBuffer_{};
    std::size_t RxCount_ = 0;
    Clock::time_point lastActivity_;
    std::uint64_t resets_ = 0;
    std::uint64_t wakeGeneration_ = 0;
};

// What a sender writes its frame to (the serial port, or a stand-in in tests).
struct FrameWriter {
    virtual ~FrameWriter() = default;
    virtual void writeFrame(std::span<const std::uint8_t> frame) = 0;
};

// One exchange as every sender makes it: message + CRC into TxBuffer, TxBuffer[255] :=
// length, write, afterWrite (the poll cycle shows the sent frame there), reset the
// receive count, wait for limit ms of silence, and return the received bytes (empty =
// no answer). The answer's CRC is left to the caller. Throws std::length_error for a
// message longer than MaxMessageSize.
std::vector<std::uint8_t> exchange(
    Link& link, FrameWriter& writer, std::span<const std::uint8_t> message,
    unsigned silenceLimit,
    const std::function<void(std::span<const std::uint8_t> sent)>& afterWrite = {});

} // namespace grafimo
