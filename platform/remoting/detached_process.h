// Starting a program as a process of its own: a server that activation
// starts must outlive the client that started it and must not be its child.
#pragma once

#include <string>
#include <vector>

#include "platform/objects/com_base.h"

namespace platform::remoting {

struct DetachedProcess {
    long pid = 0;
    // Readable once the process has ended; -1 when it had ended and been
    // reaped before it could be opened. The caller closes it.
    int pidfd = -1;
};

// Runs argv (the program path first, run as given, without a search of
// PATH) in a new session: standard input from /dev/null, standard output and
// error appended to logFd, the root folder as working folder, every signal
// at its default and unblocked, and none of our descriptors open (all of
// them are closed on exec). A second fork leaves the process to init (or the
// nearest subreaper) to reap, never to us. S_OK with its pid and pidfd; the
// platform's error as an HRESULT when it cannot be started, e.g.
// HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) for a program that is missing.
HRESULT StartDetachedProcess(const std::vector<std::string>& argv, int logFd, DetachedProcess* out);

}  // namespace platform::remoting
