#include "grafimo/ui_language.h"

#include <cstdlib>
#include <string_view>

namespace grafimo {

bool russianLocale(const char* lcAll, const char* lcMessages, const char* lang)
{
    std::string_view name;
    for (const char* value : {lcAll, lcMessages, lang}) {
        if (value && *value) {
            name = value;
            break;
        }
    }
    // language[_territory][.codeset][@modifier]: "ru", "ru_RU.UTF-8", "ru_UA@euro".
    if (name.substr(0, 2) != "ru")
        return false;
    return name.size() == 2 || name[2] == '_' || name[2] == '.' || name[2] == '@';
}

bool russianLocale()
{
    return russianLocale(std::getenv("LC_ALL"), std::getenv("LC_MESSAGES"), std::getenv("LANG"));
}

} // namespace grafimo
