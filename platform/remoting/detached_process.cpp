#include "platform/remoting/detached_process.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "platform/base/errno_map.h"

// glibc's clone under its own name: the sanitizers' runtimes intercept
// "clone" and treat it as a fork, which a child sharing our memory is not.
extern "C" int __clone(int (*fn)(void*), void* stack, int flags, void* arg, ...);

extern char** environ;

namespace platform::remoting {
namespace {

// The server is started without copying our address space, which in a large
// client costs milliseconds: a go-between shares our memory and descriptor
// table (CLONE_VM | CLONE_FILES) and starts a session of its own; the server
// shares the memory with both until its exec (CLONE_VM). Each CLONE_VFORK
// suspends the parent until its child's exec has failed or has replaced its
// memory, or the child has ended; so we resume once the server's exec can no
// longer fail, and the go-between has ended and left the server to init (or
// the nearest subreaper) to reap.
//
// Both children run in our memory on stacks of their own, with every signal
// blocked (our handlers must not run there), and make only raw system calls:
// libc's wrappers may be intercepted by the sanitizers, whose runtimes keep
// per-process state that these children would corrupt.
struct Launch {
    char* const* argv;
    char* const* envp;
    int log;
    int pass;           // -1: none
    void* serverStack;  // the top of the server's stack until its exec
    // Written by the children:
    int error = 0;  // errno of the step that failed
    long pid = 0;
    int pidfd = -1;
};

constexpr std::size_t kStackSize = std::size_t{64} * 1024;  // each child's; they need a few hundred bytes
constexpr int kInvalidFd = -1;

// The kernel's struct sigaction on x86-64 and arm64 (not libc's).
struct KernelSigaction {
    void (*handler)(int);
    unsigned long flags;
    void (*restorer)();
    unsigned long mask;
};
static_assert(NSIG - 1 <= 64, "the kernel's signal set is one word here");

#define CHILD_CODE __attribute__((no_sanitize("address", "thread", "undefined"), noinline))

// Onto target, leaving it open across exec (dup3 refuses the same descriptor).
CHILD_CODE bool MoveTo(int fd, int target) {
    if (fd == target) return ::syscall(SYS_fcntl, fd, F_SETFD, 0) == 0;
    return ::syscall(SYS_dup3, fd, target, 0) == target;
}

// A copy above the descriptors the server gets (0 to 3), closed on exec.
CHILD_CODE int Lift(int fd) { return fd < 0 ? fd : static_cast<int>(::syscall(SYS_fcntl, fd, F_DUPFD_CLOEXEC, 4)); }

// The server, until its exec: standard input from /dev/null, output and
// error to the log, the passed descriptor as 3, the root folder, signals at
// their defaults and unblocked, and none of our other descriptors. Ends
// with the errno of a failure.
CHILD_CODE int BecomeServer(void* argument) {
    Launch* launch = static_cast<Launch*>(argument);
    // Lifted first: a client without standard streams may hold the log or
    // the passed descriptor as 0 to 3, which the moves below overwrite.
    const int log = Lift(launch->log), pass = Lift(launch->pass);
    long input = -1;
    if (log < 0 || (launch->pass >= 0 && pass < 0) || !MoveTo(log, STDOUT_FILENO) || !MoveTo(log, STDERR_FILENO) ||
        (pass >= 0 && !MoveTo(pass, 3)) ||
        (input = ::syscall(SYS_openat, AT_FDCWD, "/dev/null", O_RDONLY | O_CLOEXEC)) < 0 ||
        !MoveTo(static_cast<int>(input), STDIN_FILENO) || ::syscall(SYS_chdir, "/") != 0) {
        launch->error = errno;
        ::syscall(SYS_exit_group, 127);
    }
    // Handlers are reset by exec anyway; what is ignored must be reset here.
    // SIGKILL and SIGSTOP refuse, harmlessly.
    const KernelSigaction defaults{SIG_DFL, 0, nullptr, 0};
    for (int signal = 1; signal < NSIG; ++signal)
        ::syscall(SYS_rt_sigaction, signal, &defaults, nullptr, sizeof defaults.mask);
    // Descriptors that some library opened without O_CLOEXEC are not the server's either.
    ::syscall(SYS_close_range, pass >= 0 ? 4U : 3U, ~0U, CLOSE_RANGE_CLOEXEC);
    const unsigned long none = 0;
    ::syscall(SYS_rt_sigprocmask, SIG_SETMASK, &none, nullptr, sizeof none);
    ::syscall(SYS_execve, launch->argv[0], launch->argv, launch->envp);
    launch->error = errno;
    ::syscall(SYS_exit_group, 127);
    return 127;
}

// The go-between: a session of its own, and the server started from it. A
// server whose exec failed is reaped here; one that runs is not our child.
CHILD_CODE int StartInSession(void* argument) {
    Launch* launch = static_cast<Launch*>(argument);
    if (::syscall(SYS_setsid) < 0) {
        launch->error = errno;
        ::syscall(SYS_exit_group, 0);
    }
    int pidfd = kInvalidFd;
    const int pid =
        __clone(BecomeServer, launch->serverStack, CLONE_VM | CLONE_VFORK | CLONE_PIDFD | SIGCHLD, launch, &pidfd);
    if (pid < 0) {
        launch->error = errno;
    } else if (launch->error != 0) {
        ::syscall(SYS_wait4, pid, nullptr, __WALL, nullptr);
        ::syscall(SYS_close, pidfd);
    } else {
        launch->pid = pid;
        launch->pidfd = pidfd;  // in our descriptor table too: it is shared
    }
    ::syscall(SYS_exit_group, 0);
    return 0;
}

HRESULT FromErrno(int error) { return HRESULT_FROM_WIN32(ErrnoToError(error)); }

// Runs the two children, with every signal blocked in this thread meanwhile
// so that the children start with all of them blocked.
HRESULT RunLaunch(Launch* launch) {
    const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const std::size_t size = page + 2 * kStackSize;  // a guard page below both stacks
    void* memory = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (memory == MAP_FAILED) return FromErrno(errno);
    char* const base = static_cast<char*>(memory);
    if (::mprotect(base, page, PROT_NONE) != 0) {
        const int error = errno;
        ::munmap(memory, size);
        return FromErrno(error);
    }
    launch->serverStack = base + page + kStackSize;
    sigset_t all, previous;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &previous);
    // No exit signal: the go-between is no concern of a SIGCHLD handler the
    // program may have, and is reaped below with __WALL.
    const int between = __clone(StartInSession, base + size, CLONE_VM | CLONE_VFORK | CLONE_FILES, launch);
    const int cloneError = errno;
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (between > 0)
        while (::waitpid(between, nullptr, __WALL) < 0 && errno == EINTR) {
        }
    ::munmap(memory, size);
    if (between < 0) return FromErrno(cloneError);
    return launch->error != 0 ? FromErrno(launch->error) : S_OK;
}

}  // namespace

HRESULT StartDetachedProcess(const ProcessStart& start, DetachedProcess* out) {
    *out = DetachedProcess{};
    if (start.argv.empty() || start.logFd < 0) return E_INVALIDARG;
    std::vector<char*> args;
    for (const auto& word : start.argv) args.push_back(const_cast<char*>(word.c_str()));
    args.push_back(nullptr);
    std::vector<char*> environment;
    for (char** entry = environ; *entry; ++entry) {
        const std::string_view name(*entry, std::strcspn(*entry, "="));
        if (std::none_of(start.extraEnvironment.begin(), start.extraEnvironment.end(), [&](const std::string& extra) {
                return extra.size() > name.size() && extra.compare(0, name.size(), name) == 0 &&
                       extra[name.size()] == '=';
            }))
            environment.push_back(*entry);
    }
    for (const auto& extra : start.extraEnvironment) environment.push_back(const_cast<char*>(extra.c_str()));
    environment.push_back(nullptr);
    Launch launch{args.data(), environment.data(), start.logFd, start.passFd, nullptr};
    if (HRESULT hr = RunLaunch(&launch); FAILED(hr)) return hr;
    out->pid = launch.pid;
    out->pidfd = launch.pidfd;
    return S_OK;
}

}  // namespace platform::remoting
