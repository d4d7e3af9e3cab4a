#pragma once
#include <cstdint>
#include <span>

namespace grafimo {

// Modbus CRC-16 (poly 0xA001 reflected, preset 0xFFFF, no final xor).
// The low byte (CrcLo) goes first on the wire.
std::uint16_t crc16(std::span<const std::uint8_t> data) noexcept;

struct Crc {
    std::uint8_t CrcLo;
    std::uint8_t CrcHi;
    std::uint16_t value;
};

// Same CRC, split into the two bytes that follow a frame.
Crc crc16Bytes(std::span<const std::uint8_t> data) noexcept;

} // namespace grafimo
