// One simulator per port name. A lock file in $TRELVANE_HOME/run is held for
// the simulator's lifetime, so a second one on the same name is refused while
// a killed one leaves nothing that counts: the lock goes with its process,
// and the link and socket it left are recognised as stale and removed. A link
// that is not a simulator's (a real port, another program's line) is never
// touched.
#pragma once

#include <memory>
#include <string>

namespace trelvane::sim {

class PortClaim {
public:
    // Null with *error set when the name is taken or cannot be claimed; *note
    // tells of stale links removed.
    static std::unique_ptr<PortClaim> Take(const std::string& home, int port, std::string* error, std::string* note);
    ~PortClaim();
    PortClaim(const PortClaim&) = delete;
    PortClaim& operator=(const PortClaim&) = delete;

private:
    PortClaim(std::string lockPath, int fd) : m_lockPath(std::move(lockPath)), m_fd(fd) {}

    const std::string m_lockPath;
    const int m_fd;
};

}  // namespace trelvane::sim
