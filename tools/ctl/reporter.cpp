#include "tools/ctl/reporter.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/ctl/options.h"

namespace trelvane::ctl {

void Reporter::WriteLine(const std::string& line) {
    if (m_outputFailed) return;
    if (std::fputs((line + "\n").c_str(), stdout) < 0 || std::fflush(stdout) != 0) {
        m_outputFailed = true;
        // A reader that went away on purpose (`| head`) is no failure worth a
        // word; any other one is said once.
        if (errno == EPIPE)
            m_readerGone = true;
        else
            std::fprintf(stderr, "trelvanectl: cannot write the output: %s\n", std::strerror(errno));
    }
}

void Reporter::Show(const tools::Record& record) {
    WriteLine(m_json ? tools::FormatJson(record) : tools::FormatText(record));
}

void Reporter::Reply(const std::string& event, const std::string& text, std::vector<tools::Field> fields) {
    Show({std::chrono::system_clock::now(), "reply", event, {}, text, std::move(fields)});
}

void Reporter::UsageError(const std::string& reason) {
    if (m_json) {
        Show(tools::UsageErrorRecord(reason, UsageLine()));
        return;
    }
    std::fprintf(stderr, "trelvanectl: %s\n%s\n", reason.c_str(), UsageLine().c_str());
}

void Reporter::Failure(const std::string& reason, const std::string& advice) {
    if (m_json) {
        tools::Record record{std::chrono::system_clock::now(), "error", "error", {}, reason, {}};
        if (!advice.empty()) record.fields.push_back({"advice", advice});
        Show(record);
        return;
    }
    std::fprintf(stderr, "trelvanectl: %s\n", reason.c_str());
    std::string indented;
    for (char c : advice) indented += c == '\n' ? std::string("\n  ") : std::string(1, c);
    if (!advice.empty()) std::fprintf(stderr, "  %s\n", indented.c_str());
}

}  // namespace trelvane::ctl
