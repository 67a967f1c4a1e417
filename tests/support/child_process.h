// A program run as a child process for a test: its standard input a pipe
// from the test, its standard output and error collected line by line.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/reachable_program.h"

namespace trelvane::testing {

class ChildProcess {
public:
    struct Options {
        // Drop to the user nobody (and group nogroup) before exec, and run the
        // program from a folder that nobody can reach, with / as its folder.
        bool asNobody = false;
        // "NAME=value" entries that replace or add to the test's environment.
        std::vector<std::string> environment = {};
    };

    ChildProcess(const std::vector<std::string>& argv, Options options);
    explicit ChildProcess(const std::vector<std::string>& argv) : ChildProcess(argv, Options{}) {}
    ~ChildProcess();  // kills a child that is still running
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Started() const { return m_pid > 0; }
    int Pid() const { return m_pid; }
    bool Write(const std::string& text);  // to its standard input
    void CloseInput();

    // The first line of standard output at or after line *from that pred
    // accepts; *from moves past it.
    std::optional<std::string> WaitForLine(const std::function<bool(const std::string&)>& pred,
                                           std::chrono::milliseconds timeout, std::size_t* from);
    std::vector<std::string> OutputLines();
    std::string ErrorText();
    // Whether standard error holds part (from byte *from on) within the
    // timeout; *from moves past it.
    bool WaitForError(const std::string& part, std::chrono::milliseconds timeout, std::size_t* from);

    void Interrupt();  // SIGINT
    void Terminate();  // SIGTERM
    void Kill();       // SIGKILL
    void Pause();      // SIGSTOP
    void Resume();     // SIGCONT
    // The exit status, 128 + the signal for a child ended by one, or empty
    // when it has not ended within the timeout.
    std::optional<int> Wait(std::chrono::milliseconds timeout);

private:
    void Collect();
    void Signal(int signal);

    std::unique_ptr<ReachableProgram> m_program;  // outlives the child
    int m_pid = -1;
    int m_input = -1;
    int m_output = -1;
    int m_error = -1;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_lines;
    std::string m_partial;
    std::string m_errorText;
    bool m_ended = false;  // both pipes reached their end
    std::optional<int> m_status;
    std::thread m_collector;
};

// The user and group ids of nobody and nogroup, for tests that must not run
// as root (root passes checks that ordinary users do not).
struct UserIds {
    unsigned uid;
    unsigned gid;
};
std::optional<UserIds> Nobody();
// Hands a folder and everything in it to nobody.
bool GiveToNobody(const std::string& path);

}  // namespace trelvane::testing
