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
    // Stores the value (empty for a switch); returns an error line (in Russian when the
    // last argument says so) when the value is bad.
    std::function<std::optional<std::string>(LoggerOptions&, const std::string& value, bool russian)> apply;
};

// The rows the command line is read by.
const std::vector<OptionRow>& optionTable();

// Reads the arguments after the program name: "--name VALUE" or "--name=VALUE" for an
// option with a value, "--name" for a switch; --help and --version win over everything
// after them is checked. Unknown options, stray arguments, a missing or empty value and an
// option given twice are errors.
// `russian`: the error lines in Russian (a terminal whose locale says so), else English.
LoggerOptions parseLoggerOptions(const std::vector<std::string>& args, bool russian = false);

// The texts of --help and --version, and the line that follows an error, in Russian or
// English. The event lines of a run stay English: one language for the journal.
std::string helpText(bool russian = false);
std::string versionText(const std::string& version, bool russian = false);
std::string usageHint(bool russian = false);

} // namespace grafimo::logger
