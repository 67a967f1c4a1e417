#include "tests/support/ordinary_user.h"

#include <dirent.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "tests/support/child_process.h"

namespace trelvane::testing {
namespace {

// The real user id of a task, from its status file; -1 if it is gone.
long RealUid(const std::string& statusPath) {
    std::ifstream status(statusPath);
    std::string key;
    while (status >> key) {
        if (key == "Uid:") {
            long uid = -1;
            status >> uid;
            return uid;
        }
        status.ignore(4096, '\n');
    }
    return -1;
}

}  // namespace

std::string WhyNobodyIsOutOfReach() {
    if (::geteuid() != 0) return "needs root to drop to nobody (the tests run as an ordinary user)";
    if (!Nobody()) return "needs a user nobody to act as an ordinary user, and this machine has none";
    return "";
}

std::string RunAsOrdinaryUser(const std::function<std::string()>& body) {
    const auto nobody = Nobody();
    if (!nobody) return "there is no user nobody";
    int fds[2];
    if (::pipe(fds) != 0) return std::string("pipe: ") + std::strerror(errno);
    const pid_t child = ::fork();
    if (child < 0) return std::string("fork: ") + std::strerror(errno);
    if (child == 0) {
        ::close(fds[0]);
        std::string result;
        const auto [uid, gid] = *nobody;
        if (::setgroups(0, nullptr) != 0 || ::setresgid(gid, gid, gid) != 0 || ::setresuid(uid, uid, uid) != 0)
            result = std::string("cannot drop to nobody: ") + std::strerror(errno);
        else if (::chdir("/") != 0)
            result = std::string("cannot enter /: ") + std::strerror(errno);
        else
            result = body();
        if (::write(fds[1], result.data(), result.size()) < 0) ::_exit(2);
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string result;
    char buffer[256];
    ssize_t n;
    while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) result.append(buffer, static_cast<std::size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "the child died: status " + std::to_string(status);
    return result;
}

void OpenToEveryone(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return;
    ::chmod(path.c_str(), S_ISDIR(info.st_mode) ? 0755 : 0666);
}

int TasksOfOrdinaryUser() {
    const auto nobody = Nobody();
    if (!nobody) return 0;
    int count = 0;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) return 0;
    while (const dirent* process = ::readdir(proc)) {
        if (process->d_name[0] < '0' || process->d_name[0] > '9') continue;
        const std::string tasks = std::string("/proc/") + process->d_name + "/task";
        DIR* dir = ::opendir(tasks.c_str());
        if (dir == nullptr) continue;
        while (const dirent* task = ::readdir(dir)) {
            if (task->d_name[0] == '.') continue;
            if (RealUid(tasks + "/" + task->d_name + "/status") == static_cast<long>(nobody->uid)) ++count;
        }
        ::closedir(dir);
    }
    ::closedir(proc);
    return count;
}

}  // namespace trelvane::testing
