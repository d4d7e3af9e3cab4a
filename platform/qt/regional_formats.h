#pragma once
// The regional date, time and number formats of the user's locale, as the exports write them.

#include "grafimo/export_text.h"

#include <QLocale>
#include <QString>

namespace grafimo {

// The locale's decimal separator, and its short date and long time formats (the latter
// without its time-zone part) written by the locale itself, month and day names and AM/PM
// texts included, with ASCII digits like the numbers beside them. The C/POSIX locale has
// no regional conventions of its own; the program's Russian ones stand in, matching its
// interface: "dd.MM.yyyy", "HH:mm:ss", decimal comma.
RegionalFormats regionalFormats(const QLocale& locale);
// Of the locale the program runs in.
RegionalFormats regionalFormats();

// The date and time texts of `locale` in the given date and time patterns (Qt's
// date-time format syntax; time-zone fields are taken out of the time pattern).
std::shared_ptr<const DateTimeFormatter> localeDateTimeFormatter(const QLocale& locale, const QString& shortDate,
                                                                 const QString& longTime);

// The pattern without its time-zone fields: every unquoted run of 't' is removed together
// with the blanks (space, U+00A0, U+202F) before it, or, when only blanks precede it,
// the blanks after it. "h:mm:ss AP t" -> "h:mm:ss AP"; "t HH:mm" -> "HH:mm".
QString stripTimeZone(const QString& pattern);

} // namespace grafimo
