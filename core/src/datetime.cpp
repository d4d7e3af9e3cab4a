#include "grafimo/datetime.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <ctime>

namespace grafimo {

namespace {

constexpr std::int64_t kMsPerDay = 86'400'000;

// Days between 1970-01-01 and 1899-12-30.
constexpr std::int64_t kEpochOffsetDays = 25'569;

bool isLeap(int y)
{
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int daysInMonth(int y, int m)
{
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return (m == 2 && isLeap(y)) ? 29 : kDays[m - 1];
}

// Proleptic Gregorian calendar <-> days since 1970-01-01 (H. Hinnant's algorithms).
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void civilFromDays(std::int64_t z, int& year, int& month, int& day)
{
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    year = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2));
    month = static_cast<int>(m);
    day = static_cast<int>(d);
}

const std::int64_t kFirstDay = daysFromCivil(1, 1, 1) + kEpochOffsetDays;       // 0001-01-01
const std::int64_t kLastDay = daysFromCivil(9999, 12, 31) + kEpochOffsetDays;   // 9999-12-31

} // namespace

bool isValidDateTime(const DateTimeFields& f)
{
    if (f.year < 1 || f.year > 9999 || f.month < 1 || f.month > 12)
        return false;
    if (f.day < 1 || f.day > daysInMonth(f.year, f.month))
        return false;
    return f.hour >= 0 && f.hour <= 23 && f.minute >= 0 && f.minute <= 59 && f.second >= 0 &&
           f.second <= 59 && f.millisecond >= 0 && f.millisecond <= 999;
}

std::optional<double> encodeDateTime(const DateTimeFields& f)
{
    if (!isValidDateTime(f))
        return std::nullopt;
    const std::int64_t days =
        daysFromCivil(f.year, static_cast<unsigned>(f.month), static_cast<unsigned>(f.day)) +
        kEpochOffsetDays;
    const std::int64_t ms =
        ((static_cast<std::int64_t>(f.hour) * 60 + f.minute) * 60 + f.second) * 1000 +
        f.millisecond;
    const double time = static_cast<double>(ms) / static_cast<double>(kMsPerDay);
    const auto date = static_cast<double>(days);
    return days < 0 ? date - time : date + time;
}

DateTimeFields decodeDateTime(double value)
{
    DateTimeFields f{};
    if (!std::isfinite(value))
        return f;
    // Whole milliseconds first, then split: rounding the product rather than the
    // fraction keeps 13:05:00 from turning into 13:04:59.999.
    const double totalMs = std::nearbyint(value * static_cast<double>(kMsPerDay));
    if (totalMs < static_cast<double>((kFirstDay - 1) * kMsPerDay) ||
        totalMs > static_cast<double>((kLastDay + 1) * kMsPerDay))
        return f;
    const auto ms = static_cast<std::int64_t>(totalMs);
    const std::int64_t days = ms / kMsPerDay; // toward zero: the whole part of the value
    std::int64_t timeMs = ms % kMsPerDay;
    if (timeMs < 0)
        timeMs = -timeMs;
    if (days < kFirstDay || days > kLastDay)
        return f;
    civilFromDays(days - kEpochOffsetDays, f.year, f.month, f.day);
    f.millisecond = static_cast<int>(timeMs % 1000);
    f.second = static_cast<int>(timeMs / 1000 % 60);
    f.minute = static_cast<int>(timeMs / 60'000 % 60);
    f.hour = static_cast<int>(timeMs / 3'600'000);
    return f;
}

double nowDateTime()
{
    const auto now = std::chrono::system_clock::now();
    const auto sinceEpoch = now.time_since_epoch();
    const auto secs = std::chrono::floor<std::chrono::seconds>(sinceEpoch);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch - secs).count();
    const std::time_t t = static_cast<std::time_t>(secs.count());
    std::tm local{};
    if (localtime_r(&t, &local) == nullptr)
        return 0.0;
    DateTimeFields f{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                     local.tm_min,         local.tm_sec,     static_cast<int>(ms)};
    if (f.second > 59) // a leap second is shown as the last second of the minute
        f.second = 59;
    return encodeDateTime(f).value_or(0.0);
}

} // namespace grafimo
