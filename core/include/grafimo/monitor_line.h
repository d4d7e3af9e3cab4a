#pragma once
#include <chrono>
#include <cstdint>
#include <span>
#include <string>

namespace grafimo {

// One frame as the poll monitor shows it: "0x01,0x03,...,0xC8," (upper-case hex,
// each byte followed by a comma, no spaces). Empty input gives an empty line.
std::string monitorLine(std::span<const std::uint8_t> bytes);

// An answer's line: its bytes, then how long the device took to start answering, in whole
// milliseconds: "0x01,...,0x9B, (37 мс)" (UTF-8).
std::string monitorAnswerLine(std::span<const std::uint8_t> bytes, std::chrono::microseconds responseTime);

} // namespace grafimo
