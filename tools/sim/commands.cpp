#include "tools/sim/commands.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "protocol/frame_coding.h"
#include "tools/sim/battery.h"
#include "tools/common/record.h"

namespace trelvane::sim {
namespace {

constexpr std::chrono::milliseconds kLongestWait{24 * 3600 * 1000};

struct Args {
    std::vector<std::string_view> words;  // after the command name
    std::string_view rest;                // the text after the command name, trimmed
};

using Parser = std::string (*)(const Args&, Command&);

struct CommandEntry {
    std::string_view name;
    std::string_view alias;
    CommandKind kind;
    std::string_view usage;
    std::string_view summary;
    Parser parse;
};

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

std::vector<std::string_view> Words(std::string_view s) {
    std::vector<std::string_view> words;
    while (true) {
        s = Trim(s);
        if (s.empty()) return words;
        const auto end = std::find_if(s.begin(), s.end(), IsBlank);
        const auto length = static_cast<std::size_t>(end - s.begin());
        words.push_back(s.substr(0, length));
        s.remove_prefix(length);
    }
}

std::string Quoted(std::string_view s) { return "'" + std::string(s) + "'"; }

std::optional<int> ParseInt(std::string_view s, int lowest, int highest) {
    int value = 0;
    const auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (s.empty() || error != std::errc() || end != s.data() + s.size() || value < lowest || value > highest)
        return std::nullopt;
    return value;
}

std::optional<std::uint8_t> ParseHexByte(std::string_view s) {
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s.remove_prefix(2);
    unsigned value = 0;
    const auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), value, 16);
    if (s.empty() || s.size() > 2 || error != std::errc() || end != s.data() + s.size()) return std::nullopt;
    return static_cast<std::uint8_t>(value);
}

// "250", "250ms", "2s" or "1.5s".
std::optional<std::chrono::milliseconds> ParseDuration(std::string_view s) {
    double scale = 1.0;
    if (s.size() > 2 && s.substr(s.size() - 2) == "ms") {
        s.remove_suffix(2);
    } else if (s.size() > 1 && s.back() == 's') {
        s.remove_suffix(1);
        scale = 1000.0;
    }
    double value = 0;
    const auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (s.empty() || error != std::errc() || end != s.data() + s.size() || !(value >= 0)) return std::nullopt;
    const double ms = std::round(value * scale);
    if (ms > static_cast<double>(kLongestWait.count())) return std::nullopt;
    return std::chrono::milliseconds(static_cast<long long>(ms));
}

std::optional<LineChange> ParseLineChange(std::string_view s) {
    if (s == "on") return LineChange::On;
    if (s == "off") return LineChange::Off;
    if (s == "toggle") return LineChange::Toggle;
    return std::nullopt;
}

std::optional<PostId> ParsePost(std::string_view s) {
    if (s == "start") return PostId::Start;
    if (s == "finish") return PostId::Finish;
    return std::nullopt;
}

std::string NoArguments(const Args& args, Command&) { return args.words.empty() ? "" : "takes no arguments"; }

std::string SendableNumber(std::string_view word, int* number) {
    const auto value = ParseInt(word, 0, protocol::kLargestStartNumber);
    if (!value) return "start number " + Quoted(word) + " is not a number from 0 to 1665";
    if (!protocol::EncodeStartNumberSet(*value))
        return "start number " + std::to_string(*value) +
               " cannot be sent: every frame for it needs a 0x00 byte, which the driver drops";
    *number = *value;
    return "";
}

std::string ParseNumber(const Args& args, Command& command) {
    const auto& w = args.words;
    if (w.size() != 1 && !(w.size() == 3 && w[1] == "cut"))
        return "expects a start number, and optionally cut and 1 to 3";
    if (w.size() == 3) {
        const auto cut = ParseInt(w[2], 1, 3);
        if (!cut) return "cut expects 1, 2 or 3 bytes, not " + Quoted(w[2]);
        command.bytesToSend = *cut;
    }
    return SendableNumber(w[0], &command.number);
}

std::string ParseUnequal(const Args& args, Command& command) {
    if (args.words.size() != 2) return "expects two start numbers, one for each set";
    if (auto error = SendableNumber(args.words[0], &command.number); !error.empty()) return error;
    if (auto error = SendableNumber(args.words[1], &command.second); !error.empty()) return error;
    if (command.number == command.second) return "expects two different start numbers";
    return "";
}

std::string ParseRaw(const Args& args, Command& command) {
    if (args.words.empty()) return "expects one or more bytes in hexadecimal (3f or 0x3f)";
    for (const auto word : args.words) {
        const auto byte = ParseHexByte(word);
        if (!byte) return Quoted(word) + " is not a byte in hexadecimal (3f or 0x3f)";
        command.bytes.push_back(*byte);
    }
    return "";
}

std::string ParseLine(const Args& args, Command& command) {
    const auto change = args.words.size() == 1 ? ParseLineChange(args.words[0]) : std::nullopt;
    if (!change) return "expects on, off or toggle";
    command.change = *change;
    return "";
}

std::string ParseStartPost(const Args& args, Command& command) {
    command.post = PostId::Start;
    return ParseLine(args, command);
}

std::string ParseFinishPost(const Args& args, Command& command) {
    command.post = PostId::Finish;
    return ParseLine(args, command);
}

std::string ParseBattery(const Args& args, Command& command) {
    const auto post = args.words.size() == 2 ? ParsePost(args.words[0]) : std::nullopt;
    if (!post) return "expects start or finish, then a voltage or none";
    command.post = *post;
    std::string_view volts = args.words[1];
    if (volts == "none") return "";
    if (!volts.empty() && (volts.back() == 'V' || volts.back() == 'v')) volts.remove_suffix(1);
    double value = 0;
    const auto [end, error] = std::from_chars(volts.data(), volts.data() + volts.size(), value);
    if (volts.empty() || error != std::errc() || end != volts.data() + volts.size() || !BatteryAnswerDelay(value)) {
        char range[128];
        std::snprintf(range, sizeof range, "a voltage above %g and at most %g, or none", kLowestVoltage,
                      kHighestVoltage);
        return Quoted(args.words[1]) + " is not " + range;
    }
    command.volts = value;
    return "";
}

std::string ParseWait(const Args& args, Command& command) {
    const auto duration = args.words.size() == 1 ? ParseDuration(args.words[0]) : std::nullopt;
    if (!duration) return "expects a duration: 250, 250ms, 2s or 1.5s (at most a day)";
    command.duration = *duration;
    return "";
}

// What expect can wait for, and the form of its argument.
enum class ArgumentKind { None, FrameIndex, Number, Byte, Text, OnOff, Baud, Post };

struct ExpectEntry {
    std::string_view event;
    ArgumentKind argument;
    std::string_view usage;
    std::string_view meaning;
};

constexpr ExpectEntry kExpectable[] = {
    {"connect", ArgumentKind::None, "connect", "the driver opened the port"},
    {"disconnect", ArgumentKind::None, "disconnect", "the port was closed or the cable pulled"},
    {"busy", ArgumentKind::None, "busy", "a second opener was turned away"},
    {"reset", ArgumentKind::None, "reset", "the reset byte 0x00"},
    {"ack", ArgumentKind::FrameIndex, "ack [1|2|3]", "the acknowledge 0xf0 of a frame byte"},
    {"final-ack", ArgumentKind::Number, "final-ack [N]", "the acknowledge 0xf0 of a whole frame (of number N)"},
    {"stray-ack", ArgumentKind::None, "stray-ack", "an acknowledge 0xf0 that no frame byte waits for"},
    {"byte", ArgumentKind::Byte, "byte [HEX]", "any other byte (raw text)"},
    {"text", ArgumentKind::Text, "text [TEXT]", "a line of raw text, ended by a line feed"},
    {"dtr", ArgumentKind::OnOff, "dtr [on|off]", "DTR changed (off: start post, on: finish post)"},
    {"rts", ArgumentKind::OnOff, "rts [on|off]", "RTS changed (on starts a battery test)"},
    {"break", ArgumentKind::OnOff, "break [on|off]", "a break began or ended"},
    {"settings", ArgumentKind::Baud, "settings [BAUD]", "new line settings"},
    {"battery-answer", ArgumentKind::Post, "battery-answer [start|finish]", "this simulator answered a battery test"},
};

std::string ExpectableNames() {
    std::string names;
    for (const auto& entry : kExpectable) names += (names.empty() ? "" : ", ") + std::string(entry.event);
    return names;
}

// The argument in the form the event carries it (see tools::Record::key).
std::string NormalizeArgument(ArgumentKind kind, std::string_view text, std::string* argument) {
    switch (kind) {
    case ArgumentKind::None: return "takes no argument";
    case ArgumentKind::Text: *argument = std::string(text); return "";
    case ArgumentKind::FrameIndex:
        if (!ParseInt(text, 1, 3)) return "expects the frame byte 1, 2 or 3";
        break;
    case ArgumentKind::Number:
        if (!ParseInt(text, 0, protocol::kLargestStartNumber)) return "expects a start number from 0 to 1665";
        *argument = std::to_string(*ParseInt(text, 0, protocol::kLargestStartNumber));
        return "";
    case ArgumentKind::Byte: {
        const auto byte = ParseHexByte(text);
        if (!byte) return "expects a byte in hexadecimal (3f or 0x3f)";
        *argument = tools::HexByte(*byte);
        return "";
    }
    case ArgumentKind::OnOff:
        if (text != "on" && text != "off") return "expects on or off";
        break;
    case ArgumentKind::Baud:
        if (!ParseInt(text, 1, 0x7FFFFFFF)) return "expects a baud rate";
        break;
    case ArgumentKind::Post:
        if (!ParsePost(text)) return "expects start or finish";
        break;
    }
    *argument = std::string(text);
    return "";
}

std::string ParseExpect(const Args& args, Command& command) {
    auto words = args.words;
    std::string_view rest = args.rest;
    command.duration = kDefaultExpectTimeout;
    if (!words.empty() && words.back() == "within") return "within expects a duration: 250, 250ms, 2s or 1.5s";
    if (words.size() >= 2 && words[words.size() - 2] == "within") {
        const auto duration = ParseDuration(words.back());
        if (!duration) return "within expects a duration: 250, 250ms, 2s or 1.5s";
        command.duration = *duration;
        rest = Trim(rest.substr(0, static_cast<std::size_t>(words[words.size() - 2].data() - rest.data())));
        words.resize(words.size() - 2);
    }
    if (words.empty()) return "expects one of " + ExpectableNames();
    const auto entry = std::find_if(std::begin(kExpectable), std::end(kExpectable),
                                    [&](const ExpectEntry& s) { return s.event == words[0]; });
    if (entry == std::end(kExpectable)) return Quoted(words[0]) + " is not one of " + ExpectableNames();
    command.event = std::string(entry->event);
    const std::string_view argument = Trim(rest.substr(words[0].size()));
    if (argument.empty()) return "";
    if (entry->argument != ArgumentKind::Text && words.size() > 2) return command.event + " takes at most one argument";
    const std::string error = NormalizeArgument(entry->argument, argument, &command.argument);
    return error.empty() ? "" : command.event + " " + error;
}

constexpr CommandEntry kCommands[] = {
    {"number", "", CommandKind::Number, "number N [cut 1|2|3]",
     "send the frame of start number N, each byte after the acknowledge of the one before; with cut, only the first "
     "bytes, then silence",
     ParseNumber},
    {"unequal", "", CommandKind::Unequal, "unequal A B", "send a frame whose first set carries A and second set B",
     ParseUnequal},
    {"raw", "", CommandKind::Raw, "raw HEX...", "send bytes as they are, at once (raw 3f 7b)", ParseRaw},
    {"start", "dsr", CommandKind::Post, "start on|off|toggle", "put the start post on or off line (DSR)",
     ParseStartPost},
    {"finish", "cts", CommandKind::Post, "finish on|off|toggle", "put the finish post on or off line (CTS)",
     ParseFinishPost},
    {"rlsd", "", CommandKind::Rlsd, "rlsd on|off|toggle", "change RLSD by hand", ParseLine},
    {"battery", "", CommandKind::Battery, "battery start|finish VOLTS|none",
     "answer battery tests of that post as a battery of VOLTS, or not at all", ParseBattery},
    {"unplug", "", CommandKind::Unplug, "unplug", "pull the cable: the driver's port fails, opens fail", NoArguments},
    {"replug", "", CommandKind::Replug, "replug", "plug the cable in again", NoArguments},
    {"wait", "sleep", CommandKind::Wait, "wait DURATION", "do nothing for a while (250, 250ms, 2s)", ParseWait},
    {"expect", "", CommandKind::Expect, "expect EVENT [ARG] [within DURATION]",
     "wait (default 5s) for the next such event that no wait has matched yet; the events are below", ParseExpect},
    {"status", "", CommandKind::Status, "status", "show the line, the posts and the batteries", NoArguments},
    {"help", "", CommandKind::Help, "help", "list the commands", NoArguments},
    {"quit", "exit", CommandKind::Quit, "quit", "stop serving the port", NoArguments},
};

}  // namespace

ParsedLine ParseCommand(std::string_view line) {
    ParsedLine parsed;
    const std::string_view text = Trim(line);
    if (text.empty() || text.front() == '#') {
        parsed.blank = true;
        return parsed;
    }
    const auto words = Words(text);
    const auto entry = std::find_if(std::begin(kCommands), std::end(kCommands), [&](const CommandEntry& s) {
        return s.name == words[0] || (!s.alias.empty() && s.alias == words[0]);
    });
    if (entry == std::end(kCommands)) {
        parsed.error = "unknown command " + Quoted(words[0]) + " (help lists the commands)";
        return parsed;
    }
    Command command;
    command.kind = entry->kind;
    command.text = std::string(text);
    const Args args{{words.begin() + 1, words.end()}, Trim(text.substr(words[0].size()))};
    if (std::string error = entry->parse(args, command); !error.empty()) {
        parsed.error = std::string(entry->name) + ": " + error + " (usage: " + std::string(entry->usage) + ")";
        return parsed;
    }
    parsed.command = std::move(command);
    return parsed;
}

namespace {

// "  usage   summary", the summary wrapped to 79 columns beside the usage.
std::string HelpLine(std::string_view usage, std::string_view summary) {
    constexpr std::size_t kIndent = 34;
    constexpr std::size_t kWidth = 79;
    std::string text = "  " + std::string(usage);
    if (text.size() + 1 > kIndent) text += "\n" + std::string(kIndent, ' ');
    text.append(kIndent - std::min(text.size() - text.rfind('\n') - 1, kIndent), ' ');
    std::size_t column = kIndent;
    for (const auto word : Words(summary)) {
        if (column > kIndent && column + 1 + word.size() > kWidth) {
            text += "\n" + std::string(kIndent, ' ');
            column = kIndent;
        }
        if (column > kIndent) text += ' ', ++column;
        text += word;
        column += word.size();
    }
    return text + "\n";
}

}  // namespace

std::string CommandSummary() {
    std::string summary;
    for (const auto& entry : kCommands) summary += HelpLine(entry.usage, entry.summary);
    summary += "\nEvents for expect, all from the driver but the last:\n";
    for (const auto& entry : kExpectable) summary += HelpLine(entry.usage, entry.meaning);
    return summary;
}

}  // namespace trelvane::sim
