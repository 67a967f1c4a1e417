// A program of the build put where another user can run it. The checkout,
// and the build in it, may lie in a folder that user cannot enter (a home
// at 0700, a folder made by mktemp), so a test that starts a program as
// nobody starts it from a folder made for the purpose, open to everyone,
// outside the checkout.
#pragma once

#include <string>

namespace trelvane::testing {

class ReachableProgram {
public:
    // Hard-links program into the folder (or copies it, across file systems
    // or when its mode would keep others out). The programs of the build need
    // no file of the build at run time: their resources are linked in, and
    // the libraries they load are the system's.
    explicit ReachableProgram(const std::string& program);
    ~ReachableProgram();  // removes the folder; whoever ran the program has ended
    ReachableProgram(const ReachableProgram&) = delete;
    ReachableProgram& operator=(const ReachableProgram&) = delete;

    bool Ok() const { return !m_path.empty(); }
    // Where everyone may run it (empty when it could not be placed; Error says why).
    const std::string& Path() const { return m_path; }
    const std::string& Error() const { return m_error; }

private:
    std::string m_folder;
    std::string m_path;
    std::string m_error;
};

}  // namespace trelvane::testing
