#include "tests/support/server_process.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <thread>

namespace trelvane::testing {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPoll = std::chrono::milliseconds(10);

bool Accepts(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

template <class Condition>
bool PollUntil(Condition condition, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!condition()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(kPoll);
    }
    return true;
}

}  // namespace

ServerProcess::ServerProcess(std::string program, std::vector<std::string> args, std::vector<std::string> environment) {
    m_argv.push_back(std::move(program));
    m_argv.insert(m_argv.end(), args.begin(), args.end());
    m_options.environment = std::move(environment);
}

bool ServerProcess::Start() {
    m_child = std::make_unique<ChildProcess>(m_argv, m_options);
    return m_child->Started();
}

bool ServerProcess::WaitServing(const std::string& socketPath, std::chrono::milliseconds timeout) {
    return PollUntil([&] { return Accepts(socketPath) || !Running(); }, timeout) && Running();
}

bool ServerProcess::WaitWithdrawn(const std::string& socketPath, std::chrono::milliseconds timeout) {
    return PollUntil([&] { return ::access(socketPath.c_str(), F_OK) != 0; }, timeout);
}

bool ServerProcess::Running() { return m_child && !m_child->Wait(std::chrono::milliseconds(0)); }

int ServerProcess::Wait(std::chrono::milliseconds timeout) {
    if (!m_child) return -1;
    return m_child->Wait(timeout).value_or(-1);
}

void ServerProcess::Kill() {
    if (!m_child) return;
    m_child->Kill();
    m_child->Wait(std::chrono::seconds(10));
}

std::string ServerProcess::Output() {
    std::string text;
    if (m_child)
        for (const auto& line : m_child->OutputLines()) text += line + "\n";
    return text;
}

std::string ServerProcess::Errors() { return m_child ? m_child->ErrorText() : std::string(); }

std::string ClassSocketPath(const std::string& home, const std::string& clsidText) {
    return home + "/run/" + clsidText;
}

}  // namespace trelvane::testing
