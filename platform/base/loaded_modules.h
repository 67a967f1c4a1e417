// The modules loaded in the process: the executable and the shared objects
// it has loaded.
#pragma once

#include "platform/base/types.h"

struct HINSTANCE__;
using HINSTANCE = HINSTANCE__*;
using HMODULE = HINSTANCE;

// The module whose file is named lpModuleName (a file name, or a full path),
// matched without regard to case as the platform matches module names; null
// asks for the executable. The handle is the address the module's image
// starts at. A module that is not loaded: null with ERROR_MOD_NOT_FOUND.
HMODULE GetModuleHandleW(LPCWSTR lpModuleName);
