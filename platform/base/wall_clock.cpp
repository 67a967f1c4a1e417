#include "platform/base/wall_clock.h"

#include <chrono>

int _ftime64_s(__timeb64* timeptr) {
    if (timeptr == nullptr) return 22;
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
    timeptr->time = ms / 1000;
    timeptr->millitm = static_cast<std::uint16_t>(ms % 1000);
    timeptr->timezone = 0;
    timeptr->dstflag = 0;
    return 0;
}

DWORD GetTickCount() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}
