// Where the simulator shows what happens: standard output, one line per
// record, as text or JSON. Several threads write; lines never mix.
#pragma once

#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "tools/common/record.h"

namespace trelvane::sim {

struct Outcome {
    bool ok = true;
    bool quit = false;                 // the command ends the session
    std::string error;                 // when not ok
    std::string text;                  // what the command has to say (status, help), may span lines
    std::vector<tools::Field> fields;  // the same for JSON
};

class Output {
public:
    Output(std::FILE* stream, bool json) : m_stream(stream), m_json(json) {}

    // Each returns false once the stream has failed (its reader went away).
    bool Write(const tools::Record& record);
    bool WriteResult(const std::string& command, const Outcome& outcome);
    bool Json() const { return m_json; }
    // The stream failed because its reader went away (a closed pipe).
    bool ReaderGone();
    // Called once, by the writer that finds the reader gone, perhaps while
    // that writer holds locks of its own: the handler takes none. An empty
    // handler withdraws it.
    void OnReaderGone(std::function<void()> handler);

    // A prompt for a terminal, shown by show() while no line is written:
    // lines written while it shows go above it, and it is shown again below
    // them. EndPrompt when the answer has come.
    void Prompt(const std::string& prompt, const std::function<void()>& show);
    void EndPrompt();

private:
    bool WriteLine(const std::string& line);

    std::mutex m_mutex;
    std::FILE* const m_stream;
    const bool m_json;
    bool m_failed = false;
    bool m_readerGone = false;
    std::mutex m_handlerMutex;  // taken after m_mutex is released
    std::function<void()> m_onReaderGone;
    std::string m_prompt;  // showing now, or empty
};

}  // namespace trelvane::sim
