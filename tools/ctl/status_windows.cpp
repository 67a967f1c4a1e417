#include "tools/ctl/status.h"

#include "platform/windows.h"
// The process list, which needs the system's types first.
#include <tlhelp32.h>

#include "tools/ctl/commands.h"
#include "tools/ctl/registered_server.h"
#include "tools/ctl/reporter.h"

namespace trelvane::ctl {
namespace {

// Where activation found the registration: the user's classes
// (HKEY_CURRENT_USER\Software\Classes) come before the machine's.
const char* RegistrationScope() {
    const platform::WString userKey = TEXT("Software\\Classes\\") + ServerKeyName();
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, userKey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return "machine";
    RegCloseKey(key);
    return "user";
}

// The program of a registered command line: its first word, unquoted.
platform::WString ProgramOf(const std::string& commandLine) {
    const platform::WString line = platform::FromUtf8(commandLine);
    if (!line.empty() && line[0] == TEXT('"')) return line.substr(1, line.find(TEXT('"'), 1) - 1);
    return line.substr(0, line.find(TEXT(' ')));
}

// The id of a process that runs the registered program, or 0: the system
// keeps no record of which process serves a class that others could read,
// so the processes are looked through. One that this user may not look into
// (another user's) is not seen.
DWORD RunningServer(const platform::WString& program, std::string* error) {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        *error = SystemMessageText(GetLastError());
        return 0;
    }
    DWORD found = 0;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && found == 0; more = Process32NextW(snapshot, &entry)) {
        const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
        if (process == nullptr) continue;
        WCHAR path[MAX_PATH * 2];
        DWORD size = static_cast<DWORD>(std::size(path));
        if (QueryFullProcessImageNameW(process, 0, path, &size) &&
            platform::EqualNoCase(platform::WStringView(path, size), program))
            found = entry.th32ProcessID;
        CloseHandle(process);
    }
    CloseHandle(snapshot);
    return found;
}

}  // namespace

int ShowStatus(bool json) {
    Reporter reporter(json);
    std::string commandLine;
    const LSTATUS registry = RegisteredServer(&commandLine);
    if (registry != ERROR_SUCCESS && registry != ERROR_FILE_NOT_FOUND) {
        reporter.Failure("cannot read the registry: " + SystemMessageText(registry));
        return kFailed;
    }
    const bool registered = registry == ERROR_SUCCESS;
    const std::string scope = registered ? RegistrationScope() : "";
    ReplyRegistration(reporter, scope, commandLine, "trelvane.exe /RegServer");
    if (!registered) return kSucceeded;
    std::string error;
    const DWORD pid = RunningServer(ProgramOf(commandLine), &error);
    if (!error.empty()) {
        reporter.Failure("cannot list the processes: " + error);
        return kFailed;
    }
    // The server writes no log on Windows: started by activation, it has no
    // console to write to.
    reporter.Reply("running", pid ? "running: pid " + std::to_string(pid) : std::string("not running"),
                   {{"running", pid != 0},
                    {"answering", tools::Null{}},  // found in the process list, not asked
                    {"pid", pid ? tools::Value(static_cast<long long>(pid)) : tools::Null{}},
                    {"home", tools::Null{}},
                    {"log", tools::Null{}}});
    return kSucceeded;
}

}  // namespace trelvane::ctl
