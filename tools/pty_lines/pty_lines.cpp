// Modem lines for pseudo-terminals, preloaded (LD_PRELOAD) into a program
// that drives a pty as a serial port: Wine's serial code asks for the lines
// on every port, and a pty has none, so its port-event waits, modem status
// and line changes fail. This answers the five line requests on pty slaves
// from files that the device side shares:
//   $TRELVANE_PTY_LINES/<N>.in    CTS, DSR, DCD and RI of /dev/pts/<N>, set
//                                 by the device side (replaced atomically)
//   $TRELVANE_PTY_LINES/<N>.out   DTR and RTS as the program last set them
// Each holds the TIOCM bits as a decimal number; a missing file reads as no
// line on. Any other descriptor or request goes to the system's ioctl. For
// tests only.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

namespace {

constexpr unsigned kInputLines = TIOCM_CTS | TIOCM_DSR | TIOCM_CAR | TIOCM_RNG;
constexpr unsigned kOutputLines = TIOCM_DTR | TIOCM_RTS;

using IoctlCall = int (*)(int, unsigned long, ...);

IoctlCall SystemIoctl() {
    static const auto call = reinterpret_cast<IoctlCall>(dlsym(RTLD_NEXT, "ioctl"));
    return call;
}

// The pty number of a slave (/dev/pts/<N>), or -1 for any other descriptor.
int PtyNumber(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return -1;
    const unsigned major = ::major(st.st_rdev);
    if (major < 136 || major > 143) return -1;  // the Unix98 pty slaves
    return static_cast<int>((major - 136) * 256 + ::minor(st.st_rdev));
}

std::string LinePath(const char* folder, int pty, const char* direction) {
    return std::string(folder) + "/" + std::to_string(pty) + "." + direction;
}

unsigned ReadLines(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char text[32] = {};
    const ssize_t got = read(fd, text, sizeof text - 1);
    close(fd);
    return got > 0 ? static_cast<unsigned>(std::strtoul(text, nullptr, 10)) : 0;
}

// Replaces the file at once, so that the device side never reads half of it.
int WriteLines(const std::string& path, unsigned lines) {
    const std::string temporary = path + "." + std::to_string(getpid()) + ".tmp";
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return -1;
    const std::string text = std::to_string(lines) + "\n";
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
        unlink(temporary.c_str());
        errno = EIO;
        return -1;
    }
    return 0;
}

std::mutex g_outputLock;  // read-modify-write of an output file

// Blocks until one of the input lines in mask changes, as TIOCMIWAIT does:
// woken by the device side's replacing the file, never by a timer.
int WaitForChange(const char* folder, int pty, unsigned mask) {
    const int watch = inotify_init1(IN_CLOEXEC);
    if (watch < 0) return -1;
    const std::string path = LinePath(folder, pty, "in");
    int result = -1;
    if (inotify_add_watch(watch, folder, IN_MOVED_TO | IN_CLOSE_WRITE) >= 0) {
        const unsigned start = ReadLines(path);
        for (;;) {
            if ((ReadLines(path) ^ start) & mask & kInputLines) {
                result = 0;
                break;
            }
            char events[4096];
            if (read(watch, events, sizeof events) < 0) break;  // EINTR ends the wait, as for a tty
        }
    }
    const int error = errno;
    close(watch);
    errno = error;
    return result;
}

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) __THROW {
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);

    const char* folder = std::getenv("TRELVANE_PTY_LINES");
    const bool lineRequest = request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC ||
                             request == TIOCMIWAIT;
    const int pty = folder && lineRequest ? PtyNumber(fd) : -1;
    if (pty < 0) return SystemIoctl()(fd, request, argument);

    if (request == TIOCMIWAIT)
        return WaitForChange(folder, pty, static_cast<unsigned>(reinterpret_cast<unsigned long>(argument)));
    auto* bits = static_cast<int*>(argument);
    if (!bits) {
        errno = EFAULT;
        return -1;
    }
    const std::string input = LinePath(folder, pty, "in"), output = LinePath(folder, pty, "out");
    std::lock_guard lock(g_outputLock);
    const unsigned out = ReadLines(output);
    const unsigned asked = static_cast<unsigned>(*bits) & kOutputLines;
    switch (request) {
    case TIOCMGET: *bits = static_cast<int>((ReadLines(input) & kInputLines) | (out & kOutputLines)); return 0;
    case TIOCMSET: return WriteLines(output, asked);
    case TIOCMBIS: return WriteLines(output, out | asked);
    default: return WriteLines(output, out & ~asked);  // TIOCMBIC
    }
}
