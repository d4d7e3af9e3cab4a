#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace grafimo {

// Live-value request: read six holding registers from register 0 (function 0x03),
// followed by the CRC bytes. Address 1 gives 01 03 00 00 00 06 C5 C8.
std::array<std::uint8_t, 8> buildLiveRequest(std::uint8_t address);

// The message followed by CrcLo and CrcHi of the CRC over the message.
std::vector<std::uint8_t> appendCrc(std::span<const std::uint8_t> message);

// True when the last two bytes are the CRC of the bytes before them. An answer of
// fewer than two bytes fails; the two bytes FF FF pass (the CRC of nothing is 0xFFFF).
bool answerCrcOk(std::span<const std::uint8_t> answer);

struct LiveSample {
    std::uint8_t address; // the answering device's own address byte
    float value1;         // signed whole part plus hundredths
    float value2;         // unsigned whole part plus tenths
};

// The device's answer: address, function code, byte count, six registers, CRC.
inline constexpr std::size_t kLiveAnswerSize = 17;
// Smallest answer that holds every decoded byte (0..12) plus the CRC.
inline constexpr std::size_t kLiveAnswerMinSize = 15;

// Decodes the two measured values of a live-value answer. Empty when the CRC is
// wrong or the answer is too short to hold bytes 0..12 and a CRC: bytes beyond the
// end of an answer are never read. The function code and byte count are not checked,
// so any answer with a valid CRC and enough bytes is decoded.
std::optional<LiveSample> decodeLiveAnswer(std::span<const std::uint8_t> answer);

} // namespace grafimo
