// The command line of trelvanectl.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace trelvane::ctl {

enum class Verb { Status, Open, Close, Reset, Confirm, Inject, Write, Battery, Get, Set, Watch };

struct Options {
    bool help = false;
    bool version = false;
    bool json = false;
    Verb verb = Verb::Status;
    std::string verbName;
    std::vector<std::string> operands;               // after the verb, options taken out
    int port = 0;                                    // open N, watch --open N
    std::optional<long> number;                      // confirm [N], inject N
    bool autoConfirm = false;                        // watch --confirm
    bool force = false;                              // open, watch --open: take the port from another client
    bool trace = false;                              // watch --trace: InputReceived too
    std::vector<std::string> events;                 // watch --events: only these (as the contract names them)
    std::optional<std::chrono::milliseconds> limit;  // watch --for, battery --timeout
};

struct ParsedOptions {
    std::optional<Options> options;
    std::string error;  // set when options is empty
    bool json = false;  // --json was given: a usage error is reported as JSON too
};

ParsedOptions ParseArguments(const std::vector<std::string>& arguments);

// "3" or "COM3" (any case), 1 to 9999.
std::optional<int> ParsePort(std::string_view text);
// "250", "250ms", "2s", "1.5s"; at most a day.
std::optional<std::chrono::milliseconds> ParseDuration(std::string_view text);
std::optional<long> ParseLong(std::string_view text);
// The names of the events as the contract has them, in its order.
const std::vector<std::string>& EventNames();

std::string UsageLine();
std::string HelpText();

}  // namespace trelvane::ctl
