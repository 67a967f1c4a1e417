#include "platform/base/error_text.h"

#include <cstdlib>
#include <cstring>

namespace {

struct MessageEntry {
    DWORD id;
    const char* text;  // lines separated by "\r\n"; the final "\r\n" is added on output
};

// The platform's English message table for the ids this system produces.
// HRESULTs of FACILITY_WIN32 are looked up by their Win32 code instead.
constexpr MessageEntry kMessages[] = {
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {4, "The system cannot open the file."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {13, "The data is invalid."},
    {14, "Not enough memory resources are available to complete this operation."},
    {19, "The media is write protected."},
    {20, "The system cannot find the device specified."},
    {21, "The device is not ready."},
    {22, "The device does not recognize the command."},
    {23, "Data error (cyclic redundancy check)."},
    {31, "A device attached to the system is not functioning."},
    {32, "The process cannot access the file because it is being used by another process."},
    {50, "The request is not supported."},
    {55, "The specified network resource or device is no longer available."},
    {87, "The parameter is incorrect."},
    {112, "There is not enough space on the disk."},
    {120, "This function is not supported on this system."},
    {121, "The semaphore timeout period has expired."},
    {122, "The data area passed to a system call is too small."},
    {123, "The filename, directory name, or volume label syntax is incorrect."},
    {126, "The specified module could not be found."},
    {170, "The requested resource is in use."},
    {234, "More data is available."},
    {258, "The wait operation timed out."},
    {259, "No more data is available."},
    {317, "The system cannot find message text for message number 0x%1 in the message file for %2."},
    {995, "The I/O operation has been aborted because of either a thread exit or an application request."},
    {996, "Overlapped I/O event is not in a signaled state."},
    {997, "Overlapped I/O operation is in progress."},
    {1009, "The configuration registry database is corrupt."},
    {1010, "The configuration registry key is invalid."},
    {1011, "The configuration registry key could not be opened."},
    {1012, "The configuration registry key could not be read."},
    {1013, "The configuration registry key could not be written."},
    {1018, "Illegal operation attempted on a registry key that has been marked for deletion."},
    {1117, "The request could not be performed because of an I/O device error."},
    {1118, "No serial device was successfully initialized. The serial driver will unload."},
    {1120,
     "A serial I/O operation was completed by another write to the serial port.\r\n"
     "(The IOCTL_SERIAL_XOFF_COUNTER reached zero.)"},
    {1121,
     "A serial I/O operation completed because the timeout period expired.\r\n"
     "(The IOCTL_SERIAL_XOFF_COUNTER did not reach zero.)"},
    {1167, "The device is not connected."},
    {1168, "Element not found."},
    {1247,
     "An attempt was made to perform an initialization operation when initialization has already "
     "been completed."},
    {1460, "This operation returned because the timeout period expired."},
    {1784, "The supplied user buffer is not valid for the requested operation."},
    {1812, "The specified image file did not contain a resource section."},
    {1813, "The specified resource type cannot be found in the image file."},
    {1814, "The specified resource name cannot be found in the image file."},
    {0x80004001, "Not implemented"},
    {0x80004002, "No such interface supported"},
    {0x80004003, "Invalid pointer"},
    {0x80004004, "Operation aborted"},
    {0x80004005, "Unspecified error"},
    {0x8000FFFF, "Catastrophic failure"},
    {0x80040110, "Class does not support aggregation (or class object is remote)"},
    {0x80040111, "ClassFactory cannot supply requested class"},
    {0x80040150, "Could not read key from registry"},
    {0x80040154, "Class not registered"},
    {0x80080005, "Server execution failed"},
    {0x800401F0, "CoInitialize has not been called."},
    {0x800401F1, "CoInitialize has already been called."},
    {0x800401F3, "Invalid class string"},
    {0x800401FB, "Object is not registered"},
    {0x800401FC, "Object is already registered"},
    {0x80080008, "Object server is stopping when OLE service contacts it"},
    {0x80010106, "Cannot change thread mode after it is set."},
    {0x8001010E, "The application called an interface that was marshalled for a different thread."},
    {0x80010105, "The server threw an exception."},
    {0x80010108, "The object invoked has disconnected from its clients."},
    {0x8001011F, "This operation returned because the timeout period expired."},
    {0x80010001, "Call was rejected by callee."},
    {0x800401FB, "Object is not registered"},
    {0x800401FC, "Object is already registered"},
    {0x80080008, "Object server is stopping when OLE service contacts it"},
    {0x80010007,
     "The callee (server [not server application]) is not available and disappeared; all "
     "connections are invalid. The call may have executed."},
    {0x80020001, "Unknown interface."},
    {0x80020003, "Member not found."},
    {0x80020004, "Parameter not found."},
    {0x80020005, "Type mismatch."},
    {0x80020006, "Unknown name."},
    {0x80020007, "No named arguments."},
    {0x80020008, "Bad variable type."},
    {0x80020009, "Exception occurred."},
    {0x8002000A, "Out of present range."},
    {0x8002000B, "Invalid index."},
    {0x8002000E, "Invalid number of parameters."},
    {0x8002000F, "Parameter not optional."},
    {0x8002801D, "Library not registered."},
    {0x8002802B, "Element not found."},
    {0x80029C4A, "Error loading type library/DLL."},
};

const char* LookUp(DWORD id) {
    if ((id & 0xFFFF0000) == 0x80070000) id &= 0xFFFF;  // FACILITY_WIN32: the Win32 code's text
    for (const auto& e : kMessages)
        if (e.id == id) return e.text;
    return nullptr;
}

}  // namespace

DWORD FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD /*dwLanguageId*/, LPWSTR lpBuffer,
                     DWORD nSize, void* /*Arguments*/) {
    (void)lpSource;
    if (!(dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) ||
        (dwFlags & (FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_FROM_HMODULE)) || lpBuffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const char* text = LookUp(dwMessageId);
    if (text == nullptr) {
        SetLastError(ERROR_MR_MID_NOT_FOUND);
        return 0;
    }
    const std::size_t length = std::strlen(text) + 2;  // with the closing "\r\n"
    WCHAR* out;
    if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        out = static_cast<WCHAR*>(LocalAlloc(0, (length + 1) * sizeof(WCHAR)));
        if (out == nullptr) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        *reinterpret_cast<WCHAR**>(lpBuffer) = out;
    } else {
        if (nSize < length + 1) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        out = lpBuffer;
    }
    std::size_t i = 0;
    for (const char* p = text; *p; ++p) out[i++] = static_cast<unsigned char>(*p);  // ASCII texts
    out[i++] = u'\r';
    out[i++] = u'\n';
    out[i] = 0;
    return static_cast<DWORD>(length);
}

HLOCAL LocalAlloc(UINT /*uFlags*/, std::size_t uBytes) { return std::malloc(uBytes ? uBytes : 1); }

HLOCAL LocalFree(HLOCAL hMem) {
    std::free(hMem);
    return nullptr;
}

std::string SystemMessageText(DWORD code) {
    const char* text = LookUp(code);
    return text ? std::string(text) : "Error " + std::to_string(code);
}
