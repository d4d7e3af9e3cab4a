#pragma once
// What the simulated devices' live answers must read as, worked out apart from the
// program's decoder, so that a decoding fault cannot make both sides of a test agree.

#include <array>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

namespace grafimo::test {

struct Reading {
    float value1;
    float value2;
};

// Samples 0..15 of devices 1, 5 and 9: the simulator's wave (sim/include/grafimo/sim/
// model.h) in hundredths and tenths, turned once into the nearest single-precision values
// with Python's fractions and struct modules. Sample 0 of device 1 is -1764 hundredths and
// 241 tenths: -17.64 and 24.1.
inline constexpr std::array<Reading, 16> kDevice1Readings{{
    {-17.64f, 24.1f}, {-17.07f, 24.5f}, {-16.50f, 24.9f}, {-15.93f, 25.3f},
    {-15.36f, 25.7f}, {-14.79f, 26.1f}, {-14.22f, 26.5f}, {-13.65f, 26.9f},
    {-13.08f, 27.3f}, {-12.51f, 27.7f}, {-11.94f, 28.1f}, {-11.37f, 28.5f},
    {-10.80f, 28.9f}, {-10.23f, 29.3f}, {-9.66f, 29.7f},  {-9.09f, 30.1f},
}};
inline constexpr std::array<Reading, 16> kDevice5Readings{{
    {29.90f, 60.5f}, {29.05f, 60.1f}, {28.20f, 59.7f}, {27.35f, 59.3f},
    {26.50f, 58.9f}, {25.65f, 58.5f}, {24.80f, 58.1f}, {23.95f, 57.7f},
    {23.10f, 57.3f}, {22.25f, 56.9f}, {21.40f, 56.5f}, {20.55f, 56.1f},
    {19.70f, 55.7f}, {18.85f, 55.3f}, {18.00f, 54.9f}, {17.15f, 54.5f},
}};
inline constexpr std::array<Reading, 16> kDevice9Readings{{
    {-21.96f, 40.9f}, {-21.39f, 41.3f}, {-20.82f, 41.7f}, {-20.25f, 42.1f},
    {-19.68f, 42.5f}, {-19.11f, 42.9f}, {-18.54f, 43.3f}, {-17.97f, 43.7f},
    {-17.40f, 44.1f}, {-16.83f, 44.5f}, {-16.26f, 44.9f}, {-15.69f, 45.3f},
    {-15.12f, 45.7f}, {-14.55f, 46.1f}, {-13.98f, 46.5f}, {-13.41f, 46.9f},
}};

// The tabled reading of a sample; none for another device or a later sample.
inline std::optional<Reading> tabledReading(std::uint8_t address, std::uint32_t sample)
{
    const std::array<Reading, 16>* table = address == 1   ? &kDevice1Readings
                                           : address == 5 ? &kDevice5Readings
                                           : address == 9 ? &kDevice9Readings
                                                          : nullptr;
    if (!table || sample >= table->size())
        return std::nullopt;
    return (*table)[sample];
}

namespace detail {

// `units` / 10^decimals written out in decimal and read back by the library, which rounds
// a decimal to the nearest single-precision value without regard to the locale.
inline float decimalToFloat(std::int64_t units, int decimals)
{
    const std::int64_t scale = decimals == 2 ? 100 : 10;
    const std::int64_t magnitude = units < 0 ? -units : units;
    std::string fraction = std::to_string(magnitude % scale);
    fraction.insert(0, static_cast<std::size_t>(decimals) - fraction.size(), '0');
    const std::string text = (units < 0 ? "-" : "") + std::to_string(magnitude / scale) + "." + fraction;
    float value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

} // namespace detail

// Any served register set, for runs too long for the table: value 1 is the signed whole
// part (registers 0-1) plus register 2 hundredths, value 2 register 3 plus register 4
// tenths, each the nearest single-precision value to that decimal.
inline Reading readingAsDecimal(const std::array<std::uint16_t, 6>& r)
{
    const auto whole1 = static_cast<std::int32_t>((std::uint32_t{r[0]} << 16) | r[1]);
    return {detail::decimalToFloat(std::int64_t{whole1} * 100 + r[2], 2),
            detail::decimalToFloat(std::int64_t{r[3]} * 10 + r[4], 1)};
}

} // namespace grafimo::test
