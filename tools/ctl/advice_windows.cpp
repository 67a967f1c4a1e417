#include "tools/ctl/advice.h"

#include "contract/trelvane.h"

namespace trelvane::ctl {

std::string ServerGoneAdvice() {
    return "a server that activation started has no console to say why; `trelvanectl status` shows whether it still "
           "runs";
}

std::string ActivationAdvice(HRESULT hr) {
    switch (hr) {
    case REGDB_E_CLASSNOTREG:
        return "the server is not registered: run `trelvane.exe /RegServer` as administrator, or for yourself only "
               "`set TRELVANE_REGISTRY_SCOPE=user` first (README.txt)";
    case CO_E_SERVER_EXEC_FAILURE:
    case HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND):
    case HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND):
        return "the registered server did not start: `trelvanectl status` shows the program registered; after "
               "moving the folder, run `trelvane.exe /RegServer` again";
    case E_ACCESSDENIED: return "the server runs for another user, who alone may use it";
    case CO_E_SERVER_STOPPING: return "the server is shutting down: try again in a moment";
    default: return "check `trelvanectl status`";
    }
}

std::string PortAdvice(int port) {
    const std::string name = "COM" + std::to_string(port);
    const platform::WString wide = platform::FromUtf8(name);
    WCHAR target[512];
    if (QueryDosDeviceW(wide.c_str(), target, static_cast<DWORD>(std::size(target))) == 0 &&
        GetLastError() == ERROR_FILE_NOT_FOUND)
        return "there is no " + name +
               " on this computer: the Device Manager lists the serial ports (Ports (COM & LPT))";
    return name + " may be held by another program: close that program";
}

}  // namespace trelvane::ctl
