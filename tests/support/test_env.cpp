#include "tests/support/test_env.h"

#include <dirent.h>
#include <malloc.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace trelvane::testing {

namespace {

std::string MakeTempFolder() {
    char pattern[] = "/tmp/trelvane-test-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        std::perror("mkdtemp");
        std::abort();  // a test must not go on in a folder it shares
    }
    return pattern;
}

}  // namespace

TempHome::TempHome()
    : m_path(MakeTempFolder()),
      m_home("TRELVANE_HOME", m_path.c_str()),
      m_machineStore("TRELVANE_MACHINE_REGISTRY", (m_path + "/machine").c_str()) {
    // Closed to others whatever the umask, or its links would not be followed.
    ::mkdir((m_path + "/dosdevices").c_str(), 0755);
}

TempHome::~TempHome() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

ScopedEnvironment::ScopedEnvironment(const std::string& name, const char* value) : m_name(name) {
    if (const char* previous = std::getenv(name.c_str())) {
        m_previous = previous;
        m_hadPrevious = true;
    }
    if (value)
        ::setenv(name.c_str(), value, 1);
    else
        ::unsetenv(name.c_str());
}

ScopedEnvironment::~ScopedEnvironment() {
    if (m_hadPrevious)
        ::setenv(m_name.c_str(), m_previous.c_str(), 1);
    else
        ::unsetenv(m_name.c_str());
}

void LinkPort(const std::string& home, int comNumber, const std::string& target) {
    std::filesystem::create_directories(home + "/dosdevices");
    const std::string link = home + "/dosdevices/com" + std::to_string(comNumber);
    ::unlink(link.c_str());
    if (::symlink(target.c_str(), link.c_str()) != 0) std::perror("symlink");
}

void MakeFile(const std::string& path) { std::ofstream(path) << "not a device\n"; }
void MakeFolder(const std::string& path) { std::filesystem::create_directories(path); }

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

void SetMode(const std::string& path, unsigned mode) {
    if (::chmod(path.c_str(), mode) != 0) std::perror("chmod");
}

unsigned long InodeOf(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? static_cast<unsigned long>(info.st_ino) : 0;
}

unsigned ModeOf(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? static_cast<unsigned>(info.st_mode & 07777) : 0;
}

PtyPort::PtyPort(const std::string& home, int comNumber) {
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0) {
        CloseMaster();
        return;
    }
    const char* name = ::ptsname(m_master);
    m_slavePath = name ? name : "";
    m_link = home + "/dosdevices/com" + std::to_string(comNumber);
    LinkPort(home, comNumber, m_slavePath);
}

PtyPort::~PtyPort() {
    CloseMaster();
    if (!m_link.empty()) ::unlink(m_link.c_str());
}

bool PtyPort::Send(const std::string& bytes) {
    return m_master >= 0 && ::write(m_master, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

std::string PtyPort::Receive(std::size_t count, int timeoutMs) {
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < count && m_master >= 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) break;
        pollfd pfd{m_master, POLLIN, 0};
        if (::poll(&pfd, 1, static_cast<int>(left)) <= 0) continue;
        char buffer[256];
        const ssize_t n = ::read(m_master, buffer, std::min(sizeof buffer, count - out.size()));
        if (n <= 0) break;
        out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
}

double PtyPort::RoundTrip(unsigned char byte, unsigned char* answer, int timeoutMs) {
    const auto start = std::chrono::steady_clock::now();
    pollfd ready{m_master, POLLIN, 0};
    if (::write(m_master, &byte, 1) != 1 || ::poll(&ready, 1, timeoutMs) != 1 || ::read(m_master, answer, 1) != 1)
        return -1;
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
}

void PtyPort::CloseMaster() {
    if (m_master >= 0) ::close(m_master);
    m_master = -1;
}

int OpenFdCount() {
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (::readdir(dir)) ++count;
        ::closedir(dir);
    }
    return count;
}

int RawThreadCount() {
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/task")) {
        while (::readdir(dir)) ++count;
        ::closedir(dir);
    }
    return count - 2;  // . and ..
}

double ProcessCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

ExclusiveHolder::ExclusiveHolder(const std::string& path) {
    m_fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd >= 0 && ::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

ExclusiveHolder::~ExclusiveHolder() {
    if (m_fd >= 0) ::close(m_fd);
}

std::size_t HeapInUse() { return ::mallinfo2().uordblks; }

PipePair::PipePair() {
    if (::pipe2(m_fds, O_CLOEXEC) != 0) std::perror("pipe2");
}

PipePair::~PipePair() {
    for (int fd : m_fds)
        if (fd >= 0) ::close(fd);
}

bool PipePair::WriteByte(char c) { return ::write(m_fds[1], &c, 1) == 1; }

char PipePair::ReadByte() {
    char c = 0;
    return ::read(m_fds[0], &c, 1) == 1 ? c : 0;
}

int FileMode(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 ? static_cast<int>(info.st_mode & 07777) : -1;
}

bool Exists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

}  // namespace trelvane::testing
