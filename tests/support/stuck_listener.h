// A socket that listens at a path and never accepts, its queue of
// connections full: a connect to it waits for room that never comes.
#pragma once

#include <string>
#include <vector>

namespace trelvane::testing {

class StuckListener {
public:
    explicit StuckListener(const std::string& path);
    ~StuckListener();
    StuckListener(const StuckListener&) = delete;
    StuckListener& operator=(const StuckListener&) = delete;

    // Listening, with its queue full.
    bool Ok() const { return m_full; }

private:
    int m_listener = -1;
    std::vector<int> m_queued;
    bool m_full = false;
};

}  // namespace trelvane::testing
