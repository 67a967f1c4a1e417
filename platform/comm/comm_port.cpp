#include "platform/comm/comm_port.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/base/errno_map.h"
#include "platform/base/log.h"

namespace platform {
namespace {

constexpr std::size_t kInputCapacity = 4096;
constexpr ULONG_PTR STATUS_SUCCESS = 0;
constexpr ULONG_PTR STATUS_CANCELLED = 0xC0000120;

ULONG_PTR ErrorToStatus(DWORD error) {
    if (error == ERROR_SUCCESS) return STATUS_SUCCESS;
    if (error == ERROR_OPERATION_ABORTED) return STATUS_CANCELLED;
    return 0xC0070000 | (error & 0xFFFF);  // NTSTATUS_FROM_WIN32
}

std::atomic_ref<ULONG_PTR> StatusOf(OVERLAPPED* ov) { return std::atomic_ref<ULONG_PTR>(ov->Internal); }

// The completion signal of synchronous operations: one per thread, so that
// operations of two threads never complete each other's waits.
std::shared_ptr<EventObject> ThreadEvent() {
    thread_local auto event = std::make_shared<EventObject>(true, false);
    return event;
}

// The wake-up descriptor of the calling thread, for the ports it drives;
// -1 when none could be made.
int ThreadWakeFd() {
    struct Holder {
        int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        Holder() {
            if (fd < 0) log::Error(log::Channel::comm, "no wake-up descriptor for a thread: %s", std::strerror(errno));
        }
        ~Holder() {
            if (fd >= 0) ::close(fd);
        }
    };
    thread_local Holder holder;
    return holder.fd;
}

}  // namespace

DWORD StatusToError(ULONG_PTR status) {
    if (status == STATUS_SUCCESS) return ERROR_SUCCESS;
    if (status == STATUS_CANCELLED) return ERROR_OPERATION_ABORTED;
    if ((status & 0xFFFF0000) == 0xC0070000) return static_cast<DWORD>(status & 0xFFFF);
    return ERROR_GEN_FAILURE;
}

CommPort::~CommPort() = default;

DWORD CommPort::Start(bool overlapped) {
    m_overlapped = overlapped;
    return StartBackend();
}

void CommPort::OnLastHandleClosed() {
    {
        std::lock_guard lock(m_mutex);
        m_closed = true;
        FailAllLocked(ERROR_OPERATION_ABORTED);
    }
    Kick();
    // No thread may still poll the descriptor when the backend closes it.
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return m_drivers == 0; });
    }
    Shutdown();
}

void CommPort::RegisterPoller(int wakeFd) {
    std::lock_guard lock(m_pollerLock);
    m_pollers.push_back(wakeFd);
}

void CommPort::UnregisterPoller(int wakeFd) {
    std::lock_guard lock(m_pollerLock);
    m_pollers.erase(std::find(m_pollers.begin(), m_pollers.end(), wakeFd));
}

void CommPort::Kick() {
    const std::uint64_t one = 1;
    std::lock_guard lock(m_pollerLock);
    for (int fd : m_pollers)
        if (::write(fd, &one, sizeof one) < 0 && errno != EAGAIN)
            log::Error(log::Channel::comm, "cannot wake a thread waiting on a serial port: %s", std::strerror(errno));
}

DWORD CommPort::DriveUntilSet(EventObject& event, DWORD milliseconds) {
    const auto start = Clock::now();
    std::optional<Clock::time_point> until;
    if (milliseconds != INFINITE) until = start + std::chrono::milliseconds(milliseconds);
    std::unique_lock lock(m_mutex);
    if (DriveLocked(
            lock, [&event] { return event.TryTake(); }, until))
        return WAIT_OBJECT_0;
    if (!m_closed) return WAIT_TIMEOUT;
    lock.unlock();
    // The port closed, and this event was not one of its operations' (those
    // are set): whoever sets it now does so without the port.
    if (!until) return event.WaitUndriven(INFINITE);
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*until - Clock::now()).count();
    return event.WaitUndriven(static_cast<DWORD>(std::max<long long>(left, 0)));
}

// A thread registers its wake-up descriptor before it looks at done(): a
// Kick (an event set by another thread) either comes before the look, or
// finds the descriptor and makes the poll return.
bool CommPort::DriveLocked(std::unique_lock<std::mutex>& lock, const std::function<bool()>& done,
                           std::optional<Clock::time_point> until) {
    // Without a wake-up descriptor of its own (none could be made) a thread
    // looks again every few milliseconds instead.
    const int wakeFd = ThreadWakeFd();
    constexpr int kUnwokenLookMs = 10;
    ++m_drivers;
    struct Leave {
        CommPort* port;
        ~Leave() {
            if (--port->m_drivers == 0) port->m_changed.notify_all();
        }
    } leave{this};
    // Even a wait whose time is up looks at the device once: what it has
    // sent before the wait began counts.
    bool looked = false;
    for (;;) {
        if (wakeFd >= 0) RegisterPoller(wakeFd);
        const auto now = Clock::now();
        const bool met = done();  // only once: it takes the signal of an auto-reset event
        if (met || m_closed || (until && now >= *until && looked)) {
            if (wakeFd >= 0) UnregisterPoller(wakeFd);
            return met;
        }
        std::optional<Clock::time_point> wakeAt = NextDeadlineLocked();
        if (until && (!wakeAt || *until < *wakeAt)) wakeAt = until;
        pollfd fds[2] = {{wakeFd, POLLIN, 0}, {Fd(), 0, 0}};
        int count = 1;
        if (!m_removed) {  // a removed device would report POLLHUP for ever
            fds[1].events = static_cast<short>(POLLIN | (m_output.empty() ? 0 : POLLOUT));
            count = 2;
        }
        int timeout = wakeFd >= 0 ? -1 : kUnwokenLookMs;
        if (wakeAt) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*wakeAt - now).count();
            timeout = static_cast<int>(std::clamp<long long>(left, 0, timeout < 0 ? 60'000 : timeout));
        }
        lock.unlock();
        const int ready = ::poll(fds, static_cast<nfds_t>(count), timeout);
        const int pollErrno = errno;
        if (wakeFd >= 0) UnregisterPoller(wakeFd);
        lock.lock();
        ServeLocked(fds, count, ready, pollErrno);
        looked = true;
    }
}

void CommPort::ServeLocked(const pollfd* fds, int count, int ready, int pollErrno) {
    if (ready < 0 && pollErrno != EINTR) {
        log::Error(log::Channel::comm, "poll on serial port failed: %s", std::strerror(pollErrno));
        m_removed = ErrnoToError(pollErrno);
        FailAllLocked(m_removed);
        return;
    }
    if (fds[0].revents & POLLIN) {
        std::uint64_t value;
        while (::read(fds[0].fd, &value, sizeof value) > 0) {
        }
    }
    if (count == 2 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) TakeInLocked();
    if (count == 2 && !m_removed && (fds[1].revents & POLLOUT)) FlushLocked();
    CompleteReadyLocked(Clock::now());
}

void CommPort::TakeInLocked() {
    if (m_closed || m_removed) return;
    bool tookIn = false;
    if (DWORD error = ReceiveLocked(&tookIn)) {
        m_removed = error;
        FailAllLocked(error);
        Kick();
        return;
    }
    FlushLocked();
    if (!tookIn) return;
    CompleteReadyLocked(Clock::now());
    Kick();
}

void CommPort::TakeIn() {
    std::lock_guard lock(m_mutex);
    TakeInLocked();
    CompleteReadyLocked(Clock::now());  // deadlines that have passed
}

DWORD CommPort::CheckOpenLocked() const {
    if (m_closed) return ERROR_INVALID_HANDLE;
    return m_removed;
}

void CommPort::RecordEventLocked(DWORD bit) {
    if (m_mask & bit) m_history |= bit;
}

void CommPort::AddInputLocked(const BYTE* data, std::size_t length) {
    if (length == 0) return;
    const std::size_t room = kInputCapacity - std::min(kInputCapacity, m_input.size());
    if (length > room) {
        m_errors |= CE_RXOVER;
        length = room;
    }
    if (log::Tracing(log::Channel::comm))
        log::Trace(log::Channel::comm, "read %zu byte(s): %s", length, log::Hex(data, length).c_str());
    m_input.insert(m_input.end(), data, data + length);
    RecordEventLocked(EV_RXCHAR);
    if ((m_mask & EV_RXFLAG) && std::find(data, data + length, static_cast<BYTE>(m_dcb.EvtChar)) != data + length)
        RecordEventLocked(EV_RXFLAG);
}

void CommPort::ModemChangedLocked(DWORD newStatus) {
    const DWORD changed = m_modemStatus ^ newStatus;
    if (changed) log::Trace(log::Channel::comm, "modem lines 0x%02X", static_cast<unsigned>(newStatus));
    m_modemStatus = newStatus;
    if (changed & MS_CTS_ON) RecordEventLocked(EV_CTS);
    if (changed & MS_DSR_ON) RecordEventLocked(EV_DSR);
    if (changed & MS_RLSD_ON) RecordEventLocked(EV_RLSD);
    if (changed & MS_RING_ON) RecordEventLocked(EV_RING);
}

void CommPort::LineErrorLocked(DWORD ceBits) {
    m_errors |= ceBits;
    if (ceBits & CE_BREAK) RecordEventLocked(EV_BREAK);
    if (ceBits & (CE_FRAME | CE_OVERRUN | CE_RXPARITY)) RecordEventLocked(EV_ERR);
}

void CommPort::QueueRawLocked(const std::vector<BYTE>& bytes) {
    m_output.insert(m_output.end(), bytes.begin(), bytes.end());
    m_queuedTotal += bytes.size();
    FlushLocked();
    if (!m_output.empty()) Kick();  // to add the device's room to their poll
}

void CommPort::FlushLocked() {
    if (m_output.empty() || m_removed) return;
    std::size_t sent = 0;
    if (DWORD error = SendLocked(m_output.data(), m_output.size(), &sent)) {
        m_removed = error;
        FailAllLocked(error);
        return;
    }
    m_output.erase(m_output.begin(), m_output.begin() + static_cast<std::ptrdiff_t>(sent));
    m_sentTotal += sent;
    if (m_output.empty()) RecordEventLocked(EV_TXEMPTY);
}

// The device never gets what its writer was told has failed. A write that
// has begun to go out goes out whole: the virtual line's messages must not
// be cut.
void CommPort::WithdrawLocked(const Op& write) {
    const std::uint64_t start = write.endMark - write.queued;
    if (write.queued == 0 || m_sentTotal > start) return;
    const auto from = m_output.begin() + static_cast<std::ptrdiff_t>(start - m_sentTotal);
    m_output.erase(from, from + static_cast<std::ptrdiff_t>(write.queued));
    m_queuedTotal -= write.queued;
    for (Op& later : m_ops)
        if (later.kind == Op::Kind::Write && later.endMark > start) later.endMark -= write.queued;
}

DWORD CommPort::ReadyEventsLocked() const { return m_history & m_mask; }

void CommPort::TookInputLocked() {
    // A read that leaves bytes behind reports them as received again, so that
    // a reader that takes one byte per event is told about the rest. A reader
    // that takes nothing is told once per arrival, never in a loop.
    if (!m_input.empty()) RecordEventLocked(EV_RXCHAR);
}

void CommPort::FillReadsLocked(Clock::time_point now) {
    for (auto& op : m_ops) {
        if (m_input.empty()) return;
        if (op.kind != Op::Kind::Read) continue;
        const std::size_t take = std::min<std::size_t>(m_input.size(), op.length - op.done);
        if (take == 0) return;  // reads are served in order: a full one completes first
        std::memcpy(op.buffer + op.done, m_input.data(), take);
        m_input.erase(m_input.begin(), m_input.begin() + static_cast<std::ptrdiff_t>(take));
        op.done += static_cast<DWORD>(take);
        op.lastByte = now;
        TookInputLocked();
    }
}

bool CommPort::TryCompleteLocked(Op& op, Clock::time_point now) {
    switch (op.kind) {
    case Op::Kind::Read: {
        const bool immediate = m_timeouts.ReadIntervalTimeout == MAXDWORD &&
                               m_timeouts.ReadTotalTimeoutMultiplier == 0 && m_timeouts.ReadTotalTimeoutConstant == 0;
        const bool done = op.done == op.length || immediate || (op.firstByteCompletes && op.done > 0) ||
                          (op.totalDeadline && now >= *op.totalDeadline) ||
                          (op.interval && op.lastByte && now - *op.lastByte >= std::chrono::milliseconds(op.interval));
        if (!done) return false;
        CompleteLocked(op, ERROR_SUCCESS, op.done);
        return true;
    }
    case Op::Kind::Write:
        if (m_sentTotal < op.endMark) return false;
        CompleteLocked(op, ERROR_SUCCESS, op.length);
        return true;
    case Op::Kind::Wait: {
        const DWORD bits = ReadyEventsLocked();
        if (bits == 0) return false;
        *op.events = bits;
        m_history = 0;
        CompleteLocked(op, ERROR_SUCCESS, 0);
        return true;
    }
    }
    return false;
}

void CommPort::CompleteReadyLocked(Clock::time_point now) {
    FillReadsLocked(now);
    for (auto it = m_ops.begin(); it != m_ops.end();) {
        if (TryCompleteLocked(*it, now))
            it = m_ops.erase(it);
        else
            ++it;
    }
}

void CommPort::CompleteLocked(Op& op, DWORD error, DWORD count) {
    op.ov->InternalHigh = count;
    StatusOf(op.ov).store(ErrorToStatus(error), std::memory_order_release);
    if (op.event) op.event->Set();  // wakes a thread that drives for it elsewhere
}

void CommPort::FailAllLocked(DWORD error) {
    for (auto& op : m_ops) {
        if (op.kind == Op::Kind::Wait) *op.events = 0;
        CompleteLocked(op, error, op.kind == Op::Kind::Read ? op.done : 0);
    }
    m_ops.clear();
}

std::optional<Clock::time_point> CommPort::NextDeadlineLocked() const {
    std::optional<Clock::time_point> next;
    auto consider = [&next](Clock::time_point t) {
        if (!next || t < *next) next = t;
    };
    for (const auto& op : m_ops) {
        if (op.kind != Op::Kind::Read) continue;
        if (op.totalDeadline) consider(*op.totalDeadline);
        if (op.interval && op.lastByte) consider(*op.lastByte + std::chrono::milliseconds(op.interval));
    }
    return next;
}

DWORD CommPort::Begin(Op op, DWORD* syncCount, OVERLAPPED* callerOv) {
    if (syncCount) *syncCount = 0;
    OVERLAPPED local{};
    if (m_overlapped) {
        if (callerOv == nullptr) return ERROR_INVALID_PARAMETER;
        op.ov = callerOv;
        if (callerOv->hEvent) {
            op.event = LookUpHandleAs<EventObject>(callerOv->hEvent);
            if (!op.event) return ERROR_INVALID_HANDLE;
        }
    } else {
        op.ov = &local;  // a synchronous handle waits below, so the frame outlives the operation
        op.event = ThreadEvent();
    }
    op.threadId = GetCurrentThreadId();

    std::unique_lock lock(m_mutex);
    if (DWORD error = CheckOpenLocked()) return error;
    // What the device has already sent counts before this operation (its
    // bytes, its events, a fault it reports): take it in, unless what is
    // here already serves.
    if ((op.kind == Op::Kind::Read && m_input.size() < op.length) ||
        (op.kind == Op::Kind::Wait && ReadyEventsLocked() == 0) || op.kind == Op::Kind::Write) {
        TakeInLocked();
        if (DWORD error = CheckOpenLocked()) return error;
    }
    const auto now = Clock::now();
    bool wake = false;
    switch (op.kind) {
    case Op::Kind::Read: {
        const COMMTIMEOUTS& t = m_timeouts;
        const bool anyReadPending =
            std::any_of(m_ops.begin(), m_ops.end(), [](const Op& o) { return o.kind == Op::Kind::Read; });
        if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
            t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != MAXDWORD) {
            op.firstByteCompletes = true;
            op.totalDeadline = now + std::chrono::milliseconds(t.ReadTotalTimeoutConstant);
        } else {
            if (t.ReadTotalTimeoutMultiplier || t.ReadTotalTimeoutConstant) {
                const std::uint64_t total =
                    std::uint64_t{t.ReadTotalTimeoutMultiplier} * op.length + t.ReadTotalTimeoutConstant;
                op.totalDeadline = now + std::chrono::milliseconds(std::min<std::uint64_t>(total, MAXDWORD));
            }
            if (t.ReadIntervalTimeout != MAXDWORD) op.interval = t.ReadIntervalTimeout;
        }
        if (!anyReadPending && !m_input.empty()) {
            const std::size_t take = std::min<std::size_t>(m_input.size(), op.length);
            std::memcpy(op.buffer, m_input.data(), take);
            m_input.erase(m_input.begin(), m_input.begin() + static_cast<std::ptrdiff_t>(take));
            op.done = static_cast<DWORD>(take);
            if (take) op.lastByte = now;
            TookInputLocked();
        }
        wake = op.totalDeadline.has_value() || op.interval;
        break;
    }
    case Op::Kind::Write: {
        if (DWORD error = WriteFaultLocked()) return error;
        m_frame.clear();
        FrameDataLocked(op.buffer, op.length, m_frame);
        std::size_t sent = 0;
        if (m_output.empty() && !m_frame.empty()) {
            if (DWORD error = SendLocked(m_frame.data(), m_frame.size(), &sent)) {
                m_removed = error;
                FailAllLocked(error);
                return error;
            }
        }
        m_output.insert(m_output.end(), m_frame.begin() + static_cast<std::ptrdiff_t>(sent), m_frame.end());
        m_sentTotal += sent;
        m_queuedTotal += m_frame.size();
        op.endMark = m_queuedTotal;
        op.queued = m_frame.size();
        if (m_output.empty() && !m_frame.empty()) RecordEventLocked(EV_TXEMPTY);
        wake = !m_output.empty();
        break;
    }
    case Op::Kind::Wait:
        if (m_mask == 0 ||
            std::any_of(m_ops.begin(), m_ops.end(), [](const Op& o) { return o.kind == Op::Kind::Wait; }))
            return ERROR_INVALID_PARAMETER;
        *op.events = 0;
        break;
    }

    if (op.event) op.event->Reset();
    op.ov->InternalHigh = 0;
    StatusOf(op.ov).store(STATUS_PENDING, std::memory_order_relaxed);
    if (TryCompleteLocked(op, now)) {
        const DWORD count = static_cast<DWORD>(op.ov->InternalHigh);
        const DWORD error = StatusToError(StatusOf(op.ov).load(std::memory_order_relaxed));
        lock.unlock();
        if (syncCount) *syncCount = count;
        return error;
    }
    if (op.event) op.event->DriveBy(weak_from_this());  // whoever waits for it drives the port
    m_ops.push_back(std::move(op));
    OVERLAPPED* ov = m_ops.back().ov;
    auto event = m_ops.back().event;
    lock.unlock();
    if (wake) Kick();  // a thread that drives must heed a new deadline or the output
    if (m_overlapped) return ERROR_IO_PENDING;
    event->Wait(INFINITE);
    if (syncCount) *syncCount = static_cast<DWORD>(ov->InternalHigh);
    return StatusToError(StatusOf(ov).load(std::memory_order_acquire));
}

DWORD CommPort::Read(BYTE* buffer, DWORD length, DWORD* count, OVERLAPPED* overlapped) {
    if (buffer == nullptr && length) return ERROR_INVALID_USER_BUFFER;
    Op op;
    op.kind = Op::Kind::Read;
    op.buffer = buffer;
    op.length = length;
    return Begin(std::move(op), count, overlapped);
}

DWORD CommPort::Write(const BYTE* buffer, DWORD length, DWORD* count, OVERLAPPED* overlapped) {
    if (buffer == nullptr && length) return ERROR_INVALID_USER_BUFFER;
    Op op;
    op.kind = Op::Kind::Write;
    if (buffer && log::Tracing(log::Channel::comm))
        log::Trace(log::Channel::comm, "write %u byte(s): %s", static_cast<unsigned>(length),
                   log::Hex(buffer, length).c_str());
    op.buffer = const_cast<BYTE*>(buffer);  // only read from
    op.length = length;
    return Begin(std::move(op), count, overlapped);
}

DWORD CommPort::WaitEvent(DWORD* events, OVERLAPPED* overlapped) {
    if (events == nullptr) return ERROR_INVALID_PARAMETER;
    Op op;
    op.kind = Op::Kind::Wait;
    op.events = events;
    return Begin(std::move(op), nullptr, overlapped);
}

DWORD CommPort::Cancel(const OVERLAPPED* which) {
    const DWORD self = GetCurrentThreadId();
    std::lock_guard lock(m_mutex);
    if (m_closed) return ERROR_INVALID_HANDLE;
    bool found = false;
    for (auto it = m_ops.begin(); it != m_ops.end();) {
        if (which ? it->ov != which : it->threadId != self) {
            ++it;
            continue;
        }
        if (it->kind == Op::Kind::Wait) *it->events = 0;
        if (it->kind == Op::Kind::Write) WithdrawLocked(*it);
        CompleteLocked(*it, ERROR_OPERATION_ABORTED, it->kind == Op::Kind::Read ? it->done : 0);
        it = m_ops.erase(it);
        found = true;
    }
    return found || which == nullptr ? ERROR_SUCCESS : ERROR_NOT_FOUND;
}

void CommPort::WaitForCompletion(const OVERLAPPED* overlapped) {
    auto* ov = const_cast<OVERLAPPED*>(overlapped);
    auto completed = [ov] { return StatusOf(ov).load(std::memory_order_acquire) != STATUS_PENDING; };
    std::unique_lock lock(m_mutex);
    // Without a deadline it stops short only when the port is closed, and a
    // close completes every operation.
    (void)DriveLocked(lock, completed, std::nullopt);
}

DWORD CommPort::GetState(DCB* dcb) {
    std::lock_guard lock(m_mutex);
    if (DWORD error = CheckOpenLocked()) return error;
    if (DWORD error = GetStateLocked(dcb)) return error;
    dcb->DCBlength = sizeof(DCB);
    return ERROR_SUCCESS;
}

DWORD CommPort::SetState(const DCB& dcb) {
    // The checks the platform's serial driver makes before it touches the line.
    const bool bad = dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > SPACEPARITY ||
                     dcb.StopBits > TWOSTOPBITS || (dcb.StopBits == ONE5STOPBITS && dcb.ByteSize != 5) ||
                     (dcb.StopBits == TWOSTOPBITS && dcb.ByteSize == 5) || dcb.fDtrControl > DTR_CONTROL_HANDSHAKE ||
                     ((dcb.fOutX || dcb.fInX) && dcb.XonChar == dcb.XoffChar);
    if (bad) return ERROR_INVALID_PARAMETER;
    std::unique_lock lock(m_mutex);
    if (DWORD error = CheckOpenLocked()) return error;
    if (DWORD error = ApplyStateLocked(lock, dcb)) return error;
    m_dcb = dcb;
    m_dcb.DCBlength = sizeof(DCB);
    return ERROR_SUCCESS;
}

DWORD CommPort::GetTimeouts(COMMTIMEOUTS* timeouts) {
    std::lock_guard lock(m_mutex);
    if (DWORD error = CheckOpenLocked()) return error;
    *timeouts = m_timeouts;
    return ERROR_SUCCESS;
}

DWORD CommPort::SetTimeouts(const COMMTIMEOUTS& timeouts) {
    std::lock_guard lock(m_mutex);
    if (DWORD error = CheckOpenLocked()) return error;
    if (timeouts.ReadIntervalTimeout == MAXDWORD && timeouts.ReadTotalTimeoutMultiplier == MAXDWORD &&
        timeouts.ReadTotalTimeoutConstant == MAXDWORD)
        return ERROR_INVALID_PARAMETER;
    m_timeouts = timeouts;
    return ERROR_SUCCESS;
}

DWORD CommPort::SetMask(DWORD mask) {
    std::lock_guard lock(m_mutex);
    if (DWORD error = CheckOpenLocked()) return error;
    m_mask = mask;
    // Events already recorded that the new mask still selects are kept, as the
    // platform's serial drivers keep them; a new mask completes the
    // outstanding event wait with no bits.
    m_history &= mask;
    for (auto it = m_ops.begin(); it != m_ops.end(); ++it) {
        if (it->kind != Op::Kind::Wait) continue;
        *it->events = 0;
        CompleteLocked(*it, ERROR_SUCCESS, 0);
        m_ops.erase(it);
        break;
    }
    return ERROR_SUCCESS;
}

DWORD CommPort::GetMask(DWORD* mask) {
    std::lock_guard lock(m_mutex);
    if (DWORD error = CheckOpenLocked()) return error;
    *mask = m_mask;
    return ERROR_SUCCESS;
}

DWORD CommPort::ClearError(DWORD* errors, COMSTAT* stat) {
    std::lock_guard lock(m_mutex);
    if (DWORD error = CheckOpenLocked()) return error;
    if (errors) *errors = m_errors;
    m_errors = 0;
    if (stat) {
        *stat = COMSTAT{};
        stat->cbInQue = static_cast<DWORD>(m_input.size());
        stat->cbOutQue = static_cast<DWORD>(m_queuedTotal - m_sentTotal);
    }
    return ERROR_SUCCESS;
}

DWORD CommPort::ModemStatus(DWORD* status) {
    std::lock_guard lock(m_mutex);
    TakeInLocked();  // the virtual line's line changes come as messages
    if (DWORD error = CheckOpenLocked()) return error;
    return ModemStatusLocked(status);
}

}  // namespace platform
