// What ITarvik::Open reports in its status.
#pragma once

#include <cstdint>

namespace trelvane {

// Opened with S_OK; otherwise the step that failed, with S_FALSE and a
// SystemError event that says why.
enum class OpenStatus : std::int32_t {
    Opened = 0,
    PortNotOpened = 1,
    LineSettingsRefused = 2,
    EventMaskRefused = 3,
    LineSettingsUnread = 4,
    RtsNotSwitchedOff = 5,
    DtrNotSwitchedOff = 6,
};

}  // namespace trelvane
