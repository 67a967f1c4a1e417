// Where the simulator shows what happens: standard output, one line per
// record, as text or JSON. Several threads write; lines never mix.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "tools/sim/record.h"

namespace sim {

struct Outcome {
    bool ok = true;
    bool quit = false;            // the command ends the session
    std::string error;            // when not ok
    std::string text;             // what the command has to say (status, help), may span lines
    std::vector<Field> fields;    // the same for JSON
};

class Output {
public:
    Output(std::FILE* stream, bool json) : m_stream(stream), m_json(json) {}

    // Each returns false once the stream has failed (its reader went away).
    bool Write(const Record& record);
    bool WriteResult(const std::string& command, const Outcome& outcome);
    void Prompt(const std::string& prompt);
    bool Json() const { return m_json; }

private:
    bool WriteLine(const std::string& line);

    std::mutex m_mutex;
    std::FILE* const m_stream;
    const bool m_json;
    bool m_failed = false;
};

}  // namespace sim
