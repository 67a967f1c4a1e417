// A real serial device (or a pseudo-terminal standing in for one).
#include <fcntl.h>
#include <linux/serial.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/comm/comm_backends.h"
#include "platform/base/errno_map.h"
#include "platform/base/fd_io.h"
#include "platform/comm/termios2.h"

namespace platform {
namespace {

// Drivers without TIOCMIWAIT (cp210x among them) have their modem lines read
// at this period instead.
constexpr auto kModemPollPeriod = std::chrono::milliseconds(50);

// TIOCMIWAIT cannot be woken by close(); a signal whose handler was installed
// without SA_RESTART makes it return EINTR.
int WakeSignal() { return SIGRTMIN + 5; }

void InstallWakeHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action {};
        action.sa_handler = [](int) {};
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        sigaction(WakeSignal(), &action, nullptr);
    });
}

DWORD LinesToStatus(int lines) {
    DWORD status = 0;
    if (lines & TIOCM_CTS) status |= MS_CTS_ON;
    if (lines & TIOCM_DSR) status |= MS_DSR_ON;
    if (lines & TIOCM_CAR) status |= MS_RLSD_ON;
    if (lines & TIOCM_RNG) status |= MS_RING_ON;
    return status;
}

class TtyPort : public CommPort {
public:
    explicit TtyPort(int fd) : m_fd(fd) {}
    ~TtyPort() override {
        if (m_fd >= 0) ::close(m_fd);
    }

    DWORD Init() {
        if (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) return ErrnoToError(errno);
        if (::ioctl(m_fd, TIOCEXCL) != 0) return ErrnoToError(errno);
        if (int error = tty::MakeRaw(m_fd)) return ErrnoToError(error);
        tty::LineConfig config;
        if (int error = tty::GetConfig(m_fd, &config)) return ErrnoToError(error);
        int lines = 0;
        m_hasModemLines = ::ioctl(m_fd, TIOCMGET, &lines) == 0;  // pseudo-terminals have none
        m_modemStatus = LinesToStatus(lines);
        m_hasCounters = ::ioctl(m_fd, TIOCGICOUNT, &m_counters) == 0;
        m_dcb.DCBlength = sizeof(DCB);
        m_dcb.BaudRate = config.baud;
        m_dcb.ByteSize = config.dataBits;
        m_dcb.Parity = config.parity;
        m_dcb.StopBits = config.stopBits;
        m_dcb.fBinary = 1;
        m_dcb.fParity = config.parityCheck;
        m_dcb.fOutxCtsFlow = config.ctsFlow;
        m_dcb.fRtsControl = config.ctsFlow ? RTS_CONTROL_HANDSHAKE
                                           : ((lines & TIOCM_RTS) ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE);
        m_dcb.fDtrControl = (lines & TIOCM_DTR) ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
        m_dcb.fOutX = config.xonXoffOut;
        m_dcb.fInX = config.xonXoffIn;
        m_dcb.fTXContinueOnXoff = 1;
        m_dcb.XonLim = 2048;
        m_dcb.XoffLim = 512;
        m_dcb.XonChar = config.xonChar;
        m_dcb.XoffChar = config.xoffChar;
        return ERROR_SUCCESS;
    }

protected:
    int Fd() const override { return m_fd; }

    void StartBackend() override {
        if (!m_hasModemLines) return;
        InstallWakeHandler();
        m_watch = std::thread([this] { WatchModemLines(); });
    }

    DWORD ReceiveLocked() override {
        const DWORD error = ReadAvailable(m_fd, FdKind::Device, [this](const BYTE* data, std::size_t length) {
            AddInputLocked(data, length);
        });
        CheckLineErrorsLocked();
        return error;
    }

    DWORD SendLocked(const BYTE* data, std::size_t length, std::size_t* sent) override {
        return WriteAvailable(m_fd, FdKind::Device, data, length, sent);
    }

    void FrameDataLocked(const BYTE* data, std::size_t length, std::vector<BYTE>& out) override {
        out.insert(out.end(), data, data + length);
    }

    DWORD ApplyStateLocked(std::unique_lock<std::mutex>&, const DCB& requested) override {
        tty::LineConfig previous;
        if (int error = tty::GetConfig(m_fd, &previous)) return ErrnoToError(error);
        tty::LineConfig config;
        config.baud = requested.BaudRate;
        config.dataBits = requested.ByteSize;
        config.parity = requested.Parity;
        config.stopBits = requested.StopBits;
        config.parityCheck = requested.fParity;
        config.ctsFlow = requested.fOutxCtsFlow && requested.fRtsControl == RTS_CONTROL_HANDSHAKE;
        config.xonXoffOut = requested.fOutX;
        config.xonXoffIn = requested.fInX;
        config.xonChar = requested.XonChar;
        config.xoffChar = requested.XoffChar;
        std::uint32_t actual = 0;
        if (int error = tty::SetConfig(m_fd, config, &actual)) {
            std::uint32_t ignored;
            tty::SetConfig(m_fd, previous, &ignored);
            return ErrnoToError(error);
        }
        // Adapters may quietly round a rate they cannot run (cp210x raises
        // anything under 300 to 300): refuse it as the platform does.
        if (std::fabs(static_cast<double>(actual) - requested.BaudRate) > 0.02 * requested.BaudRate) {
            std::fprintf(stderr, "trelvane: serial adapter cannot run at %u baud (it set %u)\n",
                         static_cast<unsigned>(requested.BaudRate), static_cast<unsigned>(actual));
            std::uint32_t ignored;
            tty::SetConfig(m_fd, previous, &ignored);
            return ERROR_INVALID_PARAMETER;
        }
        if (m_hasModemLines) {
            // One bit at a time: a read-modify-write could undo another thread's change.
            const int dtr = TIOCM_DTR, rts = TIOCM_RTS;
            const bool dtrOn = requested.fDtrControl != DTR_CONTROL_DISABLE;
            const bool rtsOn = requested.fRtsControl != RTS_CONTROL_DISABLE;
            if (::ioctl(m_fd, dtrOn ? TIOCMBIS : TIOCMBIC, &dtr) != 0 ||
                ::ioctl(m_fd, rtsOn ? TIOCMBIS : TIOCMBIC, &rts) != 0)
                return ErrnoToError(errno);
        }
        return ERROR_SUCCESS;
    }

    DWORD ModemStatusLocked(DWORD* status) override {
        if (!m_hasModemLines) {
            *status = 0;
            return ERROR_SUCCESS;
        }
        int lines = 0;
        if (::ioctl(m_fd, TIOCMGET, &lines) != 0) return ErrnoToError(errno);
        *status = LinesToStatus(lines);
        return ERROR_SUCCESS;
    }

    void Shutdown() override {
        if (m_watch.joinable()) {
            m_stopWatch.store(true);
            // The signal can land just before the watcher enters its wait, so repeat it.
            while (!m_watchEnded.load()) {
                pthread_kill(m_watch.native_handle(), WakeSignal());
                std::unique_lock lock(m_mutex);
                m_changed.wait_for(lock, std::chrono::milliseconds(10), [this] { return m_watchEnded.load(); });
            }
            m_watch.join();
        }
        if (m_fd >= 0) {
            tty::FlushOutput(m_fd);  // close() would otherwise wait for slow output to drain
            ::close(m_fd);
            m_fd = -1;
        }
    }

private:
    // Compares the driver's cumulative counters with the last look.
    void CheckLineErrorsLocked() {
        if (!m_hasCounters) return;  // drivers without counters report no line errors
        serial_icounter_struct now{};
        if (::ioctl(m_fd, TIOCGICOUNT, &now) != 0) return;
        DWORD errors = 0;
        if (now.frame != m_counters.frame) errors |= CE_FRAME;
        if (now.overrun != m_counters.overrun || now.buf_overrun != m_counters.buf_overrun) errors |= CE_OVERRUN;
        if (now.parity != m_counters.parity) errors |= CE_RXPARITY;
        if (now.brk != m_counters.brk) errors |= CE_BREAK;
        m_counters.frame = now.frame;
        m_counters.overrun = now.overrun;
        m_counters.buf_overrun = now.buf_overrun;
        m_counters.parity = now.parity;
        m_counters.brk = now.brk;
        if (errors) LineErrorLocked(errors);
    }

    void WatchModemLines() {
        bool canWait = true;
        while (!m_stopWatch.load()) {
            if (canWait) {
                if (::ioctl(m_fd, TIOCMIWAIT, TIOCM_CTS | TIOCM_DSR | TIOCM_CAR | TIOCM_RNG) != 0) {
                    if (errno == EINTR) continue;
                    if (errno == ENOTTY || errno == EINVAL) {
                        canWait = false;
                        continue;
                    }
                    std::lock_guard lock(m_mutex);
                    std::fprintf(stderr, "trelvane: modem line wait failed: %s\n", std::strerror(errno));
                    break;
                }
            } else {
                std::unique_lock lock(m_mutex);
                m_changed.wait_for(lock, kModemPollPeriod);
                if (m_stopWatch.load()) break;
            }
            int lines = 0;
            if (::ioctl(m_fd, TIOCMGET, &lines) != 0) break;  // the service thread reports the removal
            std::lock_guard lock(m_mutex);
            const DWORD before = m_modemStatus;
            ModemChangedLocked(LinesToStatus(lines));
            // A line that changed and changed back between two looks still counts.
            serial_icounter_struct now{};
            if (m_hasCounters && ::ioctl(m_fd, TIOCGICOUNT, &now) == 0) {
                DWORD bounced = 0;
                if (now.cts != m_counters.cts && !((before ^ m_modemStatus) & MS_CTS_ON)) bounced |= MS_CTS_ON;
                if (now.dsr != m_counters.dsr && !((before ^ m_modemStatus) & MS_DSR_ON)) bounced |= MS_DSR_ON;
                if (now.dcd != m_counters.dcd && !((before ^ m_modemStatus) & MS_RLSD_ON)) bounced |= MS_RLSD_ON;
                if (bounced) {
                    ModemChangedLocked(m_modemStatus ^ bounced);
                    ModemChangedLocked(m_modemStatus ^ bounced);
                }
                m_counters.cts = now.cts;
                m_counters.dsr = now.dsr;
                m_counters.dcd = now.dcd;
                m_counters.rng = now.rng;
            }
            CompleteReadyLocked(Clock::now());
        }
        m_watchEnded.store(true);
        m_changed.notify_all();
    }

    int m_fd;
    bool m_hasModemLines = false;
    bool m_hasCounters = false;
    serial_icounter_struct m_counters{};
    std::thread m_watch;
    std::atomic<bool> m_stopWatch{false};
    std::atomic<bool> m_watchEnded{false};
};

}  // namespace

DWORD OpenTtyPort(const std::string& path, std::shared_ptr<CommPort>* port) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return ErrnoToError(errno);
    auto tty = std::make_shared<TtyPort>(fd);  // owns fd: every failure below closes it
    if (DWORD error = tty->Init()) return error;
    *port = std::move(tty);
    return ERROR_SUCCESS;
}

}  // namespace platform
