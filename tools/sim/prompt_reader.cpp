#include "tools/sim/prompt_reader.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <editline/readline.h>

namespace trelvane::sim {
namespace {

constexpr int kHistoryLength = 1000;

// The callback interface hands the line to a plain function: it is kept here
// until Next takes it. Only one reader runs at a time (the session's thread).
struct Received {
    bool done = false;
    std::optional<std::string> line;
};
Received g_received;

void TakeLine(char* line) {
    g_received.done = true;
    if (line) {
        g_received.line = line;
        if (*line) add_history(line);
        std::free(line);
    } else {
        g_received.line.reset();  // Ctrl-D on an empty line
    }
    rl_callback_handler_remove();
}

}  // namespace

PromptReader::PromptReader(const StopFlag& stop, std::string historyPath)
    : m_stop(stop), m_historyPath(std::move(historyPath)) {
    using_history();
    stifle_history(kHistoryLength);
    if (!m_historyPath.empty()) read_history(m_historyPath.c_str());  // none yet is no failure
}

PromptReader::~PromptReader() {
    rl_callback_handler_remove();  // gives the terminal its settings back
    if (!m_historyPath.empty() && write_history(m_historyPath.c_str()) != 0)
        std::fprintf(stderr, "trelvane-sim: cannot keep the history in %s\n", m_historyPath.c_str());
}

void PromptReader::ShowPrompt(const std::string& prompt) {
    g_received = {};
    rl_callback_handler_install(prompt.c_str(), TakeLine);
}

std::optional<std::string> PromptReader::Next(std::string* error) {
    while (!g_received.done) {
        if (m_stop.Raised()) return std::nullopt;
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {m_stop.Fd(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            *error = std::string("poll: ") + std::strerror(errno);
            return std::nullopt;
        }
        if (fds[1].revents & POLLIN) return std::nullopt;
        if (fds[0].revents & (POLLERR | POLLNVAL)) {
            *error = "the terminal failed";
            return std::nullopt;
        }
        if (fds[0].revents & (POLLIN | POLLHUP)) rl_callback_read_char();
    }
    return g_received.line;
}

}  // namespace trelvane::sim
