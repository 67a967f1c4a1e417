// A thread whose work can wait steps aside for the process's other threads.
#pragma once

#include "platform/base/log.h"

namespace platform {

// Lowers the calling thread to the lowest priority of the ordinary policy,
// also when the process runs at a real-time one: it then runs only where
// the others leave room, and never takes the processor that a woken thread
// of the server or of a client needs. False, traced on channel with what
// the thread is, when it keeps its priority as it is.
bool RunBehindOtherThreads(log::Channel channel, const char* what);

}  // namespace platform
