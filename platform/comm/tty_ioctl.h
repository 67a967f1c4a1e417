// The ioctl layer of the real-port backend. Every ioctl that the backend
// makes on its device goes through Ioctl(), so that tests can stand in for a
// serial driver (modem lines, counters, refusals) where only a
// pseudo-terminal is at hand.
#pragma once

namespace platform::tty {

// Same contract as ioctl(2): 0 or more on success, -1 with errno set.
using IoctlFunction = int (*)(int fd, unsigned long request, void* argument);

int Ioctl(int fd, unsigned long request, void* argument);

// Routes every later Ioctl() through function (null: the kernel's again) and
// returns the one used before. For tests; not to be changed while a port is
// open.
IoctlFunction SetIoctlForTesting(IoctlFunction function);

}  // namespace platform::tty
