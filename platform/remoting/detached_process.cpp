#include "platform/remoting/detached_process.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/base/errno_map.h"

namespace platform::remoting {
namespace {

// What the two forked processes tell the starter over the report pipe.
struct Report {
    char kind;  // 'P': the server's pid; 'E': errno of a failed step
    int value;
};

HRESULT FromErrno(int error) { return HRESULT_FROM_WIN32(ErrnoToError(error)); }

void Tell(int fd, char kind, int value) {
    const Report report{kind, value};
    [[maybe_unused]] const ssize_t written = ::write(fd, &report, sizeof report);  // atomic: below PIPE_BUF
}

// In the grandchild, between fork and exec: only async-signal-safe calls.
[[noreturn]] void BecomeServer(char* const* argv, int input, int log, int reportFd) {
    if (::dup2(input, STDIN_FILENO) < 0 || ::dup2(log, STDOUT_FILENO) < 0 || ::dup2(log, STDERR_FILENO) < 0 ||
        ::chdir("/") != 0) {
        Tell(reportFd, 'E', errno);
        ::_exit(127);
    }
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal) ::sigaction(signal, &defaults, nullptr);  // fails harmlessly for some
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    // Descriptors that some library opened without O_CLOEXEC are not the server's either.
    ::syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC);
    ::execv(argv[0], argv);
    Tell(reportFd, 'E', errno);
    ::_exit(127);
}

// In the child: a session of its own, and the server forked from it.
[[noreturn]] void StartServer(char* const* argv, int input, int log, int reportFd) {
    if (::setsid() < 0) {
        Tell(reportFd, 'E', errno);
        ::_exit(127);
    }
    const pid_t server = ::fork();
    if (server == 0) BecomeServer(argv, input, log, reportFd);
    if (server < 0)
        Tell(reportFd, 'E', errno);
    else
        Tell(reportFd, 'P', server);
    ::_exit(0);
}

// Reads the reports until every writer has closed the pipe: the server has
// run exec (close-on-exec) or failed.
HRESULT ReadReports(int fd, long* pid) {
    HRESULT hr = E_UNEXPECTED;  // nothing reported: the child died before it could fork
    Report report{};
    ssize_t got;
    while ((got = ::read(fd, &report, sizeof report)) != 0) {
        if (got < 0) {
            if (errno == EINTR) continue;
            return FromErrno(errno);
        }
        if (got != sizeof report) return E_UNEXPECTED;
        if (report.kind == 'P') {
            *pid = report.value;
            if (hr == E_UNEXPECTED) hr = S_OK;
        } else {
            hr = FromErrno(report.value);
        }
    }
    return hr;
}

}  // namespace

HRESULT StartDetachedProcess(const std::vector<std::string>& argv, int logFd, DetachedProcess* out) {
    *out = DetachedProcess{};
    if (argv.empty()) return E_INVALIDARG;
    std::vector<char*> args;
    for (const auto& word : argv) args.push_back(const_cast<char*>(word.c_str()));
    args.push_back(nullptr);
    const int input = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (input < 0) return FromErrno(errno);
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        const int error = errno;
        ::close(input);
        return FromErrno(error);
    }
    const pid_t child = ::fork();
    if (child == 0) StartServer(args.data(), input, logFd, report[1]);
    const int forkError = errno;
    ::close(report[1]);
    ::close(input);
    HRESULT hr = child < 0 ? FromErrno(forkError) : ReadReports(report[0], &out->pid);
    ::close(report[0]);
    if (child > 0) {
        int status = 0;
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
    }
    if (FAILED(hr)) return hr;
    // The server may have ended already; its pid stays reserved until init
    // reaps it, and a pidfd of an ended process is readable at once.
    out->pidfd = static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(out->pid), 0));
    if (out->pidfd < 0 && errno != ESRCH) return FromErrno(errno);
    return S_OK;
}

}  // namespace platform::remoting
