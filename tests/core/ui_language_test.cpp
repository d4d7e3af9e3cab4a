// Which variable decides the language of the command-line texts, and what reads as Russian.

#include <gtest/gtest.h>

#include "grafimo/ui_language.h"
#include "grafimo_test/env_var.h"

namespace {

struct LocaleCase {
    const char* lcAll;
    const char* lcMessages;
    const char* lang;
    bool russian;
};

TEST(UiLanguage, FirstSetVariableOfLcAllLcMessagesLangDecides)
{
    const LocaleCase cases[] = {
        {nullptr, nullptr, "ru_RU.UTF-8", true},
        {nullptr, nullptr, "ru", true},
        {nullptr, nullptr, "ru_UA@latin", true},
        {nullptr, nullptr, "ru.KOI8-R", true},
        {nullptr, nullptr, "en_US.UTF-8", false},
        {nullptr, nullptr, "run", false},          // a language that only starts with "ru"
        {nullptr, nullptr, "rue_UA", false},
        {nullptr, nullptr, nullptr, false},         // nothing set: the C locale
        {"C", nullptr, "ru_RU.UTF-8", false},        // LC_ALL wins, whatever it says
        {"", "ru_RU.UTF-8", "en_GB.UTF-8", true},    // an empty value counts as unset
        {nullptr, "en_GB.UTF-8", "ru_RU.UTF-8", false},
        {"ru_RU.UTF-8", "en_GB.UTF-8", "en_GB.UTF-8", true},
        {"", "", "", false},
    };
    for (const LocaleCase& c : cases) {
        EXPECT_EQ(grafimo::russianLocale(c.lcAll, c.lcMessages, c.lang), c.russian)
            << (c.lcAll ? c.lcAll : "-") << " / " << (c.lcMessages ? c.lcMessages : "-") << " / "
            << (c.lang ? c.lang : "-");
        grafimo::test::EnvVar all("LC_ALL", c.lcAll), messages("LC_MESSAGES", c.lcMessages), lang("LANG", c.lang);
        EXPECT_EQ(grafimo::russianLocale(), c.russian) << "read from the environment";
    }
}

} // namespace
