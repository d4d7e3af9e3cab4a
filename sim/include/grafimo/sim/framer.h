#pragma once
// Cuts the received byte stream into request frames the way an RTU slave does: a frame ends
// when the length its function code implies has arrived with a valid CRC, and a pause of at
// least 3.5 character times ends whatever was collected.

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace grafimo::sim {

// One character at 9600 baud, 8N1: 10 bits.
inline constexpr std::chrono::nanoseconds kCharTime9600{1'041'667};
// 3.5 characters rounded up to a whole millisecond.
inline constexpr std::chrono::microseconds kFrameSilence{4000};
// No request is longer than a Modbus ADU.
inline constexpr std::size_t kMaxFrame = 256;

// Length of the request whose first bytes are `head`: a value when it is known from those
// bytes, none when the code has no fixed length or more bytes are needed to tell.
// `needMore` is set when a longer head would decide it (write-multiple carries its count).
std::optional<std::size_t> requestLength(std::span<const std::uint8_t> head, bool* needMore = nullptr) noexcept;

struct FramerEvent {
    enum class Kind : std::uint8_t { Frame, Dropped };
    Kind kind;
    std::vector<std::uint8_t> bytes;
};

class RequestFramer {
public:
    using Clock = std::chrono::steady_clock;

    explicit RequestFramer(Clock::duration silence = kFrameSilence) : silence_(silence) {}

    // Bytes that arrived together at `now`. Complete frames and dropped partials are appended
    // to `out` in the order they happened.
    void push(std::span<const std::uint8_t> bytes, Clock::time_point now, std::vector<FramerEvent>& out);

    // The line has been quiet up to `now`: ends the frame under way if the pause is long enough.
    void idle(Clock::time_point now, std::vector<FramerEvent>& out);

    // When `idle` should be called next; none while nothing is collected.
    std::optional<Clock::time_point> silenceDeadline() const;

    std::size_t pending() const noexcept { return buffer_.size(); }
    Clock::duration silence() const noexcept { return silence_; }
    void reset() noexcept;

private:
    void endFrame(std::vector<FramerEvent>& out);

    Clock::duration silence_;
    std::vector<std::uint8_t> buffer_;
    bool discarding_ = false;  // the collected bytes can no longer become a frame
    Clock::time_point lastByte_{};
};

}  // namespace grafimo::sim
