// The command line of trelvane-sim.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace trelvane::sim {

struct Options {
    bool help = false;
    bool version = false;
    bool json = false;     // one JSON object per line
    bool stay = false;     // keep serving after the last command
    std::string script;    // commands from this file instead of standard input
    std::string portName;  // "COM3", whether given as COM3, com3 or 3
    int port = 0;          // 3
};

struct ParsedOptions {
    std::optional<Options> options;
    std::string error;  // set when options is empty
    bool json = false;  // --json was given: a usage error is reported as JSON too
};

ParsedOptions ParseArguments(const std::vector<std::string>& arguments);

// "COMn" without regard to case, or n alone; n from 1 to 9999 without
// leading zeros.
std::optional<int> ParsePortName(std::string_view name);

std::string UsageLine();  // without a line end
std::string HelpText();

}  // namespace trelvane::sim
