#include "tests/support/reachable_program.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace trelvane::testing {

ReachableProgram::ReachableProgram(const std::string& program) {
    char pattern[] = "/tmp/trelvane-programs-XXXXXX";
    if (::mkdtemp(pattern) == nullptr || ::chmod(pattern, 0755) != 0) {
        m_error = std::string("cannot make a folder for ") + program + ": " + std::strerror(errno);
        return;
    }
    m_folder = pattern;
    const std::string path = m_folder + "/" + std::filesystem::path(program).filename().string();
    struct stat info {};
    if (::stat(program.c_str(), &info) != 0) {
        m_error = program + ": " + std::strerror(errno);
        return;
    }
    if ((info.st_mode & 0005) != 0005 || ::link(program.c_str(), path.c_str()) != 0) {
        std::error_code ec;
        std::filesystem::copy_file(program, path, ec);
        if (ec || ::chmod(path.c_str(), 0755) != 0) {
            m_error = "cannot copy " + program + " to " + path + ": " + (ec ? ec.message() : std::strerror(errno));
            return;
        }
    }
    m_path = path;
}

ReachableProgram::~ReachableProgram() {
    if (m_folder.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(m_folder, ec);
}

}  // namespace trelvane::testing
