#pragma once
// The recorder's command line. Each option is one row of a table (name, whether it takes
// a value, what it sets), so a part added later (a publisher, say) adds its rows and its
// lines of the help text and nothing else changes.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "grafimo/mqtt/mqtt_options.h"

namespace grafimo::logger {

struct LoggerOptions {
    enum class Action { Run, Help, Version, Error };
    Action action = Action::Run;
    // --dir DIR: the folder holding grafimo.cfg (and keying the history); empty: the
    // working folder.
    std::string dir;
    // --state-dir DIR: base of the history directory in place of $XDG_STATE_HOME.
    std::string stateDir;
    // --mqtt and its companions, as given; checked (and the password read) before polling.
    mqtt::MqttArgs mqtt;
    // For Action::Error: one line, without the program name.
    std::string error;
};

struct OptionRow {
    const char* name;      // "--dir"
    const char* valueName; // "DIR"; nullptr for a switch
    // Stores the value (empty for a switch); returns an error line when the value is bad.
    std::function<std::optional<std::string>(LoggerOptions&, const std::string& value)> apply;
};

// The rows the command line is read by.
const std::vector<OptionRow>& optionTable();

// Reads the arguments after the program name: "--name VALUE" or "--name=VALUE" for an
// option with a value, "--name" for a switch; --help and --version win over everything
// after them is checked. Unknown options, stray arguments, a missing or empty value and an
// option given twice are errors.
LoggerOptions parseLoggerOptions(const std::vector<std::string>& args);

// The texts of --help and --version, and the line that follows an error.
std::string helpText();
std::string versionText(const std::string& version);
std::string usageHint();

} // namespace grafimo::logger
