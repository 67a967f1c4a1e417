// Starting a server as a process of its own: what it gets from us (its
// standard streams, folder, signals, descriptors, environment), that it is
// in a session of its own and not our child, and the platform's errors for
// a program that cannot be started.
#include "platform/remoting/detached_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <set>
#include <thread>

#include "tests/support/test_env.h"

namespace trelvane {
namespace {

using platform::remoting::DetachedProcess;
using platform::remoting::StartDetachedProcess;
using trelvane::testing::ReadFile;
using trelvane::testing::TempHome;

// The line of /proc/<pid>/status that starts with field, without it.
std::string StatusField(long pid, const std::string& field) {
    const std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
    const auto at = status.find("\n" + field + ":");
    if (at == std::string::npos) return "";
    const auto start = status.find_first_not_of(" \t", at + field.size() + 2);
    return status.substr(start, status.find('\n', start) - start);
}

long SessionOf(long pid) {
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    long parent = 0, group = 0, session = 0;
    char state = 0;
    std::sscanf(stat.c_str() + stat.rfind(')') + 1, " %c %ld %ld %ld", &state, &parent, &group, &session);
    return session;
}

std::string LinkOf(const std::string& path) {
    std::error_code error;
    return std::filesystem::read_symlink(path, error).string();
}

bool AwaitEnd(int pidfd) {
    pollfd ready{pidfd, POLLIN, 0};
    return ::poll(&ready, 1, 10000) == 1;
}

class DetachedProcessTest : public ::testing::Test {
protected:
    // The servers started end up as orphans; they come to this process,
    // which reaps them, rather than to an init that may not.
    static void SetUpTestSuite() { ::prctl(PR_SET_CHILD_SUBREAPER, 1); }

    void SetUp() override {
        m_logPath = m_home.Path() + "/server.log";
        m_log = ::open(m_logPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(m_log, 0);
    }
    void TearDown() override {
        if (m_server.pidfd >= 0) {
            ::syscall(SYS_pidfd_send_signal, m_server.pidfd, SIGKILL, nullptr, 0);
            ::close(m_server.pidfd);
        }
        if (m_server.pid > 0) ::waitpid(static_cast<pid_t>(m_server.pid), nullptr, 0);
        ::close(m_log);
    }

    TempHome m_home;
    std::string m_logPath;
    int m_log = -1;
    DetachedProcess m_server;
};

TEST_F(DetachedProcessTest, TheServerGetsItsStreamsAndEnvironmentAndNothingElseOfOurs) {
    trelvane::testing::ScopedEnvironment probe("TRELVANE_PROBE", "ours");
    trelvane::testing::ScopedEnvironment kept("TRELVANE_KEPT", "kept");
    // What this process ignores, blocks or holds open is not the server's.
    struct sigaction ignore {
    }, previousAction{};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGUSR1, &ignore, &previousAction);
    sigset_t usr2, previousMask;
    sigemptyset(&usr2);
    sigaddset(&usr2, SIGUSR2);
    ::pthread_sigmask(SIG_BLOCK, &usr2, &previousMask);
    const int inherited = ::open("/dev/null", O_RDONLY);  // without O_CLOEXEC
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);

    const HRESULT hr = StartDetachedProcess(
        {{"/bin/sleep", "30"}, {"TRELVANE_PROBE=replaced", "TRELVANE_ADDED=added"}, m_log, pair[1]}, &m_server);
    ::close(inherited);
    ::pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    ::sigaction(SIGUSR1, &previousAction, nullptr);
    struct stat passed {};
    ::fstat(pair[1], &passed);
    ::close(pair[0]);
    ::close(pair[1]);
    ASSERT_EQ(hr, S_OK);
    ASSERT_GT(m_server.pid, 0);
    ASSERT_GE(m_server.pidfd, 0);

    // StartDetachedProcess returns once the exec cannot fail any more; the
    // kernel may still be setting up the program.
    const std::string proc = "/proc/" + std::to_string(m_server.pid);
    for (int i = 0; i < 5000 && (ReadFile(proc + "/comm") != "sleep\n" || ReadFile(proc + "/environ").empty()); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(ReadFile(proc + "/comm"), "sleep\n");
    // The program's loader briefly holds the libraries it maps as 4 and up:
    // only a descriptor that stays is one of ours.
    const std::set<std::string> expected{"0", "1", "2", "3"};
    std::set<std::string> fds;
    for (int i = 0; i < 5000 && fds != expected; ++i) {
        if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        fds.clear();
        for (const auto& entry : std::filesystem::directory_iterator(proc + "/fd"))
            fds.insert(entry.path().filename().string());
    }
    EXPECT_EQ(fds, expected);
    EXPECT_EQ(LinkOf(proc + "/fd/0"), "/dev/null");
    EXPECT_EQ(LinkOf(proc + "/fd/1"), m_logPath);
    EXPECT_EQ(LinkOf(proc + "/fd/2"), m_logPath);
    EXPECT_EQ(LinkOf(proc + "/fd/3"), "socket:[" + std::to_string(passed.st_ino) + "]");
    EXPECT_EQ(LinkOf(proc + "/cwd"), "/");
    EXPECT_EQ(StatusField(m_server.pid, "SigIgn"), "0000000000000000");
    EXPECT_EQ(StatusField(m_server.pid, "SigBlk"), "0000000000000000");
    std::set<std::string> environment;
    const std::string block = ReadFile(proc + "/environ");
    for (std::size_t at = 0; at < block.size(); at = block.find('\0', at) + 1)
        environment.insert(block.substr(at, block.find('\0', at) - at));
    EXPECT_EQ(environment.count("TRELVANE_PROBE=replaced"), 1u);
    EXPECT_EQ(environment.count("TRELVANE_PROBE=ours"), 0u);
    EXPECT_EQ(environment.count("TRELVANE_ADDED=added"), 1u);
    EXPECT_EQ(environment.count("TRELVANE_KEPT=kept"), 1u);

    // A session of its own, led by the go-between that started it and has
    // ended: the server is no session leader and has no terminal to take.
    const long session = SessionOf(m_server.pid);
    EXPECT_NE(session, ::getsid(0));
    EXPECT_NE(session, m_server.pid);
    EXPECT_EQ(::kill(static_cast<pid_t>(session), 0), -1);
    EXPECT_EQ(StatusField(m_server.pid, "PPid"), std::to_string(::getpid()));  // an orphan, come to us

    // Its pidfd is readable once it has ended.
    ASSERT_EQ(::syscall(SYS_pidfd_send_signal, m_server.pidfd, SIGTERM, nullptr, 0), 0);
    EXPECT_TRUE(AwaitEnd(m_server.pidfd));
}

TEST_F(DetachedProcessTest, ALogThatIsDescriptorZeroStillReceivesBothStreams) {
    // A client without standard input opens the log as descriptor 0.
    const int savedInput = ::dup(STDIN_FILENO);
    ::close(STDIN_FILENO);
    const int log = ::open(m_logPath.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    const HRESULT hr =
        log == STDIN_FILENO
            ? StartDetachedProcess({{"/bin/sh", "-c", "readlink /proc/$$/fd/0; echo err >&2"}, {}, log}, &m_server)
            : E_UNEXPECTED;
    ::dup2(savedInput, STDIN_FILENO);
    ::close(savedInput);
    ASSERT_EQ(log, STDIN_FILENO);
    ASSERT_EQ(hr, S_OK);
    ASSERT_TRUE(AwaitEnd(m_server.pidfd));
    EXPECT_EQ(ReadFile(m_logPath), "/dev/null\nerr\n");
}

TEST_F(DetachedProcessTest, AProgramThatCannotBeStartedGivesThePlatformsErrorAndLeavesNoProcess) {
    const std::string notExecutable = m_home.Path() + "/plain file";
    trelvane::testing::WriteFile(notExecutable, "#!/bin/sh\n");
    trelvane::testing::SetMode(notExecutable, 0644);
    const struct {
        std::string program;
        HRESULT expected;
    } cases[] = {
        {m_home.Path() + "/missing", HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)},
        {notExecutable, E_ACCESSDENIED},
    };
    for (const auto& c : cases) {
        DetachedProcess server;
        EXPECT_EQ(StartDetachedProcess({{c.program, "-Embedding"}, {}, m_log}, &server), c.expected) << c.program;
        EXPECT_EQ(server.pid, 0);
        EXPECT_EQ(server.pidfd, -1);
        // Neither the go-between nor the failed server is left for us to reap.
        EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG | __WALL), -1) << c.program;
        EXPECT_EQ(errno, ECHILD);
    }
    EXPECT_EQ(StartDetachedProcess({{}, {}, m_log}, &m_server), E_INVALIDARG);
}

}  // namespace
}  // namespace trelvane
