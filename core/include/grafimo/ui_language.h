#pragma once
// Which language the command-line texts (--help, usage messages) are printed in. The
// windows are always Russian; a command run from a terminal follows the locale.

#include <string_view>

namespace grafimo {

// True when the locale that decides messages is Russian: the first of LC_ALL, LC_MESSAGES
// and LANG that is set and not empty, read as language[_territory][.codeset][@modifier].
bool russianLocale();

// The same rule over given values (nullptr or "" = unset), for callers and tests that do
// not read the environment.
bool russianLocale(const char* lcAll, const char* lcMessages, const char* lang);

} // namespace grafimo
