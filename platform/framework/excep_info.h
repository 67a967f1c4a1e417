// Clearing the exception information of an automation call, the same on
// both systems.
#pragma once

#ifdef _WIN32
#include "platform/windows_system.h"
#else
#include "platform/objects/oleauto.h"
#endif

namespace platform {

// Frees the strings an EXCEPINFO holds and zeroes it, ready for another call.
inline void ClearExcepInfo(EXCEPINFO* info) {
    SysFreeString(info->bstrSource);
    SysFreeString(info->bstrDescription);
    SysFreeString(info->bstrHelpFile);
    *info = EXCEPINFO{};
}

}  // namespace platform
