#pragma once
// The date-time value of a record the simulated device keeps in its log, worked out with the
// calendar of the standard library rather than the program's own date code: days since
// 30 December 1899 plus the minutes of the day (records carry no seconds).

#include <chrono>

#include "grafimo/sim/model.h"

namespace grafimo::test {

inline double logRecordTime(const sim::LogRecord& r)
{
    using namespace std::chrono;
    const sys_days day = year{2000 + r.yearMinus2000} / month{r.month} / std::chrono::day{r.day};
    const auto days = (day - sys_days(year{1899} / December / 30)).count();
    return static_cast<double>(days) + (r.hour * 60 + r.minute) / 1440.0;
}

} // namespace grafimo::test
