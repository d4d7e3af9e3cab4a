#include "grafimo/command_line.h"

#include <gtest/gtest.h>

namespace grafimo {
namespace {

using Action = CommandLine::Action;

struct Case {
    std::vector<std::string> args;
    Action action;
    std::string dir;
    bool desktop;
    std::string errorPart; // for Action::Error: a piece of the message
};

TEST(CommandLine, ActionsFoldersAndErrors)
{
    const std::vector<Case> cases = {
        {{}, Action::Run, "", false, ""},
        {{"--help"}, Action::Help, "", false, ""},
        {{"-h"}, Action::Help, "", false, ""},
        {{"--version"}, Action::Version, "", false, ""},
        // Help wins over version, whatever the order.
        {{"--version", "--help"}, Action::Help, "", false, ""},
        {{"--dir", "/tmp/bus"}, Action::Run, "/tmp/bus", false, ""},
        {{"--dir=relative/one"}, Action::Run, "relative/one", false, ""},
        {{"--desktop"}, Action::Run, "", true, ""},
        // Qt's own options are left to Qt, with their values.
        {{"-platform", "offscreen", "--dir", "d"}, Action::Run, "d", false, ""},
        {{"-style=fusion", "-reverse"}, Action::Run, "", false, ""},
        {{"--bogus"}, Action::Error, "", false, "unknown option '--bogus'"},
        {{"-x"}, Action::Error, "", false, "unknown option '-x'"},
        {{"stray"}, Action::Error, "", false, "unexpected argument 'stray'"},
        {{"--dir"}, Action::Error, "", false, "needs a folder"},
        {{"--dir="}, Action::Error, "", false, "needs a folder"},
        {{"--dir", "a", "--dir", "b"}, Action::Error, "", false, "twice"},
        {{"--desktop", "--dir", "a"}, Action::Error, "", false, "exclude each other"},
        // A wrong option is reported even next to --help.
        {{"--help", "--bogus"}, Action::Error, "", false, "--bogus"},
    };
    for (const Case& c : cases) {
        std::string label;
        for (const auto& a : c.args)
            label += a + " ";
        SCOPED_TRACE(label);
        const CommandLine parsed = parseCommandLine(c.args);
        EXPECT_EQ(parsed.action, c.action);
        if (c.action == Action::Error) {
            EXPECT_NE(parsed.error.find(c.errorPart), std::string::npos) << parsed.error;
            EXPECT_EQ(parsed.error.find('\n'), std::string::npos) << "one line only";
        } else {
            EXPECT_EQ(parsed.dir, c.dir);
            EXPECT_EQ(parsed.desktop, c.desktop);
            EXPECT_TRUE(parsed.error.empty());
        }
    }
}

TEST(CommandLine, HelpNamesEveryOptionAndVersionTheNumber)
{
    const std::string help = helpText();
    for (const char* option : {"--dir DIR", "--desktop", "--help", "--version", "grafimo.cfg", ".local/share/grafimo485"})
        EXPECT_NE(help.find(option), std::string::npos) << option;
    const std::string version = versionText("1.2.3");
    EXPECT_EQ(version.substr(0, version.find('\n') + 1), "grafimo485 1.2.3\n");
    EXPECT_NE(version.find("License GPL-3.0-or-later"), std::string::npos) << version;
}

TEST(CommandLine, HelpAndErrorsInEitherLanguage)
{
    EXPECT_EQ(helpText(false).rfind("Usage: grafimo485 [--dir DIR | --desktop]\n", 0), 0u);
    EXPECT_EQ(helpText(true).rfind("Использование: grafimo485 [--dir ПАПКА | --desktop]\n", 0), 0u);
    EXPECT_EQ(parseCommandLine({"stray"}, false).error, "unexpected argument 'stray'");
    EXPECT_EQ(parseCommandLine({"stray"}, true).error, "лишний аргумент «stray»");
    EXPECT_EQ(parseCommandLine({"--desktop", "--dir", "a"}, true).error,
              "параметры «--desktop» и «--dir» нельзя указывать вместе");
}

} // namespace
} // namespace grafimo
