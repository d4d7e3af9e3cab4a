#pragma once
// Command line of the grafimo-sim tool, parsed into a server configuration.

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "grafimo/sim/server.h"

namespace grafimo::sim {

struct ToolOptions {
    ServerConfig server;  // trace is left empty; the tool sets it for --verbose
    bool verbose = false;
    bool help = false;
};

struct ParseResult {
    std::optional<ToolOptions> options;  // empty on error
    std::string error;                   // one line, without the program name
};

// `args` are the arguments after the program name; `russian`: the error in Russian.
ParseResult parseToolOptions(std::span<const std::string_view> args, bool russian = false);

// The --help text, in Russian or in English.
std::string toolUsage(bool russian = false);

}  // namespace grafimo::sim
