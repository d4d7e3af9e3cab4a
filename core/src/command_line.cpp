#include "grafimo/command_line.h"

#include <array>
#include <string_view>

namespace grafimo {

namespace {

// Qt's own options that take a value, and those that take none; QApplication reads them.
constexpr std::array<std::string_view, 13> kQtWithValue = {
    "-platform", "-platformpluginpath", "-platformtheme", "-plugin", "-qwindowgeometry", "-qwindowicon",
    "-qwindowtitle", "-session", "-style", "-stylesheet", "-display", "-geometry", "-qmljsdebugger"};
constexpr std::array<std::string_view, 3> kQtFlags = {"-reverse", "-widgetcount", "-nograb"};

template <std::size_t N>
bool oneOf(const std::array<std::string_view, N>& names, std::string_view arg)
{
    for (std::string_view n : names) {
        if (arg == n || (arg.size() > n.size() + 1 && arg.substr(0, n.size() + 1) == std::string(n) + "="))
            return true;
    }
    return false;
}

CommandLine failed(std::string message)
{
    CommandLine c;
    c.action = CommandLine::Action::Error;
    c.error = std::move(message);
    return c;
}

} // namespace

CommandLine parseCommandLine(const std::vector<std::string>& args)
{
    CommandLine result;
    bool help = false;
    bool version = false;
    bool dirGiven = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (arg == "-h" || arg == "--help") {
            help = true;
        } else if (arg == "--version") {
            version = true;
        } else if (arg == "--desktop") {
            result.desktop = true;
        } else if (arg == "--dir" || arg.rfind("--dir=", 0) == 0) {
            std::string value;
            if (arg == "--dir") {
                if (i + 1 >= args.size())
                    return failed("option '--dir' needs a folder");
                value = args[++i];
            } else {
                value = std::string(arg.substr(6));
            }
            if (value.empty())
                return failed("option '--dir' needs a folder");
            if (dirGiven)
                return failed("option '--dir' given twice");
            dirGiven = true;
            result.dir = value;
        } else if (oneOf(kQtWithValue, arg)) {
            if (arg.find('=') == std::string_view::npos)
                ++i; // its value belongs to Qt as well
        } else if (oneOf(kQtFlags, arg)) {
        } else if (!arg.empty() && arg[0] == '-') {
            return failed("unknown option '" + std::string(arg) + "'");
        } else {
            return failed("unexpected argument '" + std::string(arg) + "'");
        }
    }
    if (result.desktop && dirGiven)
        return failed("options '--desktop' and '--dir' exclude each other");
    if (help)
        result.action = CommandLine::Action::Help;
    else if (version)
        result.action = CommandLine::Action::Version;
    return result;
}

std::string helpText()
{
    return "Usage: grafimo485 [--dir DIR | --desktop]\n"
           "Polls measuring devices on an RS-485 bus (Modbus RTU) and plots their readings.\n"
           "\n"
           "The configuration grafimo.cfg is read from and written to the working folder.\n"
           "\n"
           "  --dir DIR    work in DIR instead of the current folder\n"
           "  --desktop    work in the per-user data folder ($XDG_DATA_HOME/grafimo485,\n"
           "               by default ~/.local/share/grafimo485), created when missing;\n"
           "               the desktop menu starts the program this way\n"
           "  -h, --help   print this help and exit\n"
           "  --version    print the version and exit\n"
           "\n"
           "Only one copy of the program runs per working folder.\n";
}

std::string versionText(const std::string& version)
{
    return "grafimo485 " + version + "\n"
           "Copyright (C) 2026 Grafimo485 developers\n"
           "License GPL-3.0-or-later: GNU GPL version 3 or later <https://www.gnu.org/licenses/gpl-3.0.html>.\n"
           "This is free software: you are free to change and redistribute it.\n"
           "There is NO WARRANTY, to the extent permitted by law.\n";
}

} // namespace grafimo
