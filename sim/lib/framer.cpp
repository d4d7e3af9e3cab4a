#include "grafimo/sim/framer.h"

#include "grafimo/sim/model.h"

namespace grafimo::sim {

std::optional<std::size_t> requestLength(std::span<const std::uint8_t> head, bool* needMore) noexcept
{
    if (needMore)
        *needMore = false;
    if (head.size() < 2)
        return std::nullopt;
    switch (head[1]) {
    case 0x01: case 0x02: case 0x03: case 0x04: case 0x05: case 0x06:
        return 8;
    case 0x0F: case 0x10:
        // address, code, start (2), quantity (2), byte count, data, CRC
        if (head.size() < 7) {
            if (needMore)
                *needMore = true;
            return std::nullopt;
        }
        return 9 + std::size_t{head[6]};
    case 0xA0: case 0xA3:
        return 6;
    case 0xA1: case 0xA2: case 0xA4: case 0xA5:
        return 4;
    case 0xA7:
        return 5;
    default:
        return std::nullopt;
    }
}

void RequestFramer::push(std::span<const std::uint8_t> bytes, Clock::time_point now,
                         std::vector<FramerEvent>& out)
{
    if (bytes.empty())
        return;
    idle(now, out);
    for (std::uint8_t b : bytes) {
        if (buffer_.size() >= kMaxFrame) {
            discarding_ = true;  // keep only the start for the trace; the rest is lost anyway
            continue;
        }
        buffer_.push_back(b);
        if (discarding_)
            continue;
        const auto len = requestLength(buffer_);
        if (!len || buffer_.size() < *len)
            continue;
        if (crcValid(buffer_)) {
            out.push_back({FramerEvent::Kind::Frame, std::move(buffer_)});
            buffer_.clear();
        } else {
            // A corrupt frame: wait for the pause, as the rest of the burst belongs to it.
            discarding_ = true;
        }
    }
    lastByte_ = now;
}

void RequestFramer::idle(Clock::time_point now, std::vector<FramerEvent>& out)
{
    if (!buffer_.empty() && now - lastByte_ >= silence_)
        endFrame(out);
}

void RequestFramer::endFrame(std::vector<FramerEvent>& out)
{
    // Codes without a fixed length end at the pause; they count when the CRC fits.
    bool needMore = false;
    const bool open = !discarding_ && !requestLength(buffer_, &needMore) && !needMore;
    const bool frame = open && buffer_.size() >= 4 && crcValid(buffer_);
    out.push_back({frame ? FramerEvent::Kind::Frame : FramerEvent::Kind::Dropped, std::move(buffer_)});
    buffer_.clear();
    discarding_ = false;
}

std::optional<RequestFramer::Clock::time_point> RequestFramer::silenceDeadline() const
{
    if (buffer_.empty())
        return std::nullopt;
    return lastByte_ + silence_;
}

void RequestFramer::reset() noexcept
{
    buffer_.clear();
    discarding_ = false;
}

}  // namespace grafimo::sim
