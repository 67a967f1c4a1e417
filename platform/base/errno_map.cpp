#include "platform/base/errno_map.h"

#include <cerrno>

namespace platform {

DWORD ErrnoToError(int error) {
    switch (error) {
    case 0: return ERROR_SUCCESS;
    case ENOENT:
    case ENXIO:  // a tty name with no hardware behind it
    case ENODEV:
    case ECONNREFUSED:  // a virtual line whose device end is not listening
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EBUSY:
    case EWOULDBLOCK:  // flock held by another open
        return ERROR_ACCESS_DENIED;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EROFS: return ERROR_WRITE_PROTECT;
    case EINVAL:
    case ERANGE: return ERROR_INVALID_PARAMETER;
    case ENOTTY:
    case ENOSYS:
    case EOPNOTSUPP: return ERROR_INVALID_FUNCTION;
    case EIO:  // a USB adapter that was unplugged
    case EPIPE:
    case ECONNRESET:
    case ENOTCONN:
    case ESHUTDOWN: return ERROR_DEVICE_NOT_CONNECTED;
    case ETIMEDOUT: return ERROR_SEM_TIMEOUT;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    default: return ERROR_GEN_FAILURE;
    }
}

}  // namespace platform
