#pragma once
// The regional date, time and number formats of the user's locale, as the exports write them.

#include "grafimo/export_text.h"

class QLocale;

namespace grafimo {

// The locale's short date, long time (without its time-zone part), decimal separator,
// AM/PM texts and month and day names. The C/POSIX locale has no regional conventions of
// its own; the program's Russian ones stand in, matching its interface.
RegionalFormats regionalFormats(const QLocale& locale);
// Of the locale the program runs in.
RegionalFormats regionalFormats();

} // namespace grafimo
