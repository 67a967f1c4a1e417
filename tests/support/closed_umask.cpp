// Each test program starts by closing what it makes to others, whatever the
// umask it was started with: the system trusts only files and folders that
// nobody but their user could have written, and under a group-writable
// umask (002) the tests' own homes would not be.
#include <sys/stat.h>

namespace {

[[maybe_unused]] const bool kClosed = [] {
    ::umask(::umask(0) | 022);
    return true;
}();

}  // namespace
