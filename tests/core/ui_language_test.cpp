// The language of --help and of the option errors: LC_ALL, then LC_MESSAGES, then LANG.

#include "grafimo/command_line.h"
#include "grafimo/ui_language.h"

#include <gtest/gtest.h>

namespace grafimo {
namespace {

TEST(UiLanguage, FirstVariableSetDecides)
{
    struct Case {
        const char* lcAll;
        const char* lcMessages;
        const char* lang;
        bool russian;
    };
    const Case cases[] = {
        {nullptr, nullptr, nullptr, false},
        {nullptr, nullptr, "ru_RU.UTF-8", true},
        {nullptr, nullptr, "ru", true},
        {nullptr, nullptr, "ru_UA@euro", true},
        {nullptr, nullptr, "ru.KOI8-R", true},
        {nullptr, nullptr, "en_US.UTF-8", false},
        {nullptr, nullptr, "C.UTF-8", false},
        // A language whose code only begins with the letters: Rusyn, not Russian.
        {nullptr, nullptr, "rue_UA", false},
        {nullptr, nullptr, "russian", false},
        {nullptr, "ru_RU.UTF-8", "en_US.UTF-8", true},
        {nullptr, "C", "ru_RU.UTF-8", false},
        {"C", "ru_RU.UTF-8", "ru_RU.UTF-8", false},
        {"ru_RU.UTF-8", "en_US.UTF-8", "C", true},
        // Set but empty counts as not set.
        {"", "", "ru_RU.UTF-8", true},
        {"", "en_GB", "ru_RU.UTF-8", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.lcAll ? c.lcAll : "-") + " / " + (c.lcMessages ? c.lcMessages : "-") + " / " +
                     (c.lang ? c.lang : "-"));
        EXPECT_EQ(russianLocale(c.lcAll, c.lcMessages, c.lang), c.russian);
    }
}

TEST(UiLanguage, HelpAndErrorsInEitherLanguage)
{
    EXPECT_EQ(helpText(false).rfind("Usage: grafimo485 [--dir DIR | --desktop]\n", 0), 0u);
    EXPECT_EQ(helpText(true).rfind("Использование: grafimo485 [--dir ПАПКА | --desktop]\n", 0), 0u);
    EXPECT_EQ(parseCommandLine({"--bogus"}, false).error, "unknown option '--bogus'");
    EXPECT_EQ(parseCommandLine({"--bogus"}, true).error, "неизвестный параметр «--bogus»");
    EXPECT_EQ(parseCommandLine({"--desktop", "--dir", "a"}, true).error,
              "параметры «--desktop» и «--dir» нельзя указывать вместе");
}

} // namespace
} // namespace grafimo
