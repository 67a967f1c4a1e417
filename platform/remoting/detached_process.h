// Starting a program as a process of its own: a server that activation
// starts must outlive the client that started it and must not be its child.
#pragma once

#include <string>
#include <vector>

#include "platform/objects/com_base.h"

namespace platform::remoting {

struct DetachedProcess {
    long pid = 0;
    int pidfd = -1;  // readable once the process has ended; the caller closes it
};

// What the program is started with: argv (the program path first, run as
// given, without a search of PATH); our environment, where the entries of
// extraEnvironment ("NAME=value") replace those of the same name; standard
// output and error appended to logFd; and, when passFd is not -1, passFd
// as its descriptor 3.
struct ProcessStart {
    std::vector<std::string> argv;
    std::vector<std::string> extraEnvironment;
    int logFd = -1;
    int passFd = -1;
};

// Runs a program in a new session: standard input from /dev/null, the root
// folder as working folder, every signal at its default and unblocked, and
// none of our other descriptors open (all of them are closed on exec). It is
// started from a go-between that ends at once, which leaves it to init (or
// the nearest subreaper) to reap, never to us. Returns once its exec has
// failed or can no longer fail: S_OK with its pid and pidfd, or the
// platform's error as an HRESULT, e.g. HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)
// for a program that is missing.
HRESULT StartDetachedProcess(const ProcessStart& start, DetachedProcess* out);

}  // namespace platform::remoting
