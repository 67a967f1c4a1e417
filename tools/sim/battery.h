// The battery answer: the driver turns the time t (seconds) from raising RTS
// to the RLSD change into V = 2.5 / (1 - e^-t), so a post with a battery of
// V volts changes RLSD after t = -ln(1 - 2.5 / V).
#pragma once

#include <chrono>
#include <optional>

namespace trelvane::sim {

// A post's battery until a command says otherwise.
constexpr double kDefaultBatteryVolts = 9.0;

// The formula's limit: no finite time gives 2.5 V or less.
constexpr double kLowestVoltage = 2.5;
// Above this the answer would come within 25 ms, shorter than the driver
// can tell apart with its millisecond clock.
constexpr double kHighestVoltage = 100.0;

// The delay for a voltage, or empty outside (kLowestVoltage, kHighestVoltage].
std::optional<std::chrono::microseconds> BatteryAnswerDelay(double volts);

}  // namespace trelvane::sim
