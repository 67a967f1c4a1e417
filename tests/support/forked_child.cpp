#include "tests/support/forked_child.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

namespace trelvane::testing {
namespace {

int Status(pid_t child) {
    int status = 0;
    while (::waitpid(child, &status, 0) < 0)
        if (errno != EINTR) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

bool LimitFileSize(std::size_t bytes) {
    const rlimit limit{bytes, bytes};
    return std::signal(SIGXFSZ, SIG_IGN) != SIG_ERR && ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

int RunInChild(const std::function<int()>& body) {
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child < 0) return -1;
    if (child == 0) ::_exit(body());
    return Status(child);
}

std::vector<int> RunChildrenAtOnce(int count, const std::function<int(int index)>& body) {
    std::fflush(nullptr);
    std::vector<pid_t> children;
    for (int i = 0; i < count; ++i) {
        const pid_t child = ::fork();
        if (child == 0) ::_exit(body(i));
        children.push_back(child);
    }
    std::vector<int> statuses;
    for (pid_t child : children) statuses.push_back(child < 0 ? -1 : Status(child));
    return statuses;
}

}  // namespace trelvane::testing
