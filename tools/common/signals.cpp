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

namespace trelvane::tools {
namespace {

sigset_t StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

}  // namespace

void SignalWatcher::BlockStopSignals() {
    const sigset_t set = StopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
}

SignalWatcher::SignalWatcher(const char* program, std::function<void(const char*)> onSignal)
    : m_program(program), m_onSignal(std::move(onSignal)) {
    const sigset_t set = StopSignals();
    m_signalFd = ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (Ok()) m_thread = std::thread([this] { Run(); });
}

SignalWatcher::~SignalWatcher() {
    const std::uint64_t one = 1;
    if (m_wakeFd >= 0 && ::write(m_wakeFd, &one, sizeof one) < 0)
        std::fprintf(stderr, "%s: cannot stop the signal thread: %s\n", m_program, std::strerror(errno));
    if (m_thread.joinable()) m_thread.join();
    if (m_signalFd >= 0) ::close(m_signalFd);
    if (m_wakeFd >= 0) ::close(m_wakeFd);
}

void SignalWatcher::Run() {
    while (true) {
        pollfd fds[2] = {{m_signalFd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            std::fprintf(stderr, "%s: poll for signals: %s\n", m_program, std::strerror(errno));
            return;
        }
        if (fds[1].revents & POLLIN) return;
        signalfd_siginfo info{};
        while (::read(m_signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            const char* name = info.ssi_signo == SIGINT ? "SIGINT" : info.ssi_signo == SIGTERM ? "SIGTERM" : "SIGHUP";
            m_onSignal(name);
        }
    }
}

}  // namespace trelvane::tools
