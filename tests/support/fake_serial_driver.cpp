#include "tests/support/fake_serial_driver.h"

#include <asm/termbits.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/comm/tty_ioctl.h"

namespace trelvane::testing {
namespace {

FakeSerialDriver* g_installed = nullptr;

}  // namespace

const int FakeSerialDriver::kCts = TIOCM_CTS;
const int FakeSerialDriver::kDsr = TIOCM_DSR;
const int FakeSerialDriver::kCar = TIOCM_CAR;
const int FakeSerialDriver::kRng = TIOCM_RNG;
const int FakeSerialDriver::kDtr = TIOCM_DTR;
const int FakeSerialDriver::kRts = TIOCM_RTS;
const unsigned long FakeSerialDriver::kGetState = TCGETS2;
const unsigned long FakeSerialDriver::kSetState = TCSETS2;
const unsigned long FakeSerialDriver::kExclusive = TIOCEXCL;
const unsigned long FakeSerialDriver::kGetLines = TIOCMGET;
const unsigned long FakeSerialDriver::kSetLines = TIOCMBIS;
const unsigned long FakeSerialDriver::kClearLines = TIOCMBIC;
const unsigned long FakeSerialDriver::kWaitLines = TIOCMIWAIT;
const unsigned long FakeSerialDriver::kCounters = TIOCGICOUNT;

FakeSerialDriver::FakeSerialDriver() {
    m_wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (g_installed || m_wake < 0) std::abort();
    g_installed = this;
    platform::tty::SetIoctlForTesting(&FakeSerialDriver::Call);
}

FakeSerialDriver::~FakeSerialDriver() {
    platform::tty::SetIoctlForTesting(nullptr);
    g_installed = nullptr;
    ::close(m_wake);
}

int FakeSerialDriver::Call(int fd, unsigned long request, void* argument) {
    return g_installed->Handle(fd, request, argument);
}

void FakeSerialDriver::HaveModemLines(bool have) {
    std::lock_guard lock(m_mutex);
    m_modemLines = have;
}

void FakeSerialDriver::HaveCounters(bool have) {
    std::lock_guard lock(m_mutex);
    m_counted = have;
}

void FakeSerialDriver::SetLines(int bits) {
    std::lock_guard lock(m_mutex);
    ChangeLinesLocked(bits);
}

void FakeSerialDriver::Bounce(int bit) {
    std::lock_guard lock(m_mutex);
    ChangeLinesLocked(m_lines ^ bit);
    ChangeLinesLocked(m_lines ^ bit);
}

void FakeSerialDriver::SetLinesAtNextWait(int bits) {
    std::lock_guard lock(m_mutex);
    m_linesAtNextWait = bits;
}

void FakeSerialDriver::CountLineErrors(int frame, int overrun, int parity, int breaks) {
    std::lock_guard lock(m_mutex);
    m_counters.frame += frame;
    m_counters.overrun += overrun;
    m_counters.parity += parity;
    m_counters.brk += breaks;
}

void FakeSerialDriver::ReadBackRate(std::uint32_t baud) {
    std::lock_guard lock(m_mutex);
    m_rate = baud;
}

void FakeSerialDriver::Fail(unsigned long request, int error, int after) {
    std::lock_guard lock(m_mutex);
    m_failures[request] = Failure{error, after};
}

int FakeSerialDriver::ControlLines() const {
    std::lock_guard lock(m_mutex);
    return m_control;
}

int FakeSerialDriver::Calls(unsigned long request) const {
    std::lock_guard lock(m_mutex);
    auto it = m_calls.find(request);
    return it == m_calls.end() ? 0 : it->second;
}

int FakeSerialDriver::WaitsEntered() const {
    std::lock_guard lock(m_mutex);
    return m_waits;
}

void FakeSerialDriver::ChangeLinesLocked(int bits) {
    const int changed = m_lines ^ bits;
    if (changed & TIOCM_CTS) ++m_counters.cts;
    if (changed & TIOCM_DSR) ++m_counters.dsr;
    if (changed & TIOCM_CAR) ++m_counters.car;
    if (changed & TIOCM_RNG) ++m_counters.rng;
    m_lines = bits;
    WakeWaiterLocked();
}

void FakeSerialDriver::WakeWaiterLocked() {
    const std::uint64_t one = 1;
    if (::write(m_wake, &one, sizeof one) < 0) std::abort();
}

bool FakeSerialDriver::FailsLocked(unsigned long request, int* error) {
    auto it = m_failures.find(request);
    if (it == m_failures.end()) return false;
    if (it->second.after > 0) {
        --it->second.after;
        return false;
    }
    *error = it->second.error;
    return true;
}

int FakeSerialDriver::Handle(int fd, unsigned long request, void* argument) {
    std::unique_lock lock(m_mutex);
    ++m_calls[request];
    int error = 0;
    if (FailsLocked(request, &error)) {
        errno = error;
        return -1;
    }
    const bool lineCall = request == TIOCMGET || request == TIOCMBIS || request == TIOCMBIC || request == TIOCMIWAIT;
    if ((lineCall && !m_modemLines) || (request == TIOCGICOUNT && !m_counted)) {
        errno = ENOTTY;
        return -1;
    }
    switch (request) {
    case TIOCMGET: *static_cast<int*>(argument) = m_lines | m_control; return 0;
    case TIOCMBIS: m_control |= *static_cast<int*>(argument) & (TIOCM_DTR | TIOCM_RTS); return 0;
    case TIOCMBIC: m_control &= ~*static_cast<int*>(argument); return 0;
    case TIOCGICOUNT: {
        auto* count = static_cast<serial_icounter_struct*>(argument);
        *count = serial_icounter_struct{};
        count->cts = m_counters.cts;
        count->dsr = m_counters.dsr;
        count->dcd = m_counters.car;
        count->rng = m_counters.rng;
        count->frame = m_counters.frame;
        count->overrun = m_counters.overrun;
        count->parity = m_counters.parity;
        count->brk = m_counters.brk;
        return 0;
    }
    case TIOCMIWAIT: lock.unlock(); return WaitForChange(reinterpret_cast<long>(argument));
    default: break;
    }
    lock.unlock();
    const int result = ::ioctl(fd, request, argument);  // the pseudo-terminal itself
    if (result == 0 && request == TCGETS2) {
        lock.lock();
        if (m_rate) {
            auto* t = static_cast<termios2*>(argument);
            t->c_ospeed = t->c_ispeed = m_rate;
        }
    }
    return result;
}

// As the kernel's: returns once one of the masked lines has changed since
// the wait began, or with EINTR when a signal comes.
int FakeSerialDriver::WaitForChange(long mask) {
    std::unique_lock lock(m_mutex);
    if (m_linesAtNextWait >= 0) {
        ChangeLinesLocked(m_linesAtNextWait);
        m_linesAtNextWait = -1;
    }
    const Counters start = m_counters;
    ++m_waits;
    for (;;) {
        if (((mask & TIOCM_CTS) && m_counters.cts != start.cts) ||
            ((mask & TIOCM_DSR) && m_counters.dsr != start.dsr) ||
            ((mask & TIOCM_CAR) && m_counters.car != start.car) || ((mask & TIOCM_RNG) && m_counters.rng != start.rng))
            return 0;
        lock.unlock();
        pollfd wake{m_wake, POLLIN, 0};
        const int ready = ::poll(&wake, 1, -1);
        const int pollError = errno;
        lock.lock();
        if (ready < 0 && pollError == EINTR) {
            errno = EINTR;
            return -1;
        }
        std::uint64_t value;
        while (::read(m_wake, &value, sizeof value) > 0) {
        }
    }
}

}  // namespace trelvane::testing
