#include "regional_formats.h"

#include <QLocale>

namespace grafimo {

namespace {

std::string utf8(const QString& s)
{
    return s.toStdString();
}

} // namespace

RegionalFormats regionalFormats(const QLocale& locale)
{
    if (locale.language() == QLocale::C)
        return russianFormats();
    RegionalFormats f;
    f.decimalSeparator = utf8(locale.decimalPoint());
    f.shortDate = utf8(locale.dateFormat(QLocale::ShortFormat));
    f.longTime = utf8(locale.timeFormat(QLocale::LongFormat));
    f.amText = utf8(locale.amText());
    f.pmText = utf8(locale.pmText());
    for (int i = 0; i < 12; ++i) {
        f.shortMonthNames[i] = utf8(locale.monthName(i + 1, QLocale::ShortFormat));
        f.longMonthNames[i] = utf8(locale.monthName(i + 1, QLocale::LongFormat));
    }
    for (int i = 0; i < 7; ++i) {
        f.shortDayNames[i] = utf8(locale.dayName(i + 1, QLocale::ShortFormat));
        f.longDayNames[i] = utf8(locale.dayName(i + 1, QLocale::LongFormat));
    }
    return f;
}

RegionalFormats regionalFormats()
{
    return regionalFormats(QLocale::system());
}

} // namespace grafimo
