#include "platform/comm/tty_ioctl.h"

#include <sys/ioctl.h>

#include <atomic>

namespace platform::tty {
namespace {

int KernelIoctl(int fd, unsigned long request, void* argument) { return ::ioctl(fd, request, argument); }

std::atomic<IoctlFunction> g_ioctl{KernelIoctl};

}  // namespace

int Ioctl(int fd, unsigned long request, void* argument) {
    return g_ioctl.load(std::memory_order_acquire)(fd, request, argument);
}

IoctlFunction SetIoctlForTesting(IoctlFunction function) {
    return g_ioctl.exchange(function ? function : KernelIoctl, std::memory_order_acq_rel);
}

}  // namespace platform::tty
