#include "grafimo/crc16.h"

namespace grafimo {

std::uint16_t crc16(std::span<const std::uint8_t> data) noexcept
{
    std::uint16_t reg = 0xFFFF;
    for (std::uint8_t byte : data) {
        reg ^= byte;
        for (int bit = 0; bit < 8; ++bit)
            reg = (reg & 1u) ? static_cast<std::uint16_t>((reg >> 1) ^ 0xA001u)
                             : static_cast<std::uint16_t>(reg >> 1);
    }
    return reg;
}

Crc crc16Bytes(std::span<const std::uint8_t> data) noexcept
{
    const std::uint16_t v = crc16(data);
    return Crc{static_cast<std::uint8_t>(v & 0xFF), static_cast<std::uint8_t>(v >> 8), v};
}

} // namespace grafimo
