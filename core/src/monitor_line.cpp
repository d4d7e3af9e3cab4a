#include "grafimo/monitor_line.h"

namespace grafimo {

std::string monitorLine(std::span<const std::uint8_t> bytes)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string line;
    line.reserve(bytes.size() * 5);
    for (std::uint8_t b : bytes) {
        line += "0x";
        line += kHex[b >> 4];
        line += kHex[b & 0x0F];
        line += ',';
    }
    return line;
}

std::string monitorAnswerLine(std::span<const std::uint8_t> bytes, std::chrono::microseconds responseTime)
{
    const auto ms = std::chrono::round<std::chrono::milliseconds>(responseTime).count();
    return monitorLine(bytes) + " (" + std::to_string(ms < 0 ? 0 : ms) + " мс)";
}

} // namespace grafimo
