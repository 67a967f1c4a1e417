// A stop request that a thread blocked in poll() can wait for beside its
// descriptors, and that threads waiting otherwise can test.
#pragma once

#include <atomic>

namespace trelvane::sim {

class StopFlag {
public:
    StopFlag();
    ~StopFlag();
    StopFlag(const StopFlag&) = delete;
    StopFlag& operator=(const StopFlag&) = delete;

    void Raise();
    void Wait() const;  // until raised
    bool Raised() const { return m_raised.load(); }
    int Fd() const { return m_fd; }  // readable once raised

private:
    std::atomic<bool> m_raised{false};
    int m_fd;
};

}  // namespace trelvane::sim
