#pragma once
// The language of the command-line texts (--help, option errors): Russian when the user's
// locale asks for it, English otherwise. The windows always speak Russian.

namespace grafimo {

// From the environment: LC_ALL, then LC_MESSAGES, then LANG, the first one set and not
// empty decides, as the C library does for messages.
bool russianLocale();

// The same rule over given values (null or empty for a variable not set).
bool russianLocale(const char* lcAll, const char* lcMessages, const char* lang);

} // namespace grafimo
