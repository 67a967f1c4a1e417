// The simulator's commands: one line each, from the prompt, a script or
// standard input. Parsing is pure; the simulator carries them out.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace trelvane::sim {

enum class CommandKind { Number, Unequal, Raw, Post, Rlsd, Battery, Unplug, Replug, Wait, Expect, Status, Help, Quit };

enum class PostId { Start, Finish };
enum class LineChange { Off, On, Toggle };

struct Command {
    CommandKind kind = CommandKind::Help;
    std::string text;                      // the line as written, trimmed
    int number = 0;                        // Number, Unequal: the (first set's) start number
    int second = 0;                        // Unequal: the second set's start number
    int bytesToSend = 4;                   // Number: fewer than 4 cuts the frame short
    std::vector<std::uint8_t> bytes;       // Raw
    PostId post = PostId::Start;           // Post, Battery
    LineChange change = LineChange::On;    // Post, Rlsd
    std::optional<double> volts;           // Battery: empty for a post that does not answer
    std::chrono::milliseconds duration{};  // Wait: how long; Expect: how long at most
    std::string event;                     // Expect: the event name
    std::string argument;                  // Expect: its argument in the event's own form, or empty for any
};

struct ParsedLine {
    bool blank = false;              // an empty line or a comment
    std::optional<Command> command;  // set when the line is a valid command
    std::string error;               // set when it is not
};

ParsedLine ParseCommand(std::string_view line);

// One line per command, for "help" and the usage text.
std::string CommandSummary();

// How long expect waits when the line does not say.
constexpr std::chrono::milliseconds kDefaultExpectTimeout{5000};

}  // namespace trelvane::sim
