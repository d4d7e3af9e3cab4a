#pragma once
// The program's own command-line options, read before any window or display exists so
// that --help and --version work on a machine without one. Options meant for Qt
// (-platform, -style, ...) are passed over, not refused.

#include <string>
#include <vector>

namespace grafimo {

struct CommandLine {
    enum class Action { Run, Help, Version, Error };
    Action action = Action::Run;
    // --dir DIR: the working folder (grafimo.cfg and the history key); empty when not given.
    std::string dir;
    // --desktop: started from the desktop menu; work in the per-user data folder.
    bool desktop = false;
    // For Action::Error: one line, without the program name.
    std::string error;
};

// `russian`: the error message in Russian (see ui_language.h), else in English.
CommandLine parseCommandLine(const std::vector<std::string>& args, bool russian = false);

// The texts printed for --help and --version, in Russian or in English; `version` is the
// build's version number. The version text's first line is "grafimo485 <version>"; the
// lines after it name the licence.
std::string helpText(bool russian = false);
std::string versionText(const std::string& version, bool russian = false,
                        const std::string& program = "grafimo485");

} // namespace grafimo
