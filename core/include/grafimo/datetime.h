#pragma once
#include <optional>

namespace grafimo {

// Date-time value: days since 1899-12-30 00:00 as a double, the fraction being the
// time of day, local time. Before 1899-12-30 the whole part is negative and the
// fraction, taken by its absolute value, is still the time of day: -1.25 is
// 1899-12-29 06:00.
struct DateTimeFields {
    int year;
    int month;
    int day;
    int hour;
    int minute;
    int second;
    int millisecond;
};

// Year 1..9999, month 1..12, day within the month (leap years by the Gregorian rule),
// hour 0..23, minute and second 0..59, millisecond 0..999.
bool isValidDateTime(const DateTimeFields& f);

// The date-time value of the fields; empty when they are not valid.
std::optional<double> encodeDateTime(const DateTimeFields& f);

// The fields of a date-time value, rounded to the nearest millisecond (so a value
// computed for 13:05:00 never comes back as 13:04:59.999). A value that is not finite
// or lies outside years 1..9999 gives all-zero fields, which are not valid.
DateTimeFields decodeDateTime(double value);

// The current local date-time, to the millisecond.
double nowDateTime();

} // namespace grafimo
