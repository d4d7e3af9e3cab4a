#pragma once
// CRC-16/MODBUS written out bit by bit, apart from the program's table-driven one and the
// simulated device's own, so that one mistake in either cannot make both sides of a test
// agree.

#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

namespace grafimo::test::reference {

inline std::uint16_t modbusCrc(std::span<const std::uint8_t> bytes) noexcept
{
    std::uint16_t crc = 0xFFFF;
    for (std::uint8_t b : bytes) {
        crc = static_cast<std::uint16_t>(crc ^ b);
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<std::uint16_t>((crc & 1u) ? (crc >> 1) ^ 0xA001u : crc >> 1);
    }
    return crc;
}

// `body` followed by its CRC, low byte first.
inline std::vector<std::uint8_t> sealed(std::vector<std::uint8_t> body)
{
    const std::uint16_t crc = modbusCrc(body);
    body.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    body.push_back(static_cast<std::uint8_t>(crc >> 8));
    return body;
}

inline std::vector<std::uint8_t> sealed(std::initializer_list<std::uint8_t> body)
{
    return sealed(std::vector<std::uint8_t>(body));
}

inline bool sealOk(std::span<const std::uint8_t> frame) noexcept
{
    if (frame.size() < 3)
        return false;
    const std::uint16_t crc = modbusCrc(frame.first(frame.size() - 2));
    return frame[frame.size() - 2] == (crc & 0xFF) && frame[frame.size() - 1] == (crc >> 8);
}

}  // namespace grafimo::test::reference
