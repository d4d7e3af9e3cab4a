#include "grafimo/frames.h"

#include "grafimo/crc16.h"

namespace grafimo {

std::array<std::uint8_t, 8> buildLiveRequest(std::uint8_t address)
{
    std::array<std::uint8_t, 8> frame{address, 0x03, 0x00, 0x00, 0x00, 0x06, 0, 0};
    const Crc crc = crc16Bytes(std::span<const std::uint8_t>(frame.data(), 6));
    frame[6] = crc.CrcLo;
    frame[7] = crc.CrcHi;
    return frame;
}

std::vector<std::uint8_t> appendCrc(std::span<const std::uint8_t> message)
{
    std::vector<std::uint8_t> frame(message.begin(), message.end());
    const Crc crc = crc16Bytes(message);
    frame.push_back(crc.CrcLo);
    frame.push_back(crc.CrcHi);
    return frame;
}

bool answerCrcOk(std::span<const std::uint8_t> answer)
{
    const std::size_t n = answer.size();
    if (n < 2)
        return false;
    const Crc crc = crc16Bytes(answer.first(n - 2));
    return answer[n - 2] == crc.CrcLo && answer[n - 1] == crc.CrcHi;
}

namespace {

std::uint16_t be16(std::span<const std::uint8_t> b, std::size_t at)
{
    return static_cast<std::uint16_t>((b[at] << 8) | b[at + 1]);
}

std::int32_t be32s(std::span<const std::uint8_t> b, std::size_t at)
{
    const std::uint32_t u = (std::uint32_t{b[at]} << 24) | (std::uint32_t{b[at + 1]} << 16) |
                            (std::uint32_t{b[at + 2]} << 8) | std::uint32_t{b[at + 3]};
    return static_cast<std::int32_t>(u); // two's complement, well defined since C++20
}

// The whole part goes through single precision first; the fraction is added in
// extended precision and the sum rounded once to single precision.
float wholePlusFraction(float whole, std::uint16_t fraction, long double unit)
{
    return static_cast<float>(static_cast<long double>(whole) +
                              static_cast<long double>(fraction) * unit);
}

} // namespace

std::optional<LiveSample> decodeLiveAnswer(std::span<const std::uint8_t> answer)
{
    if (answer.size() < kLiveAnswerMinSize || !answerCrcOk(answer))
        return std::nullopt;
    LiveSample s{};
    s.address = answer[0];
    s.value1 = wholePlusFraction(static_cast<float>(be32s(answer, 3)), be16(answer, 7), 0.01L);
    s.value2 = wholePlusFraction(static_cast<float>(be16(answer, 9)), be16(answer, 11), 0.1L);
    return s;
}

} // namespace grafimo
