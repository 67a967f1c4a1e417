// Lines from standard input (or any descriptor), read so that a stop request
// ends the wait for the next one.
#pragma once

#include <optional>
#include <string>

#include "tools/sim/stop_flag.h"

namespace trelvane::sim {

class LineReader {
public:
    LineReader(int fd, const StopFlag& stop) : m_fd(fd), m_stop(stop) {}

    // The next line without its end; empty at the end of the input, on a
    // stop request, or when reading fails (then *error says why).
    std::optional<std::string> Next(std::string* error);

private:
    std::optional<std::string> TakeLine(bool atEnd);

    const int m_fd;
    const StopFlag& m_stop;
    std::string m_buffer;
    bool m_ended = false;
};

}  // namespace trelvane::sim
