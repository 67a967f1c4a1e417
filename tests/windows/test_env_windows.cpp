// The private home and environment of a test on Windows. The home holds
// nothing the system reads (ports and registry are the prefix's): it is a
// fresh folder for what a test writes.
#include <atomic>
#include <cstdlib>
#include <filesystem>

#include "platform/windows.h"
#include "tests/support/test_env.h"

namespace trelvane::testing {

namespace {

std::string MakeTempFolder() {
    static std::atomic<int> made{0};
    const auto path = std::filesystem::temp_directory_path() /
                      ("trelvane-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++made));
    std::filesystem::create_directories(path);
    return path.string();
}

}  // namespace

TempHome::TempHome()
    : m_path(MakeTempFolder()),
      m_home("TRELVANE_HOME", m_path.c_str()),
      m_machineStore("TRELVANE_MACHINE_REGISTRY", (m_path + "/machine").c_str()) {}

TempHome::~TempHome() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

ScopedEnvironment::ScopedEnvironment(const std::string& name, const char* value) : m_name(name) {
    if (const char* previous = std::getenv(name.c_str())) {
        m_previous = previous;
        m_hadPrevious = true;
    }
    _putenv_s(name.c_str(), value ? value : "");  // an empty value removes the variable
}

ScopedEnvironment::~ScopedEnvironment() { _putenv_s(m_name.c_str(), m_hadPrevious ? m_previous.c_str() : ""); }

}  // namespace trelvane::testing
