#include "tools/sim/battery.h"

#include <cmath>

namespace trelvane::sim {

std::optional<std::chrono::microseconds> BatteryAnswerDelay(double volts) {
    if (!(volts > kLowestVoltage && volts <= kHighestVoltage)) return std::nullopt;  // NaN too
    const double seconds = -std::log(1.0 - kLowestVoltage / volts);
    return std::chrono::microseconds(std::llround(seconds * 1e6));
}

}  // namespace trelvane::sim
