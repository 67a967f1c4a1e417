#include "platform/base/thread_priority.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {

bool RunBehindOtherThreads(log::Channel channel, const char* what) {
    const sched_param ordinary{};
    if (int error = ::pthread_setschedparam(::pthread_self(), SCHED_OTHER, &ordinary); error != 0) {
        log::Trace(channel, "%s keeps the process's scheduling policy: %s", what, std::strerror(error));
        return false;
    }
    if (::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 19) != 0) {
        log::Trace(channel, "%s keeps the process's priority: %s", what, std::strerror(errno));
        return false;
    }
    return true;
}

}  // namespace platform
