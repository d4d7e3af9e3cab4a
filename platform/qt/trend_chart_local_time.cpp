// Date-time values (days since 1899-12-30, local time) and the epoch seconds the plot draws
// in, both ways, with the local offset looked up once per quarter hour.

#include "trend_chart_parts.h"

#include <QDate>
#include <QDateTime>
#include <QTime>

#include <cmath>
#include <cstdint>
#include <limits>

#include "grafimo/datetime.h"

namespace grafimo::qtui {

namespace {

constexpr std::int64_t kMsecsPerDayInt = 86400000;
constexpr std::int64_t kUnixEpochJulianDay = 2440588;  // 1970-01-01
constexpr std::int64_t kOffsetBlockMs = 15 * 60 * 1000;
constexpr double kNoTime = std::numeric_limits<double>::quiet_NaN();

} // namespace

std::optional<std::int64_t> dateTimeToEpochMsecs(double dateTime)
{
    const DateTimeFields f = decodeDateTime(dateTime);
    if (!isValidDateTime(f))
        return std::nullopt;
    const QDate date(f.year, f.month, f.day);
    const QTime time(f.hour, f.minute, f.second, f.millisecond);
    // The wall-clock time read as if it were UTC; the local offset is added below.
    const std::int64_t wallMs = (date.toJulianDay() - kUnixEpochJulianDay) * kMsecsPerDayInt +
                                time.msecsSinceStartOfDay();

    // A local-time conversion asks the C library, which looks at the zone file every
    // time; a reload converts hundreds of points. Zones change their offset only at whole
    // quarter hours of wall time, so one conversion per quarter hour is enough.
    thread_local std::int64_t cachedBlock = std::numeric_limits<std::int64_t>::min();
    thread_local std::int64_t cachedOffset = 0;
    const std::int64_t block =
        wallMs >= 0 ? wallMs / kOffsetBlockMs : -((-wallMs + kOffsetBlockMs - 1) / kOffsetBlockMs);
    if (block != cachedBlock) {
        const QDateTime local(date, time, Qt::LocalTime);
        if (!local.isValid())
            return std::nullopt;
        cachedOffset = local.toMSecsSinceEpoch() - wallMs;
        cachedBlock = block;
    }
    return wallMs + cachedOffset;
}

namespace detail {

std::optional<double> dateTimeOfKey(double key)
{
    if (!std::isfinite(key) || std::fabs(key) > 1e13)
        return std::nullopt;
    const QDateTime t = QDateTime::fromMSecsSinceEpoch(std::llround(key * 1000.0));
    const QDate d = t.date();
    const QTime h = t.time();
    return encodeDateTime({d.year(), d.month(), d.day(), h.hour(), h.minute(), h.second(), h.msec()});
}

double keyOf(double dateTime)
{
    const std::optional<std::int64_t> ms = dateTimeToEpochMsecs(dateTime);
    return ms ? static_cast<double>(*ms) / 1000.0 : kNoTime;
}

}  // namespace detail

}  // namespace grafimo::qtui
