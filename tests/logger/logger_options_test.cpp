// The recorder's command line, one table: what each argument list runs or why it is refused.

#include <gtest/gtest.h>

#include "logger_options.h"

namespace {

using grafimo::logger::LoggerOptions;
using Action = LoggerOptions::Action;

TEST(LoggerOptions, EachArgumentListRunsOrIsRefusedWithItsReason)
{
    struct Case {
        std::vector<std::string> args;
        Action action;
        std::string dir, stateDir, error;
    };
    const Case cases[] = {
        {{}, Action::Run, "", "", ""},
        {{"--dir", "/etc/grafimo485/boiler"}, Action::Run, "/etc/grafimo485/boiler", "", ""},
        {{"--dir=/srv/a b", "--state-dir=/var/lib/x"}, Action::Run, "/srv/a b", "/var/lib/x", ""},
        {{"--state-dir", "s", "--dir", "d"}, Action::Run, "d", "s", ""},
        {{"--help"}, Action::Help, "", "", ""},
        {{"--version", "--help"}, Action::Help, "", "", ""},
        {{"--version"}, Action::Version, "", "", ""},
        {{"--dir"}, Action::Error, "", "", "--dir needs DIR"},
        {{"--dir="}, Action::Error, "", "", "--dir needs a folder"},
        {{"--dir", ""}, Action::Error, "", "", "--dir needs a folder"},
        {{"--dir", "a", "--dir", "b"}, Action::Error, "", "", "--dir given twice"},
        {{"--port", "x"}, Action::Error, "", "", "unknown option '--port'"},
        {{"-d", "x"}, Action::Error, "", "", "unexpected argument '-d'"},
        {{"folder"}, Action::Error, "", "", "unexpected argument 'folder'"},
        {{"--"}, Action::Error, "", "", "unexpected argument '--'"},
        {{"--help=yes"}, Action::Error, "", "", "--help takes no value"},
        // An error anywhere wins over --help before it: the line is wrong, the user learns it.
        {{"--help", "--bogus"}, Action::Error, "", "", "unknown option '--bogus'"},
    };
    for (const Case& c : cases) {
        std::string line;
        for (const auto& a : c.args)
            line += "[" + a + "]";
        const LoggerOptions o = grafimo::logger::parseLoggerOptions(c.args);
        EXPECT_EQ(o.action, c.action) << line;
        EXPECT_EQ(o.error, c.error) << line;
        if (c.action == Action::Run) {
            EXPECT_EQ(o.dir, c.dir) << line;
            EXPECT_EQ(o.stateDir, c.stateDir) << line;
        }
    }
}

TEST(LoggerOptions, HelpNamesEveryOptionOfTheTable)
{
    const std::string help = grafimo::logger::helpText();
    for (const auto& row : grafimo::logger::optionTable())
        EXPECT_NE(help.find(row.name), std::string::npos) << row.name << " is not in --help";
    EXPECT_EQ(grafimo::logger::versionText("9.8").substr(0, 20), "grafimo-logger 9.8\nC");
}

} // namespace
