// The one mapping from POSIX errno values to the platform's error numbers,
// applied right at each failing system call.
#pragma once

#include "platform/base/types.h"

namespace platform {
DWORD ErrnoToError(int error);
}
