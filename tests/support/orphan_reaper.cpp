#include "tests/support/orphan_reaper.h"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace trelvane::testing {
namespace {

std::optional<int> Reap(pid_t pid, int options) {
    int status = 0;
    pid_t got;
    while ((got = ::waitpid(pid, &status, options)) < 0 && errno == EINTR) {
    }
    if (got != pid) return std::nullopt;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

bool AdoptOrphans() { return ::prctl(PR_SET_CHILD_SUBREAPER, 1) == 0; }

std::optional<int> WaitAdopted(long pid, std::chrono::milliseconds timeout) {
    // A pidfd becomes readable when the process ends: no polling of waitpid.
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
    if (fd < 0) return Reap(static_cast<pid_t>(pid), WNOHANG);
    pollfd entry{fd, POLLIN, 0};
    int ready;
    while ((ready = ::poll(&entry, 1, static_cast<int>(timeout.count()))) < 0 && errno == EINTR) {
    }
    ::close(fd);
    return ready > 0 ? Reap(static_cast<pid_t>(pid), 0) : std::nullopt;
}

void KillAdopted(long pid) {
    if (pid <= 0) return;
    ::kill(static_cast<pid_t>(pid), SIGKILL);
    Reap(static_cast<pid_t>(pid), 0);
}

}  // namespace trelvane::testing
