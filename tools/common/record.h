// One line of a tool's output (trelvane-sim, trelvanectl): something that
// happened, or the result of a command; shown as text with a time stamp or
// as one JSON object.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace trelvane::tools {

struct Null {};  // JSON's null
using Value = std::variant<std::string, long long, double, bool, std::vector<int>, Null>;

struct Field {
    std::string name;
    Value value;
};

struct Record {
    std::chrono::system_clock::time_point time;
    std::string source;         // who: "driver", "device", "event", "reply", ...
    std::string event;          // its name in JSON and for expect
    std::string key;            // what an expect argument is compared with (see commands.cpp)
    std::string text;           // the line for people
    std::vector<Field> fields;  // further JSON members
};

// "10:15:02.118  driver   acknowledge of byte 1 (0xf0)", local time.
std::string FormatText(const Record& record);
// The version of the JSON lines' shape: raised when a member changes its
// meaning or goes; new members do not raise it.
constexpr int kJsonSchema = 1;
// {"schema":1,"time":"2024-05-01T08:15:02.118Z","source":"driver","event":"ack","message":"...",...}
std::string FormatJson(const Record& record);

// A command line that did not parse, as a tool shows it with --json:
// {"source":"error","event":"usage","message":REASON,"usage":USAGE}.
Record UsageErrorRecord(const std::string& reason, const std::string& usage);

// Bytes for a line of text: valid UTF-8 stays, every other byte below 0x20,
// 0x7f or outside UTF-8 becomes \xNN.
std::string Printable(const std::string& bytes);

std::string HexByte(std::uint8_t byte);  // "0x3f"
inline const char* OnOff(bool on) { return on ? "on" : "off"; }

}  // namespace trelvane::tools
