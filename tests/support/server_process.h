// The server program in a process of its own, for tests: a ChildProcess
// started with the test's environment (its TRELVANE_HOME) and a few
// variables more, watched for its class socket and for its end.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace trelvane::testing {

class ServerProcess {
public:
    // environment: "NAME=value" entries in place of or beside the test's own.
    ServerProcess(std::string program, std::vector<std::string> args = {"-Embedding"},
                  std::vector<std::string> environment = {});

    bool Start();
    // Waits until the class socket at path takes connections.
    bool WaitServing(const std::string& socketPath, std::chrono::milliseconds timeout);
    // Waits until the socket at path is gone (the class object withdrawn).
    bool WaitWithdrawn(const std::string& socketPath, std::chrono::milliseconds timeout);
    // Waits for the process to end: its exit status (128 + the signal for
    // one ended by a signal), or -1 when it did not end in time.
    int Wait(std::chrono::milliseconds timeout);
    bool Running();
    void Kill();  // and waits for the end
    long Pid() const { return m_child ? m_child->Pid() : -1; }

    std::string Output();  // what it wrote to standard output
    std::string Errors();  // and to standard error

private:
    std::vector<std::string> m_argv;
    ChildProcess::Options m_options;
    std::unique_ptr<ChildProcess> m_child;  // killed, if still running, when it goes
};

// $TRELVANE_HOME/run/{CLSID}: where a server of the class listens.
std::string ClassSocketPath(const std::string& home, const std::string& clsidText);

}  // namespace trelvane::testing
