#include "tools/sim/output.h"

#include <cerrno>
#include <cstring>

namespace trelvane::sim {

bool Output::WriteLine(const std::string& line) {
    bool readerGoneNow = false;
    {
        std::lock_guard lock(m_mutex);
        if (m_failed) return false;
        // Over the prompt: back to the start of its line, and clear it.
        const std::string text = (m_prompt.empty() ? "" : "\r\x1b[K") + line + "\n" + m_prompt;
        if (std::fputs(text.c_str(), m_stream) >= 0 && std::fflush(m_stream) == 0) return true;
        m_failed = true;
        // A reader that went away on purpose (`| head`) is no failure worth a
        // word, but ends the run; any other failure is said once.
        if (errno == EPIPE)
            readerGoneNow = m_readerGone = true;
        else
            std::fprintf(stderr, "trelvane-sim: cannot write the output: %s\n", std::strerror(errno));
    }
    if (readerGoneNow) {
        std::lock_guard lock(m_handlerMutex);
        if (m_onReaderGone) m_onReaderGone();
    }
    return false;
}

void Output::OnReaderGone(std::function<void()> handler) {
    std::lock_guard lock(m_handlerMutex);  // so that a handler withdrawn is no longer running
    m_onReaderGone = std::move(handler);
}

bool Output::ReaderGone() {
    std::lock_guard lock(m_mutex);
    return m_readerGone;
}

bool Output::Write(const tools::Record& record) {
    return WriteLine(m_json ? tools::FormatJson(record) : tools::FormatText(record));
}

bool Output::WriteResult(const std::string& command, const Outcome& outcome) {
    tools::Record record{std::chrono::system_clock::now(),          "command", "result", {}, {},
                         {{"command", command}, {"ok", outcome.ok}}};
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

void Output::Prompt(const std::string& prompt, const std::function<void()>& show) {
    std::lock_guard lock(m_mutex);
    if (m_failed) return;
    m_prompt = prompt;
    std::fflush(m_stream);
    show();
}

void Output::EndPrompt() {
    std::lock_guard lock(m_mutex);
    m_prompt.clear();
}

}  // namespace trelvane::sim
