// Where trelvanectl says what happens: events and replies on standard
// output, one line each with a time stamp (or one JSON object each);
// failures with what to do on standard error (or as an "error" object).
#pragma once

#include <string>
#include <vector>

#include "tools/common/record.h"

namespace trelvane::ctl {

class Reporter {
public:
    explicit Reporter(bool json) : m_json(json) {}

    void Show(const tools::Record& record);
    void Reply(const std::string& event, const std::string& text, std::vector<tools::Field> fields = {});
    void Failure(const std::string& reason, const std::string& advice = {});
    // A command line that does not parse: the reason and the usage line.
    void UsageError(const std::string& reason);
    // The reader of standard output went away (a closed pipe): nothing more
    // is shown, and a command that would go on should end.
    bool ReaderGone() const { return m_readerGone; }

private:
    void WriteLine(const std::string& line);

    const bool m_json;
    bool m_outputFailed = false;
    bool m_readerGone = false;
};

}  // namespace trelvane::ctl
