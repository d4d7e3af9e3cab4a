#include "grafimo/ui_language.h"

#include <cstdlib>

namespace grafimo {

bool russianLocale(const char* lcAll, const char* lcMessages, const char* lang)
{
    for (const char* value : {lcAll, lcMessages, lang}) {
        if (!value || !*value)
            continue;
        // The first one set decides, whatever its language ("C" and "POSIX" included).
        const std::string_view locale(value);
        return locale.substr(0, 2) == "ru" && (locale.size() == 2 || locale[2] == '_' || locale[2] == '.' || locale[2] == '@');
    }
    return false;
}

bool russianLocale()
{
    return russianLocale(std::getenv("LC_ALL"), std::getenv("LC_MESSAGES"), std::getenv("LANG"));
}

} // namespace grafimo
