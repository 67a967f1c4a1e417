// The server program in a process of its own, for tests: started with the
// test's environment (its TRELVANE_HOME) and a few variables more, its
// standard output and error kept in files, watched for its class socket
// and for its end.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace trelvane::testing {

class ServerProcess {
public:
    // environment: "NAME=value" entries added to the test's own.
    ServerProcess(std::string program, std::vector<std::string> args = {"-Embedding"},
                  std::vector<std::string> environment = {});
    ~ServerProcess();  // kills it if it still runs
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    bool Start();
    // Waits until the class socket at path takes connections.
    bool WaitServing(const std::string& socketPath, std::chrono::milliseconds timeout);
    // Waits until the socket at path is gone (the class object withdrawn).
    bool WaitWithdrawn(const std::string& socketPath, std::chrono::milliseconds timeout);
    // Waits for the process to end: its exit status, or -1 when it did not
    // end in time (it then still runs) or ended by a signal.
    int Wait(std::chrono::milliseconds timeout);
    bool Running();
    void Kill();
    long Pid() const { return m_pid; }

    std::string Output() const;  // what it wrote to standard output
    std::string Errors() const;  // and to standard error

private:
    std::string m_program;
    std::vector<std::string> m_args;
    std::vector<std::string> m_environment;
    std::string m_outputPath;
    std::string m_errorsPath;
    long m_pid = -1;
    int m_status = -1;
};

// $TRELVANE_HOME/run/{CLSID}: where a server of the class listens.
std::string ClassSocketPath(const std::string& home, const std::string& clsidText);

}  // namespace trelvane::testing
