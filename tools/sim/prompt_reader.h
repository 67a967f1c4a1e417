// Lines typed at the simulator's prompt, with line editing and a history
// kept across runs (libedit), read so that a stop request ends the wait for
// the next one.
#pragma once

#include <optional>
#include <string>

#include "tools/sim/stop_flag.h"

namespace trelvane::sim {

class PromptReader {
public:
    // historyPath: where the history is read from now and written to at the
    // end; empty keeps none.
    PromptReader(const StopFlag& stop, std::string historyPath);
    ~PromptReader();
    PromptReader(const PromptReader&) = delete;
    PromptReader& operator=(const PromptReader&) = delete;

    // Shows the prompt; call it where nothing else writes at the same time.
    void ShowPrompt(const std::string& prompt);
    // The next line without its end; empty at the end of the input (Ctrl-D),
    // on a stop request, or when reading fails (then *error says why).
    std::optional<std::string> Next(std::string* error);

private:
    const StopFlag& m_stop;
    const std::string m_historyPath;
};

}  // namespace trelvane::sim
