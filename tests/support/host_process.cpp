#include "tests/support/host_process.h"

#include <chrono>

namespace trelvane::testing {

HostProcess::HostProcess(std::string program, std::vector<std::string> args, bool asNobody)
    : m_argv{std::move(program)}, m_asNobody(asNobody) {
    m_argv.insert(m_argv.end(), args.begin(), args.end());
}

bool HostProcess::Start(int timeoutMs) {
    m_child = std::make_unique<ChildProcess>(m_argv, ChildProcess::Options{m_asNobody});
    if (!m_child->Started()) return false;
    std::size_t from = 0;
    const auto ready = m_child->WaitForLine([](const std::string& line) { return line == "ready"; },
                                            std::chrono::milliseconds(timeoutMs), &from);
    for (const auto& line : m_child->OutputLines()) m_output += line + "\n";
    return ready.has_value();
}

std::string HostProcess::Errors() { return m_child ? m_child->ErrorText() : ""; }

int HostProcess::Stop(int timeoutMs) {
    if (!m_child) return -1;
    m_child->CloseInput();
    const auto status = m_child->Wait(std::chrono::milliseconds(timeoutMs));
    if (!status) {
        Kill();
        return -1;
    }
    m_child.reset();
    return *status;
}

void HostProcess::Kill() {
    if (!m_child) return;
    m_child->Kill();
    m_child->Wait(std::chrono::seconds(10));
    m_child.reset();
}

}  // namespace trelvane::testing
