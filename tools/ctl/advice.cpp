#include "tools/ctl/advice.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "contract/trelvane.h"
#include "platform/base/paths.h"
#include "platform/comm/port_names.h"

namespace trelvane::ctl {
namespace {

std::string GroupName(gid_t gid) {
    if (const group* g = ::getgrgid(gid)) return g->gr_name;
    return "with id " + std::to_string(gid);
}

std::string NoSuchPort(int port, const std::string& path) {
    const std::string name = "COM" + std::to_string(port);
    return "there is no " + name + " (nothing at " + path + "): link it to the device with\n  ln -s /dev/ttyUSB0 " +
           platform::DosDevicesDir() + "/com" + std::to_string(port) +
           "\nor serve it with the simulator: trelvane-sim " + name;
}

}  // namespace

std::string ServerLogPath() {
    WCHAR clsid[40];
    StringFromGUID2(contract::CLSID_CTarvik, clsid, 40);
    return platform::TrelvaneHome() + "/log/" + platform::ToUtf8(clsid) + ".log";
}

std::string ServerGoneAdvice() { return "its log " + ServerLogPath() + " may say why; see `trelvanectl status`"; }

std::string ActivationAdvice(HRESULT hr) {
    switch (hr) {
    case REGDB_E_CLASSNOTREG:
        return "the server is not registered: register it for this user with `trelvane -RegServer`, or install the "
               "package, which registers it for every user";
    case CO_E_SERVER_EXEC_FAILURE:
        return "the registered server did not come up: its log " + ServerLogPath() +
               " says why; check `trelvanectl status`";
    case E_ACCESSDENIED:
        return "the server's folder " + platform::TrelvaneHome() +
               "/run belongs to another user: use a "
               "TRELVANE_HOME of your own";
    case CO_E_SERVER_STOPPING: return "the server is shutting down: try again in a moment";
    default: return "check `trelvanectl status`; the server reports its failures in its log " + ServerLogPath();
    }
}

std::string PortAdvice(int port) {
    const std::string path = platform::PortDevicePath(static_cast<unsigned>(port));
    char resolved[PATH_MAX];
    struct stat target {};
    if (::realpath(path.c_str(), resolved) == nullptr || ::stat(resolved, &target) != 0) return NoSuchPort(port, path);
    const std::string device = resolved;
    if (S_ISSOCK(target.st_mode))
        return device + " is a virtual line: is its simulator still serving it? (trelvane-sim COM" +
               std::to_string(port) + ")";
    if (::access(resolved, R_OK | W_OK) != 0 && errno == EACCES) {
        return "you may not open " + device + ": it belongs to the group " + GroupName(target.st_gid) +
               "; add yourself to it (sudo usermod -aG " + GroupName(target.st_gid) + " \"$USER\") and log in again";
    }
    return device + " may be held by another program: close that program (fuser " + device + " names it)";
}

}  // namespace trelvane::ctl
