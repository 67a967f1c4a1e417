// A peer that speaks to a class's socket by hand, to send what a proper
// client never would.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace trelvane::testing {

class RawPeer {
public:
    explicit RawPeer(const std::string& socketPath);
    ~RawPeer();
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;

    bool Connected() const { return m_fd >= 0; }
    bool Send(const std::vector<std::uint8_t>& bytes);
    // Says it will send nothing more (the other side reads an end).
    void CloseWrite();
    // Closes the connection at once, as the end of the process would.
    void Close();
    // One frame's body (without its length), or empty when none came in time.
    std::vector<std::uint8_t> ReadFrame(int timeoutMs);
    // Reads (and drops) until the other side closes; true when it did in time.
    bool WaitClosed(int timeoutMs);
    // Reads nothing, and tells whether the other side shut the connection in
    // time (a peer that drained what waits could keep the other side from
    // ever giving up on it).
    bool WaitShutDown(int timeoutMs);
    // Without waiting: drops what has come, and tells whether the other side
    // has closed.
    bool Closed();
    // Without waiting: whether anything has come that is not read yet.
    bool HasInput();

private:
    bool Fill(std::size_t count, int timeoutMs);

    int m_fd = -1;
    std::vector<std::uint8_t> m_in;
};

}  // namespace trelvane::testing
