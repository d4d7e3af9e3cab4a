#include "logger_options.h"
#include "grafimo/command_line.h"

#include <set>
#include <string_view>

namespace grafimo::logger {

namespace {

// A message in the terminal's language: English, or Russian (see ui_language.h).
struct Say {
    bool russian = false;
    std::string operator()(std::string english, std::string inRussian) const
    {
        return russian ? std::move(inRussian) : std::move(english);
    }
};

std::optional<std::string> folderValue(std::string& into, const char* option, const std::string& value, bool russian)
{
    if (value.empty())
        return Say{russian}(std::string(option) + " needs a folder", "для " + std::string(option) + " нужна папка");
    into = value;
    return std::nullopt;
}

// The value names of the table as the Russian help writes them.
std::string russianValueName(std::string_view name)
{
    if (name == "DIR")
        return "ПАПКА";
    if (name == "FILE")
        return "ФАЙЛ";
    if (name == "PREFIX")
        return "ПРЕФИКС";
    return std::string(name); // URL
}

} // namespace

const std::vector<OptionRow>& optionTable()
{
    static const std::vector<OptionRow> table = [] {
    std::vector<OptionRow> rows{
        {"--dir", "DIR",
         [](LoggerOptions& o, const std::string& v, bool ru) { return folderValue(o.dir, "--dir", v, ru); }},
        {"--state-dir", "DIR",
         [](LoggerOptions& o, const std::string& v, bool ru) { return folderValue(o.stateDir, "--state-dir", v, ru); }},
        {"--help", nullptr,
         [](LoggerOptions& o, const std::string&, bool) -> std::optional<std::string> {
             o.action = LoggerOptions::Action::Help;
             return std::nullopt;
         }},
        {"--version", nullptr,
         [](LoggerOptions& o, const std::string&, bool) -> std::optional<std::string> {
             if (o.action != LoggerOptions::Action::Help)
                 o.action = LoggerOptions::Action::Version;
             return std::nullopt;
         }},
    };
    // The publisher's options are its own table's rows.
    for (const mqtt::MqttOptionSpec& option : mqtt::mqttOptionTable())
        rows.push_back({option.name.data(), option.takesValue ? option.valueName.data() : nullptr,
                        [name = option.name](LoggerOptions& o, const std::string& v, bool) -> std::optional<std::string> {
                            mqtt::takeMqttOption(o.mqtt, name, v);
                            return std::nullopt;
                        }});
    return rows;
    }();
    return table;
}

LoggerOptions parseLoggerOptions(const std::vector<std::string>& args, bool russian)
{
    const Say say{russian};
    LoggerOptions options;
    const auto fail = [&options](std::string error) {
        options.action = LoggerOptions::Action::Error;
        options.error = std::move(error);
        return options;
    };
    std::set<std::string> seen;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.rfind("--", 0) != 0 || arg == "--")
            return fail(say("unexpected argument '" + arg + "'", "лишний аргумент «" + arg + "»"));
        const auto eq = arg.find('=');
        const std::string name = arg.substr(0, eq);
        const OptionRow* row = nullptr;
        for (const OptionRow& r : optionTable())
            if (name == r.name)
                row = &r;
        if (!row)
            return fail(say("unknown option '" + name + "'", "неизвестный параметр «" + name + "»"));
        if (!seen.insert(name).second)
            return fail(say(name + " given twice", "параметр «" + name + "» указан дважды"));
        std::string value;
        if (row->valueName) {
            if (eq != std::string::npos)
                value = arg.substr(eq + 1);
            else if (i + 1 < args.size())
                value = args[++i];
            else
                return fail(say(name + " needs " + row->valueName,
                                "для " + name + " нужно значение " + russianValueName(row->valueName)));
        } else if (eq != std::string::npos) {
            return fail(say(name + " takes no value", "параметр «" + name + "» не принимает значения"));
        }
        if (auto error = row->apply(options, value, russian))
            return fail(std::move(*error));
    }
    return options;
}

std::string helpText(bool russian)
{
    if (russian)
        return "Использование: grafimo-logger [--dir ПАПКА] [--state-dir ПАПКА] [--mqtt URL [--mqtt-... ]]\n"
               "Опрашивает измерительные приборы из grafimo.cfg через порт или шлюз, записанный\n"
               "там же, и дописывает каждый замер в файл истории прибора, без окна. Рассчитан на\n"
               "работу службой (grafimo-logger@ПАПКА.service); по строке в stderr на событие.\n"
               "\n"
               "  --dir ПАПКА       папка с grafimo.cfg (по умолчанию рабочая папка);\n"
               "                    файл только читается\n"
               "  --state-dir ПАПКА куда класть папку истории вместо $XDG_STATE_HOME\n"
               "                    (по умолчанию ~/.local/state): ПАПКА/grafimo485/<ключ папки>/\n"
               "  --mqtt URL        также публиковать каждый замер на брокере MQTT, ничего не теряя,\n"
               "                    пока его нет: mqtt://[ПОЛЬЗОВАТЕЛЬ@]УЗЕЛ[:ПОРТ] или\n"
               "                    mqtts://[ПОЛЬЗОВАТЕЛЬ@]УЗЕЛ[:ПОРТ]\n"
               "  --mqtt-ca ФАЙЛ    проверять брокер mqtts:// по сертификатам УЦ из ФАЙЛа\n"
               "                    (по умолчанию по системному хранилищу сертификатов)\n"
               "  --mqtt-password-file ФАЙЛ\n"
               "                    пароль брокера — первая строка ФАЙЛа; или задайте\n"
               "                    GRAFIMO_MQTT_PASSWORD (в командной строке — никогда)\n"
               "  --mqtt-topic ПРЕФИКС\n"
               "                    префикс тем (по умолчанию grafimo485/<имя узла>)\n"
               "  --mqtt-ha         публиковать и настройки обнаружения для Home Assistant\n"
               "  --help            этот текст\n"
               "  --version         версия и лицензия\n"
               "\n"
               "Потерянный порт или шлюз, как и отсутствующий при запуске, пробуется снова через\n"
               "1, 2, 4 ... до 30 секунд, без конца. SIGTERM или SIGINT завершает работу за секунду;\n"
               "следующий запуск в той же папке дописывает те же файлы истории. Файлы истории\n"
               "никогда не удаляются.\n"
               "\n"
               "Код завершения: 0 после SIGTERM или SIGINT; 1, если папку истории получить нельзя;\n"
               "2 при ошибке в параметрах или непригодном grafimo.cfg; 3, если в этой папке уже\n"
               "работает окно или другой регистратор.\n";
    return "Usage: grafimo-logger [--dir DIR] [--state-dir DIR] [--mqtt URL [--mqtt-... ]]\n"
           "Polls the measuring devices listed in grafimo.cfg on the port or gateway stored there\n"
           "and appends every sample to the device's history file, without a window. Meant to\n"
           "run as a service (grafimo-logger@FOLDER.service); one line on stderr per event.\n"
           "\n"
           "  --dir DIR        the folder holding grafimo.cfg (default: the working folder);\n"
           "                   the file is only read\n"
           "  --state-dir DIR  where the history directory goes, in place of $XDG_STATE_HOME\n"
           "                   (default ~/.local/state): DIR/grafimo485/<key of the folder>/\n"
           "  --mqtt URL       also publish every sample to an MQTT broker, nothing lost while it\n"
           "                   is away: mqtt://[USER@]HOST[:PORT] or mqtts://[USER@]HOST[:PORT]\n"
           "  --mqtt-ca FILE   check an mqtts:// broker against the CA certificates in FILE\n"
           "                   (default: the system's certificate store)\n"
           "  --mqtt-password-file FILE\n"
           "                   the broker password, the first line of FILE; or set\n"
           "                   GRAFIMO_MQTT_PASSWORD (never on the command line)\n"
           "  --mqtt-topic PREFIX\n"
           "                   topic prefix (default grafimo485/<host name>)\n"
           "  --mqtt-ha        publish Home Assistant discovery configs too\n"
           "  --help           this text\n"
           "  --version        the version and the licence\n"
           "\n"
           "A lost port or gateway, or one missing at start, is tried again after 1, 2, 4 ... up\n"
           "to 30 seconds, for ever. SIGTERM or SIGINT ends the run within a second; a later start\n"
           "in the same folder appends to the same history files. History files are never deleted.\n"
           "\n"
           "Exit status: 0 after SIGTERM or SIGINT; 1 when the history directory cannot be had;\n"
           "2 for a bad option or an unusable grafimo.cfg; 3 when a window or another recorder\n"
           "already works in the folder.\n";
}

std::string versionText(const std::string& version, bool russian)
{
    return grafimo::versionText(version, russian, "grafimo-logger");
}

std::string usageHint(bool russian)
{
    return russian ? "см. «grafimo-logger --help»" : "see 'grafimo-logger --help'";
}

} // namespace grafimo::logger
