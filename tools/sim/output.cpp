#include "tools/sim/output.h"

#include <cerrno>
#include <cstring>

namespace sim {

bool Output::WriteLine(const std::string& line) {
    std::lock_guard lock(m_mutex);
    if (m_failed) return false;
    // Over the prompt: back to the start of its line, and clear it.
    const std::string text = (m_prompt.empty() ? "" : "\r\x1b[K") + line + "\n" + m_prompt;
    if (std::fputs(text.c_str(), m_stream) < 0 || std::fflush(m_stream) != 0) {
        m_failed = true;
        std::fprintf(stderr, "trelvane-sim: cannot write the output: %s\n", std::strerror(errno));
    }
    return !m_failed;
}

bool Output::Write(const tools::Record& record) { return WriteLine(m_json ? tools::FormatJson(record) : tools::FormatText(record)); }

bool Output::WriteResult(const std::string& command, const Outcome& outcome) {
    tools::Record record{std::chrono::system_clock::now(), "command", "result", {}, {}, {{"command", command}, {"ok", outcome.ok}}};
    if (!outcome.ok) {
        record.text = command + ": " + outcome.error;
        record.fields.push_back({"error", outcome.error});
    } else {
        record.text = outcome.text.empty() ? command + ": done" : outcome.text;
    }
    if (m_json) {
        record.fields.insert(record.fields.end(), outcome.fields.begin(), outcome.fields.end());
        return WriteLine(tools::FormatJson(record));
    }
    // For people: failures with a time stamp, what a command has to say as it is,
    // and nothing for a command that just did what it was told.
    if (!outcome.ok) {
        record.source = "error";
        return WriteLine(tools::FormatText(record));
    }
    if (!outcome.text.empty()) return WriteLine(outcome.text);
    std::lock_guard lock(m_mutex);
    return !m_failed;
}

void Output::Prompt(const std::string& prompt) {
    std::lock_guard lock(m_mutex);
    if (m_failed) return;
    m_prompt = prompt;
    std::fputs(prompt.c_str(), m_stream);
    std::fflush(m_stream);
}

void Output::EndPrompt() {
    std::lock_guard lock(m_mutex);
    m_prompt.clear();
}

}  // namespace sim
