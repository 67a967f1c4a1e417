#include "platform/base/paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "platform/base/log.h"

namespace platform {
namespace {

struct Home {
    std::string state;  // what TrelvaneHome() gives
    std::string top;    // what TrelvaneHomeTop() gives
};

// A refusal is written once for each distinct reason, not at every path.
void Refuse(const std::string& why) {
    static std::mutex mutex;
    static std::string last;
    std::lock_guard lock(mutex);
    if (why == last) return;
    last = why;
    log::Error(log::Channel::general, "%s", why.c_str());
}

// The home folder the password database gives this process's user.
std::string PasswordHome() {
    const long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 4096);
    for (;;) {
        passwd entry{};
        passwd* found = nullptr;
        const int error = ::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        return found && found->pw_dir ? found->pw_dir : "";
    }
}

// The path without the slashes at its end ("/" stays).
std::string Trimmed(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

Home Locate() {
    if (const char* home = std::getenv("TRELVANE_HOME"); home && *home) {
        if (*home == '/') return {Trimmed(home), Trimmed(home)};
        Refuse("TRELVANE_HOME is " + std::string(home) +
               ", a relative path, which would name another folder in every working folder: set it to an absolute "
               "path");
        return {};
    }
    const char* variable = std::getenv("HOME");
    std::string user = variable && *variable == '/' ? variable : PasswordHome();
    if (user.empty() || user[0] != '/') {
        Refuse(
            "this user has no home folder (HOME is not an absolute path and the password database names none): "
            "set TRELVANE_HOME to an absolute path");
        return {};
    }
    user = Trimmed(user);
    return {(user == "/" ? "" : user) + "/.trelvane", user};
}

}  // namespace

std::string TrelvaneHome() { return Locate().state; }

std::string TrelvaneHomeTop() { return Locate().top; }

std::string DosDevicesDir() {
    const std::string home = TrelvaneHome();
    return home.empty() ? home : home + "/dosdevices";
}

}  // namespace platform
