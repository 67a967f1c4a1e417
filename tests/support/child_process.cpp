#include "tests/support/child_process.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

extern char** environ;

namespace trelvane::testing {
namespace {

void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// The test's environment with the entries of extra in place of those of the
// same name.
std::vector<std::string> EnvironmentWith(const std::vector<std::string>& extra) {
    std::vector<std::string> result;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('=') + 1);
        bool replaced = false;
        for (const auto& x : extra) replaced = replaced || x.compare(0, name.size(), name) == 0;
        if (!replaced) result.push_back(entry);
    }
    result.insert(result.end(), extra.begin(), extra.end());
    return result;
}

}  // namespace

std::optional<UserIds> Nobody() {
    const passwd* user = ::getpwnam("nobody");
    if (!user) return std::nullopt;
    const group* nogroup = ::getgrnam("nogroup");
    return UserIds{user->pw_uid, nogroup ? nogroup->gr_gid : user->pw_gid};
}

bool GiveToNobody(const std::string& path) {
    const auto ids = Nobody();
    if (!ids) return false;
    bool ok = ::chown(path.c_str(), ids->uid, ids->gid) == 0;
    std::error_code ec;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(path, ec))
        ok = ::lchown(entry.path().c_str(), ids->uid, ids->gid) == 0 && ok;
    return ok && !ec;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, Options options) {
    ::signal(SIGPIPE, SIG_IGN);  // a child that has ended shows as a failed write
    std::string program = argv.at(0);
    // The system's own programs are everyone's already (and an interpreter
    // copied away from its library would not start): only the build's move.
    const bool systemProgram = program.rfind("/usr/", 0) == 0 || program.rfind("/bin/", 0) == 0;
    if (options.asNobody && !systemProgram) {
        m_program = std::make_unique<ReachableProgram>(program);
        if (!m_program->Ok()) {
            m_errorText = m_program->Error() + "\n";
            return;
        }
        program = m_program->Path();
    }
    int input[2], output[2], error[2];
    if (::pipe2(input, O_CLOEXEC) != 0) return;
    if (::pipe2(output, O_CLOEXEC) != 0 || ::pipe2(error, O_CLOEXEC) != 0) {
        ::close(input[0]);
        ::close(input[1]);
        return;
    }
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    args[0] = program.data();
    const std::vector<std::string> environment = EnvironmentWith(options.environment);
    std::vector<char*> envp;
    for (const auto& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    const auto nobody = options.asNobody ? Nobody() : std::nullopt;
    const UserIds ids = nobody.value_or(UserIds{0, 0});
    const pid_t pid = ::fork();
    if (pid == 0) {  // only async-signal-safe calls from here to exec
        ::dup2(input[0], STDIN_FILENO);
        ::dup2(output[1], STDOUT_FILENO);
        ::dup2(error[1], STDERR_FILENO);
        if (options.asNobody) {
            if (!nobody || ::setgroups(0, nullptr) != 0 || ::setresgid(ids.gid, ids.gid, ids.gid) != 0 ||
                ::setresuid(ids.uid, ids.uid, ids.uid) != 0 || ::chdir("/") != 0)
                ::_exit(126);
        }
        ::execve(args[0], args.data(), envp.data());
        ::_exit(127);
    }
    ::close(input[0]);
    ::close(output[1]);
    ::close(error[1]);
    m_input = input[1];
    m_output = output[0];
    m_error = error[0];
    if (pid < 0) {
        CloseFd(m_input);
        CloseFd(m_output);
        CloseFd(m_error);
        return;
    }
    m_pid = pid;
    m_collector = std::thread([this] { Collect(); });
}

ChildProcess::~ChildProcess() {
    if (m_pid > 0 && !Wait(std::chrono::milliseconds(0))) {
        Kill();
        Wait(std::chrono::seconds(10));
    }
    CloseFd(m_input);
    if (m_collector.joinable()) m_collector.join();
    CloseFd(m_output);
    CloseFd(m_error);
}

void ChildProcess::Collect() {
    pollfd fds[2] = {{m_output, POLLIN, 0}, {m_error, POLLIN, 0}};
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char chunk[4096];
            const ssize_t n = ::read(fds[i].fd, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) continue;
            std::lock_guard lock(m_mutex);
            if (n <= 0) {
                fds[i].fd = -1;
                continue;
            }
            if (i == 1) {
                m_errorText.append(chunk, static_cast<std::size_t>(n));
                m_changed.notify_all();
                continue;
            }
            m_partial.append(chunk, static_cast<std::size_t>(n));
            for (auto end = m_partial.find('\n'); end != std::string::npos; end = m_partial.find('\n')) {
                m_lines.push_back(m_partial.substr(0, end));
                m_partial.erase(0, end + 1);
            }
            m_changed.notify_all();
        }
    }
    std::lock_guard lock(m_mutex);
    if (!m_partial.empty()) m_lines.push_back(m_partial);
    m_ended = true;
    m_changed.notify_all();
}

bool ChildProcess::Write(const std::string& text) {
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0 && m_input >= 0) {
        const ssize_t n = ::write(m_input, data, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        left -= static_cast<std::size_t>(n);
    }
    return left == 0;
}

void ChildProcess::CloseInput() { CloseFd(m_input); }

std::optional<std::string> ChildProcess::WaitForLine(const std::function<bool(const std::string&)>& pred,
                                                     std::chrono::milliseconds timeout, std::size_t* from) {
    std::unique_lock lock(m_mutex);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        for (; *from < m_lines.size(); ++*from)
            if (pred(m_lines[*from])) return m_lines[(*from)++];
        if (m_ended) return std::nullopt;
        if (m_changed.wait_until(lock, deadline) == std::cv_status::timeout && *from == m_lines.size())
            return std::nullopt;
    }
}

std::vector<std::string> ChildProcess::OutputLines() {
    std::lock_guard lock(m_mutex);
    return m_lines;
}

std::string ChildProcess::ErrorText() {
    std::lock_guard lock(m_mutex);
    return m_errorText;
}

bool ChildProcess::WaitForError(const std::string& part, std::chrono::milliseconds timeout, std::size_t* from) {
    std::unique_lock lock(m_mutex);
    const bool found = m_changed.wait_for(
        lock, timeout, [&] { return m_errorText.find(part, *from) != std::string::npos || m_ended; });
    const auto at = m_errorText.find(part, *from);
    if (!found || at == std::string::npos) return false;
    *from = at + part.size();
    return true;
}

void ChildProcess::Signal(int signal) {
    if (m_pid > 0 && !m_status) ::kill(m_pid, signal);
}

void ChildProcess::Interrupt() { Signal(SIGINT); }
void ChildProcess::Terminate() { Signal(SIGTERM); }
void ChildProcess::Kill() { Signal(SIGKILL); }
void ChildProcess::Pause() { Signal(SIGSTOP); }
void ChildProcess::Resume() { Signal(SIGCONT); }

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds timeout) {
    if (m_status || m_pid <= 0) return m_status;
    {
        // The pipes end when the child does (it passes them to no one).
        std::unique_lock lock(m_mutex);
        if (!m_changed.wait_for(lock, timeout, [this] { return m_ended; })) return std::nullopt;
    }
    int status = 0;
    while (::waitpid(m_pid, &status, 0) < 0) {
        if (errno != EINTR) return std::nullopt;
    }
    m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return m_status;
}

}  // namespace trelvane::testing
