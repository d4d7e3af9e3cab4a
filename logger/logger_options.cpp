#include "logger_options.h"

#include <set>

namespace grafimo::logger {

namespace {

std::optional<std::string> folderValue(std::string& into, const char* option, const std::string& value)
{
    if (value.empty())
        return std::string(option) + " needs a folder";
    into = value;
    return std::nullopt;
}

} // namespace

const std::vector<OptionRow>& optionTable()
{
    static const std::vector<OptionRow> table = [] {
    std::vector<OptionRow> rows{
        {"--dir", "DIR",
         [](LoggerOptions& o, const std::string& v) { return folderValue(o.dir, "--dir", v); }},
        {"--state-dir", "DIR",
         [](LoggerOptions& o, const std::string& v) { return folderValue(o.stateDir, "--state-dir", v); }},
        {"--help", nullptr,
         [](LoggerOptions& o, const std::string&) -> std::optional<std::string> {
             o.action = LoggerOptions::Action::Help;
             return std::nullopt;
         }},
        {"--version", nullptr,
         [](LoggerOptions& o, const std::string&) -> std::optional<std::string> {
             if (o.action != LoggerOptions::Action::Help)
                 o.action = LoggerOptions::Action::Version;
             return std::nullopt;
         }},
    };
    // The publisher's options are its own table's rows.
    for (const mqtt::MqttOptionSpec& spec : mqtt::mqttOptionTable())
        rows.push_back({spec.name.data(), spec.takesValue ? spec.valueName.data() : nullptr,
                        [name = spec.name](LoggerOptions& o, const std::string& v) -> std::optional<std::string> {
                            mqtt::takeMqttOption(o.mqtt, name, v);
                            return std::nullopt;
                        }});
    return rows;
    }();
    return table;
}

LoggerOptions parseLoggerOptions(const std::vector<std::string>& args)
{
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
            return fail("unexpected argument '" + arg + "'");
        const auto eq = arg.find('=');
        const std::string name = arg.substr(0, eq);
        const OptionRow* row = nullptr;
        for (const OptionRow& r : optionTable())
            if (name == r.name)
                row = &r;
        if (!row)
            return fail("unknown option '" + name + "'");
        if (!seen.insert(name).second)
            return fail(name + " given twice");
        std::string value;
        if (row->valueName) {
            if (eq != std::string::npos)
                value = arg.substr(eq + 1);
            else if (i + 1 < args.size())
                value = args[++i];
            else
                return fail(name + " needs " + row->valueName);
        } else if (eq != std::string::npos) {
            return fail(name + " takes no value");
        }
        if (auto error = row->apply(options, value))
            return fail(std::move(*error));
    }
    return options;
}

std::string helpText()
{
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

std::string versionText(const std::string& version)
{
    return "grafimo-logger " + version + "\n"
           "Copyright (C) 2026 Grafimo485 developers\n"
           "License GPL-3.0-or-later: GNU GPL version 3 or later <https://www.gnu.org/licenses/gpl-3.0.html>.\n"
           "This is free software: you are free to change and redistribute it.\n"
           "There is NO WARRANTY, to the extent permitted by law.\n";
}

std::string usageHint()
{
    return "see 'grafimo-logger --help'";
}

} // namespace grafimo::logger
