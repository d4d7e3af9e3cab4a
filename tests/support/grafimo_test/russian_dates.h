#pragma once
// The export's Russian conventions ("dd.MM.yyyy", "HH:mm:ss", decimal comma) without the
// toolkit, for the tests of core's export files; the program takes its date texts from
// the platform layer.
#include "grafimo/export_text.h"

#include <cstdio>
#include <memory>
#include <string>

namespace grafimo::test {

class RussianDates final : public DateTimeFormatter {
public:
    std::string dateText(const DateTimeFields& f) const override
    {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%02d.%02d.%04d", f.day, f.month, f.year);
        return buf;
    }
    std::string timeText(const DateTimeFields& f) const override
    {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", f.hour, f.minute, f.second);
        return buf;
    }
};

inline RegionalFormats russianFormats()
{
    return {",", std::make_shared<RussianDates>()};
}

} // namespace grafimo::test
