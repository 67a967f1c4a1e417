// A second process for tests (trelvane-test-host, trelvane-test-client):
// started with the test's environment, ready once it says "ready" on its
// standard output, asked to end by closing its standard input, or killed.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace trelvane::testing {

class HostProcess {
public:
    // asNobody: the program runs as the unprivileged user (the tests run as root).
    explicit HostProcess(std::string program, std::vector<std::string> args = {}, bool asNobody = false);

    // Starts it and waits (up to timeoutMs) for its "ready" line.
    bool Start(int timeoutMs = 10000);
    // Closes its standard input and waits for it: its exit status, or -1
    // when it had to be killed (or was not running).
    int Stop(int timeoutMs = 10000);
    void Kill();
    // What it wrote up to its "ready" line.
    const std::string& Output() const { return m_output; }
    // What it wrote to standard error so far.
    std::string Errors();
    long Pid() const { return m_child ? m_child->Pid() : -1; }

private:
    std::vector<std::string> m_argv;
    bool m_asNobody;
    std::unique_ptr<ChildProcess> m_child;
    std::string m_output;
};

}  // namespace trelvane::testing
