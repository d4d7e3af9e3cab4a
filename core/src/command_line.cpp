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

CommandLine parseCommandLine(const std::vector<std::string>& args, bool russian)
{
    const auto say = [russian](std::string english, std::string inRussian) {
        return failed(russian ? std::move(inRussian) : std::move(english));
    };
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
                    return say("option '--dir' needs a folder", "после параметра «--dir» нужно указать папку");
                value = args[++i];
            } else {
                value = std::string(arg.substr(6));
            }
            if (value.empty())
                return say("option '--dir' needs a folder", "после параметра «--dir» нужно указать папку");
            if (dirGiven)
                return say("option '--dir' given twice", "параметр «--dir» указан дважды");
            dirGiven = true;
            result.dir = value;
        } else if (oneOf(kQtWithValue, arg)) {
            if (arg.find('=') == std::string_view::npos)
                ++i; // its value belongs to Qt as well
        } else if (oneOf(kQtFlags, arg)) {
        } else if (!arg.empty() && arg[0] == '-') {
            return say("unknown option '" + std::string(arg) + "'", "неизвестный параметр «" + std::string(arg) + "»");
        } else {
            return say("unexpected argument '" + std::string(arg) + "'", "лишний аргумент «" + std::string(arg) + "»");
        }
    }
    if (result.desktop && dirGiven)
        return say("options '--desktop' and '--dir' exclude each other",
                   "параметры «--desktop» и «--dir» нельзя указывать вместе");
    if (help)
        result.action = CommandLine::Action::Help;
    else if (version)
        result.action = CommandLine::Action::Version;
    return result;
}

std::string helpText(bool russian)
{
    if (russian)
        return "Использование: grafimo485 [--dir ПАПКА | --desktop]\n"
               "Опрашивает измерительные приборы на шине RS-485 (Modbus RTU) и строит графики\n"
               "их показаний.\n"
               "\n"
               "Файл настроек grafimo.cfg программа читает и записывает в рабочей папке.\n"
               "\n"
               "  --dir ПАПКА  работать в ПАПКЕ, а не в текущей папке\n"
               "  --desktop    работать в папке данных пользователя ($XDG_DATA_HOME/grafimo485,\n"
               "               по умолчанию ~/.local/share/grafimo485); если её нет, она\n"
               "               создаётся; так программу запускает меню рабочего стола\n"
               "  -h, --help   показать эту справку и выйти\n"
               "  --version    показать номер версии и выйти\n"
               "\n"
               "В одной рабочей папке работает только одна копия программы.\n";
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

std::string versionText(const std::string& version, bool russian, const std::string& program)
{
    if (russian)
        return program + " " + version + "\n"
               "Авторские права (C) 2026 разработчики Grafimo485\n"
               "Лицензия GPL-3.0-or-later: GNU GPL версии 3 или более поздней <https://www.gnu.org/licenses/gpl-3.0.html>.\n"
               "Это свободная программа: её можно изменять и распространять.\n"
               "НИКАКИХ ГАРАНТИЙ не предоставляется в той мере, в какой это допускает закон.\n";
    return program + " " + version + "\n"
           "Copyright (C) 2026 Grafimo485 developers\n"
           "License GPL-3.0-or-later: GNU GPL version 3 or later <https://www.gnu.org/licenses/gpl-3.0.html>.\n"
           "This is free software: you are free to change and redistribute it.\n"
           "There is NO WARRANTY, to the extent permitted by law.\n";
}

} // namespace grafimo
