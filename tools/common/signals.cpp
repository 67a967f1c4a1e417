#include "tools/common/signals.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>

namespace trelvane::tools {

struct SignalWatcher::Watch {
    int signalFd = -1;
    int wakeFd = -1;
    std::thread thread;
};

namespace {

sigset_t StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

void Run(const char* program, const SignalWatcher::Watch& watch, const std::function<void(const char*)>& onSignal) {
    while (true) {
        pollfd fds[2] = {{watch.signalFd, POLLIN, 0}, {watch.wakeFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            std::fprintf(stderr, "%s: poll for signals: %s\n", program, std::strerror(errno));
            return;
        }
        if (fds[1].revents & POLLIN) return;
        signalfd_siginfo info{};
        while (::read(watch.signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            const char* name = info.ssi_signo == SIGINT ? "SIGINT" : info.ssi_signo == SIGTERM ? "SIGTERM" : "SIGHUP";
            onSignal(name);
        }
    }
}

}  // namespace

void SignalWatcher::BlockStopSignals() {
    const sigset_t set = StopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
}

SignalWatcher::SignalWatcher(const char* program, std::function<void(const char*)> onSignal)
    : m_program(program), m_onSignal(std::move(onSignal)), m_watch(std::make_unique<Watch>()) {
    const sigset_t set = StopSignals();
    m_watch->signalFd = ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    m_watch->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (Ok()) m_watch->thread = std::thread([this] { Run(m_program, *m_watch, m_onSignal); });
}

bool SignalWatcher::Ok() const { return m_watch->signalFd >= 0 && m_watch->wakeFd >= 0; }

SignalWatcher::~SignalWatcher() {
    const std::uint64_t one = 1;
    if (m_watch->wakeFd >= 0 && ::write(m_watch->wakeFd, &one, sizeof one) < 0)
        std::fprintf(stderr, "%s: cannot stop the signal thread: %s\n", m_program, std::strerror(errno));
    if (m_watch->thread.joinable()) m_watch->thread.join();
    if (m_watch->signalFd >= 0) ::close(m_watch->signalFd);
    if (m_watch->wakeFd >= 0) ::close(m_watch->wakeFd);
}

}  // namespace trelvane::tools
