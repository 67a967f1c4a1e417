// How the simulator words the posts, voltages, its own records and the results
// of commands.
#pragma once

#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/comm/vline_protocol.h"
#include "tools/sim/commands.h"
#include "tools/sim/output.h"
#include "tools/common/record.h"

namespace trelvane::sim {

inline const char* PostKey(PostId post) { return post == PostId::Start ? "start" : "finish"; }
inline std::string PostName(PostId post) { return std::string(PostKey(post)) + " post"; }
// The line that tells whether the post is on line.
inline std::uint8_t PostLine(PostId post) { return post == PostId::Start ? vline::kDsr : vline::kCts; }

inline std::string Volts(double volts) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f V", volts);
    return text;
}

inline long long Milliseconds(std::chrono::microseconds delay) {
    return std::llround(std::chrono::duration<double, std::milli>(delay).count());
}

inline tools::Record DeviceRecord(std::string event, std::string text, std::vector<tools::Field> fields = {},
                                  std::string key = {}) {
    return tools::Record{std::chrono::system_clock::now(),
                         "device",
                         std::move(event),
                         std::move(key),
                         std::move(text),
                         std::move(fields)};
}

inline Outcome Failure(std::string error) {
    Outcome outcome;
    outcome.ok = false;
    outcome.error = std::move(error);
    return outcome;
}

inline Outcome Said(std::string text, std::vector<tools::Field> fields = {}) {
    Outcome outcome;
    outcome.text = std::move(text);
    outcome.fields = std::move(fields);
    return outcome;
}

}  // namespace trelvane::sim
