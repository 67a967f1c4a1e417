// A real serial device (or a pseudo-terminal standing in for one). Every
// ioctl goes through tty::Ioctl, where tests can put a serial driver of
// their own.
#include <fcntl.h>
#include <linux/serial.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/base/errno_map.h"
#include "platform/base/fd_io.h"
#include "platform/base/log.h"
#include "platform/comm/comm_backends.h"
#include "platform/comm/termios2.h"
#include "platform/comm/tty_ioctl.h"

namespace platform {
namespace {

// Drivers without TIOCMIWAIT (cp210x among them) have their modem lines read
// at this period instead; after every change the watcher also looks once
// more this long later.
constexpr auto kModemPollPeriod = std::chrono::milliseconds(50);
constexpr long kWatchedLines = TIOCM_CTS | TIOCM_DSR | TIOCM_CAR | TIOCM_RNG;

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

void* Arg(long value) { return reinterpret_cast<void*>(value); }

DWORD LinesToStatus(int lines) {
    DWORD status = 0;
    if (lines & TIOCM_CTS) status |= MS_CTS_ON;
    if (lines & TIOCM_DSR) status |= MS_DSR_ON;
    if (lines & TIOCM_CAR) status |= MS_RLSD_ON;
    if (lines & TIOCM_RNG) status |= MS_RING_ON;
    return status;
}

// TIOCMIWAIT waits for a change after the moment it is entered: a change
// between the watcher's last look and that moment would wait for the next
// one. After every change the watcher therefore has this alarm interrupt
// its wait once, a poll period later, and looks again.
class ReLookAlarm {
public:
    ReLookAlarm() {  // on the watcher thread, which the signal then targets
        sigevent event{};
        event.sigev_notify = SIGEV_THREAD_ID;
        event.sigev_signo = WakeSignal();
        event._sigev_un._tid = ::gettid();
        m_armed = ::timer_create(CLOCK_MONOTONIC, &event, &m_timer) == 0;
        if (!m_armed) log::Error(log::Channel::comm, "no re-look alarm for the modem lines: %s", std::strerror(errno));
    }
    ~ReLookAlarm() {
        if (m_armed) ::timer_delete(m_timer);
    }
    ReLookAlarm(const ReLookAlarm&) = delete;
    ReLookAlarm& operator=(const ReLookAlarm&) = delete;

    void Arm() {
        if (!m_armed) return;
        itimerspec when{};
        when.it_value.tv_nsec = std::chrono::nanoseconds(kModemPollPeriod).count();
        ::timer_settime(m_timer, 0, &when, nullptr);
    }

private:
    timer_t m_timer{};
    bool m_armed = false;
};

class TtyPort : public CommPort {
public:
    explicit TtyPort(int fd) : m_fd(fd) {}
    ~TtyPort() override { ReleaseDevice(); }

    DWORD Init() {
        if (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) return ErrnoToError(errno);
        if (tty::Ioctl(m_fd, TIOCEXCL, nullptr) != 0) return ErrnoToError(errno);
        m_exclusive = true;
        if (int error = tty::MakeRaw(m_fd)) return ErrnoToError(error);
        tty::LineConfig config;
        if (int error = tty::GetConfig(m_fd, &config)) return ErrnoToError(error);
        int lines = 0;
        m_hasModemLines = tty::Ioctl(m_fd, TIOCMGET, &lines) == 0;  // pseudo-terminals have none
        m_modemStatus = LinesToStatus(lines);
        m_hasCounters = tty::Ioctl(m_fd, TIOCGICOUNT, &m_counters) == 0;
        m_dcb.DCBlength = sizeof(DCB);
        SetLineFields(config, &m_dcb);
        m_dcb.fBinary = 1;
        m_dcb.fOutxCtsFlow = config.ctsFlow;
        m_dcb.fRtsControl =
            config.ctsFlow ? RTS_CONTROL_HANDSHAKE : ((lines & TIOCM_RTS) ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE);
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

    DWORD StartBackend() override {
        if (!m_hasModemLines) return ERROR_SUCCESS;
        InstallWakeHandler();
        try {
            m_watch = std::thread([this] { WatchModemLines(); });
        } catch (const std::system_error& error) {
            log::Error(log::Channel::comm, "cannot start the modem line watcher: %s", error.what());
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        return ERROR_SUCCESS;
    }

    DWORD ReceiveLocked(bool* tookIn) override {
        const DWORD error = ReadAvailable(m_fd, FdKind::Device, [this, tookIn](const BYTE* data, std::size_t length) {
            AddInputLocked(data, length);
            *tookIn = true;
        });
        // Line errors come with the bytes they spoiled (a break reads as a 0).
        if (*tookIn) CheckLineErrorsLocked();
        return error;
    }

    DWORD SendLocked(const BYTE* data, std::size_t length, std::size_t* sent) override {
        return WriteAvailable(m_fd, FdKind::Device, data, length, sent);
    }

    void FrameDataLocked(const BYTE* data, std::size_t length, std::vector<BYTE>& out) override {
        out.insert(out.end(), data, data + length);
    }

    // The line settings as the device holds them now; the rest of the block
    // is what was last applied.
    DWORD GetStateLocked(DCB* dcb) override {
        tty::LineConfig config;
        if (int error = tty::GetConfig(m_fd, &config)) return ErrnoToError(error);
        *dcb = m_dcb;
        SetLineFields(config, dcb);
        return ERROR_SUCCESS;
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
            log::Error(log::Channel::comm, "serial adapter cannot run at %u baud (it set %u)",
                       static_cast<unsigned>(requested.BaudRate), static_cast<unsigned>(actual));
            std::uint32_t ignored;
            tty::SetConfig(m_fd, previous, &ignored);
            return ERROR_INVALID_PARAMETER;
        }
        if (m_hasModemLines) {
            // One bit at a time: a read-modify-write could undo another thread's change.
            int dtr = TIOCM_DTR, rts = TIOCM_RTS;
            const bool dtrOn = requested.fDtrControl != DTR_CONTROL_DISABLE;
            const bool rtsOn = requested.fRtsControl != RTS_CONTROL_DISABLE;
            if (tty::Ioctl(m_fd, dtrOn ? TIOCMBIS : TIOCMBIC, &dtr) != 0 ||
                tty::Ioctl(m_fd, rtsOn ? TIOCMBIS : TIOCMBIC, &rts) != 0)
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
        if (tty::Ioctl(m_fd, TIOCMGET, &lines) != 0) return ErrnoToError(errno);
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
        if (m_fd >= 0) tty::FlushOutput(m_fd);  // close() would otherwise wait for slow output to drain
        ReleaseDevice();
    }

private:
    enum class Look { Quiet, Changed, Gone };

    static void SetLineFields(const tty::LineConfig& config, DCB* dcb) {
        dcb->BaudRate = config.baud;
        dcb->ByteSize = config.dataBits;
        dcb->Parity = config.parity;
        dcb->StopBits = config.stopBits;
        dcb->fParity = config.parityCheck;
    }

    // A tty that outlives our descriptor (a pseudo-terminal whose other side
    // stays open, a port that another process holds) keeps its exclusive
    // flag, and every later open by anyone but root would fail.
    void ReleaseDevice() {
        if (m_fd < 0) return;
        if (m_exclusive && tty::Ioctl(m_fd, TIOCNXCL, nullptr) != 0 && errno != EIO)
            log::Error(log::Channel::comm, "cannot release exclusive use of the port: %s", std::strerror(errno));
        ::close(m_fd);
        m_fd = -1;
    }

    // Compares the driver's cumulative counters with the last look.
    void CheckLineErrorsLocked() {
        if (!m_hasCounters) return;  // drivers without counters report no line errors
        serial_icounter_struct now{};
        if (tty::Ioctl(m_fd, TIOCGICOUNT, &now) != 0) return;
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

    // Waits in TIOCMIWAIT while the driver has it, and otherwise (or after
    // it failed in a way that does not mean the device is gone) reads the
    // lines every poll period.
    void WatchModemLines() {
        ReLookAlarm alarm;
        bool canWait = true;
        bool recent = true;  // the lines may have moved since Init looked at them
        while (!m_stopWatch.load()) {
            if (canWait) {
                if (recent) alarm.Arm();
                if (tty::Ioctl(m_fd, TIOCMIWAIT, Arg(kWatchedLines)) != 0 && errno != EINTR) {
                    const int error = errno;
                    if (error == EIO) break;  // unplugged: the service thread reports the removal
                    canWait = false;
                    if (error != ENOTTY && error != EINVAL)
                        log::Warning(log::Channel::comm, "modem line wait failed (%s); reading the lines every %d ms",
                                     std::strerror(error), static_cast<int>(kModemPollPeriod.count()));
                }
            } else {
                std::unique_lock lock(m_mutex);
                m_changed.wait_for(lock, kModemPollPeriod, [this] { return m_stopWatch.load(); });
            }
            if (m_stopWatch.load()) break;
            const Look look = LookAtModemLines();
            if (look == Look::Gone) break;
            recent = look == Look::Changed;
        }
        m_watchEnded.store(true);
        std::lock_guard lock(m_mutex);
        m_changed.notify_all();
    }

    // Records every line that changed since the last look as an event. A
    // line that changed and changed back in between still counts, where the
    // driver keeps counters.
    Look LookAtModemLines() {
        int lines = 0;
        if (tty::Ioctl(m_fd, TIOCMGET, &lines) != 0) {
            if (errno == EIO) return Look::Gone;
            if (!m_lineReadFailed)
                log::Error(log::Channel::comm, "cannot read the modem lines: %s", std::strerror(errno));
            m_lineReadFailed = true;
            return Look::Quiet;
        }
        serial_icounter_struct now{};
        const bool counted = m_hasCounters && tty::Ioctl(m_fd, TIOCGICOUNT, &now) == 0;
        std::lock_guard lock(m_mutex);
        const DWORD before = m_modemStatus;
        ModemChangedLocked(LinesToStatus(lines));
        const DWORD changed = before ^ m_modemStatus;
        bool counterMoved = false;
        if (counted) {
            DWORD bounced = 0;
            if (now.cts != m_counters.cts && !(changed & MS_CTS_ON)) bounced |= MS_CTS_ON;
            if (now.dsr != m_counters.dsr && !(changed & MS_DSR_ON)) bounced |= MS_DSR_ON;
            if (now.dcd != m_counters.dcd && !(changed & MS_RLSD_ON)) bounced |= MS_RLSD_ON;
            if (now.rng != m_counters.rng && !(changed & MS_RING_ON)) bounced |= MS_RING_ON;
            if (bounced) {
                ModemChangedLocked(m_modemStatus ^ bounced);
                ModemChangedLocked(m_modemStatus ^ bounced);
            }
            counterMoved = now.cts != m_counters.cts || now.dsr != m_counters.dsr || now.dcd != m_counters.dcd ||
                           now.rng != m_counters.rng;
            m_counters.cts = now.cts;
            m_counters.dsr = now.dsr;
            m_counters.dcd = now.dcd;
            m_counters.rng = now.rng;
        }
        if (!changed && !counterMoved) return Look::Quiet;
        CompleteReadyLocked(Clock::now());
        return Look::Changed;
    }

    int m_fd;
    bool m_exclusive = false;
    bool m_hasModemLines = false;
    bool m_hasCounters = false;
    bool m_lineReadFailed = false;  // the watcher's; logged once
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
    // A terminal of another user (a pseudo-terminal it made, behind a link
    // it planted) would feed the driver start numbers of that user's choosing
    // and read what the driver writes; devices belong to root.
    struct stat device {};
    if (::fstat(fd, &device) != 0) return ErrnoToError(errno);
    if (device.st_uid != ::geteuid() && device.st_uid != 0) {
        log::Error(log::Channel::comm, "%s belongs to user %ld, not to this one; not using it", path.c_str(),
                   static_cast<long>(device.st_uid));
        return ERROR_ACCESS_DENIED;
    }
    if (DWORD error = tty->Init()) return error;
    *port = std::move(tty);
    return ERROR_SUCCESS;
}

}  // namespace platform
