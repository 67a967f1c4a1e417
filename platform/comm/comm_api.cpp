// The serial calls as the platform names them: resolve "COMn", look up the
// port behind a handle, and turn results into BOOL plus the last error.
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cctype>

#include "platform/comm/comm.h"
#include "platform/comm/comm_backends.h"
#include "platform/comm/port_names.h"
#include "platform/base/errno_map.h"
#include "platform/base/text_case.h"
#include "platform/base/utf8.h"

namespace platform {
namespace {

// "COMn" (optionally behind "\\.\"), or 0 for any other name.
unsigned PortNumber(std::string name) {
    if (name.rfind("\\\\.\\", 0) == 0) name.erase(0, 4);
    if (name.size() < 4 || name.size() > 7 || !EqualNoCase(name.substr(0, 3), "com")) return 0;
    unsigned n = 0;
    for (std::size_t i = 3; i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i]))) return 0;
        n = n * 10 + static_cast<unsigned>(name[i] - '0');
    }
    return n;
}

DWORD OpenPort(const std::string& name, std::shared_ptr<CommPort>* port) {
    const unsigned n = PortNumber(name);
    if (n == 0) return ERROR_FILE_NOT_FOUND;
    const std::string path = PortDevicePath(n);
    struct stat target {};
    if (::stat(path.c_str(), &target) != 0) return ErrnoToError(errno);  // missing, or a dangling link
    if (S_ISCHR(target.st_mode)) return OpenTtyPort(path, port);
    if (S_ISSOCK(target.st_mode)) return OpenVirtualLinePort(path, port);
    return ERROR_BAD_UNIT;  // a regular file or a folder is no serial device
}

std::shared_ptr<CommPort> Port(HANDLE handle) { return LookUpHandleAs<CommPort>(handle); }

BOOL Result(DWORD error) {
    if (error == ERROR_SUCCESS) return TRUE;
    SetLastError(error);
    return FALSE;
}

}  // namespace
}  // namespace platform

using platform::Result;

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD, LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE) {
    if (lpFileName == nullptr || dwCreationDisposition != OPEN_EXISTING ||
        (dwDesiredAccess & (GENERIC_READ | GENERIC_WRITE)) == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::shared_ptr<platform::CommPort> port;
    DWORD error = platform::OpenPort(platform::ToUtf8(lpFileName), &port);
    if (error == ERROR_SUCCESS) error = port->Start((dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0);
    if (error != ERROR_SUCCESS) {
        if (port) port->OnLastHandleClosed();
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    return platform::InsertHandle(std::move(port));
}

BOOL SetupComm(HANDLE hFile, DWORD, DWORD) {
    // The line discipline's buffers have a fixed size; the sizes are only a
    // recommendation, as on the platform.
    if (!platform::Port(hFile)) return Result(ERROR_INVALID_HANDLE);
    return TRUE;
}

#define PORT_OR_FAIL(handle)            \
    auto port = platform::Port(handle); \
    if (!port) return Result(ERROR_INVALID_HANDLE)

BOOL GetCommState(HANDLE hFile, LPDCB lpDCB) {
    PORT_OR_FAIL(hFile);
    if (lpDCB == nullptr) return Result(ERROR_INVALID_PARAMETER);
    return Result(port->GetState(lpDCB));
}

BOOL SetCommState(HANDLE hFile, LPDCB lpDCB) {
    PORT_OR_FAIL(hFile);
    if (lpDCB == nullptr) return Result(ERROR_INVALID_PARAMETER);
    return Result(port->SetState(*lpDCB));
}

BOOL GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    PORT_OR_FAIL(hFile);
    if (lpCommTimeouts == nullptr) return Result(ERROR_INVALID_PARAMETER);
    return Result(port->GetTimeouts(lpCommTimeouts));
}

BOOL SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    PORT_OR_FAIL(hFile);
    if (lpCommTimeouts == nullptr) return Result(ERROR_INVALID_PARAMETER);
    return Result(port->SetTimeouts(*lpCommTimeouts));
}

BOOL SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
    PORT_OR_FAIL(hFile);
    return Result(port->SetMask(dwEvtMask));
}

BOOL GetCommMask(HANDLE hFile, LPDWORD lpEvtMask) {
    PORT_OR_FAIL(hFile);
    if (lpEvtMask == nullptr) return Result(ERROR_INVALID_PARAMETER);
    return Result(port->GetMask(lpEvtMask));
}

BOOL WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped) {
    PORT_OR_FAIL(hFile);
    return Result(port->WaitEvent(lpEvtMask, lpOverlapped));
}

BOOL ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
    PORT_OR_FAIL(hFile);
    return Result(port->ClearError(lpErrors, lpStat));
}

BOOL GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat) {
    PORT_OR_FAIL(hFile);
    if (lpModemStat == nullptr) return Result(ERROR_INVALID_PARAMETER);
    return Result(port->ModemStatus(lpModemStat));
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
              LPOVERLAPPED lpOverlapped) {
    PORT_OR_FAIL(hFile);
    return Result(port->Read(static_cast<BYTE*>(lpBuffer), nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped));
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
               LPOVERLAPPED lpOverlapped) {
    PORT_OR_FAIL(hFile);
    return Result(
        port->Write(static_cast<const BYTE*>(lpBuffer), nNumberOfBytesToWrite, lpNumberOfBytesWritten, lpOverlapped));
}

BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred, BOOL bWait) {
    if (lpOverlapped == nullptr) return Result(ERROR_INVALID_PARAMETER);
    std::atomic_ref<ULONG_PTR> status(lpOverlapped->Internal);
    if (status.load(std::memory_order_acquire) == STATUS_PENDING) {
        PORT_OR_FAIL(hFile);
        if (bWait)
            port->WaitForCompletion(lpOverlapped);
        else
            port->TakeIn();  // what the device sent may complete it now
        if (status.load(std::memory_order_acquire) == STATUS_PENDING) return Result(ERROR_IO_INCOMPLETE);
    }
    const ULONG_PTR final = status.load(std::memory_order_acquire);
    if (lpNumberOfBytesTransferred) *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
    return Result(platform::StatusToError(final));
}

BOOL CancelIo(HANDLE hFile) {
    PORT_OR_FAIL(hFile);
    return Result(port->Cancel(nullptr));
}

BOOL CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped) {
    PORT_OR_FAIL(hFile);
    if (lpOverlapped == nullptr) return Result(ERROR_INVALID_PARAMETER);  // cancelling every thread's I/O: not needed
    return Result(port->Cancel(lpOverlapped));
}
