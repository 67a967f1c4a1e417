#include "tools/testsupport/server_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

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

std::string Slurp(const std::string& path) {
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace

ServerProcess::ServerProcess(std::string program, std::vector<std::string> args, std::vector<std::string> environment)
    : m_program(std::move(program)), m_args(std::move(args)), m_environment(std::move(environment)) {
    const char* home = std::getenv("TRELVANE_HOME");
    const std::string folder = home ? home : "/tmp";
    static int serial = 0;
    const std::string stem = folder + "/server-" + std::to_string(::getpid()) + "-" + std::to_string(serial++);
    m_outputPath = stem + ".out";
    m_errorsPath = stem + ".err";
}

ServerProcess::~ServerProcess() { Kill(); }

bool ServerProcess::Start() {
    std::vector<char*> argv{m_program.data()};
    for (auto& a : m_args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (char** e = environ; *e; ++e) envp.push_back(*e);
    for (auto& e : m_environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, m_outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, m_errorsPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    const int error = ::posix_spawn(&pid, m_program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) return false;
    m_pid = pid;
    return true;
}

bool ServerProcess::WaitServing(const std::string& socketPath, std::chrono::milliseconds timeout) {
    return PollUntil([&] { return Accepts(socketPath) || !Running(); }, timeout) && Running();
}

bool ServerProcess::WaitWithdrawn(const std::string& socketPath, std::chrono::milliseconds timeout) {
    return PollUntil([&] { return ::access(socketPath.c_str(), F_OK) != 0; }, timeout);
}

bool ServerProcess::Running() {
    if (m_pid <= 0) return false;
    int status = 0;
    if (::waitpid(static_cast<pid_t>(m_pid), &status, WNOHANG) != m_pid) return true;
    m_pid = -1;
    m_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return false;
}

int ServerProcess::Wait(std::chrono::milliseconds timeout) {
    if (!PollUntil([&] { return !Running(); }, timeout)) return -1;
    return m_status;
}

void ServerProcess::Kill() {
    if (m_pid <= 0) return;
    ::kill(static_cast<pid_t>(m_pid), SIGKILL);
    int status;
    ::waitpid(static_cast<pid_t>(m_pid), &status, 0);
    m_pid = -1;
}

std::string ServerProcess::Output() const { return Slurp(m_outputPath); }
std::string ServerProcess::Errors() const { return Slurp(m_errorsPath); }

std::string ClassSocketPath(const std::string& home, const std::string& clsidText) {
    return home + "/run/" + clsidText;
}

}  // namespace trelvane::testing
