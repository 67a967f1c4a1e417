// The backend-independent half of an open serial port: line state, the input
// and output queues, event history, and the outstanding overlapped operations.
// The port has no thread of its own: operations that can complete at once do
// so on the calling thread, and a thread that waits for one to complete (in
// WaitForSingleObject on its event, or GetOverlappedResult) polls the device
// itself until it has, taking in what arrives for every operation on the
// way. A byte from the device therefore wakes the waiting thread directly,
// and an idle port costs no CPU.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <functional>
#include <optional>
#include <vector>

#include "platform/comm/comm.h"
#include "platform/base/kernel_object.h"
#include "platform/base/sync.h"

struct pollfd;

namespace platform {

using Clock = std::chrono::steady_clock;

class CommPort : public KernelObject, public EventDriver, public std::enable_shared_from_this<CommPort> {
public:
    ~CommPort() override;

    // Called once by CreateFileW after the backend has opened its device.
    [[nodiscard]] DWORD Start(bool overlapped);
    void OnLastHandleClosed() override;
    DWORD DriveUntilSet(EventObject& event, DWORD milliseconds) override;
    void EventSet() override { Kick(); }

    // The platform calls. Each returns 0 or a Win32 error code; the C entry
    // points turn that into BOOL and the thread's last error.
    [[nodiscard]] DWORD GetState(DCB* dcb);
    [[nodiscard]] DWORD SetState(const DCB& dcb);
    [[nodiscard]] DWORD GetTimeouts(COMMTIMEOUTS* timeouts);
    [[nodiscard]] DWORD SetTimeouts(const COMMTIMEOUTS& timeouts);
    [[nodiscard]] DWORD SetMask(DWORD mask);
    [[nodiscard]] DWORD GetMask(DWORD* mask);
    [[nodiscard]] DWORD WaitEvent(DWORD* events, OVERLAPPED* overlapped);
    [[nodiscard]] DWORD ClearError(DWORD* errors, COMSTAT* stat);
    [[nodiscard]] DWORD ModemStatus(DWORD* status);
    [[nodiscard]] DWORD Read(BYTE* buffer, DWORD length, DWORD* count, OVERLAPPED* overlapped);
    [[nodiscard]] DWORD Write(const BYTE* buffer, DWORD length, DWORD* count, OVERLAPPED* overlapped);
    // Cancels the calling thread's operations (which == null), or the one
    // operation of any thread that uses which. ERROR_NOT_FOUND when there was
    // none such.
    [[nodiscard]] DWORD Cancel(const OVERLAPPED* which);
    // Waits, driving the port, until the operation of overlapped completes.
    void WaitForCompletion(const OVERLAPPED* overlapped);
    // Takes in what the device has and completes what that makes ready.
    void TakeIn();

protected:
    CommPort() = default;

    // Backend hooks. All but Fd(), Shutdown() and StartBackend() run with m_mutex held.
    virtual int Fd() const = 0;
    // Takes in what the descriptor has, without waiting; *tookIn tells
    // whether there was anything. Returns 0, or the error that means the
    // device is gone.
    [[nodiscard]] virtual DWORD ReceiveLocked(bool* tookIn) = 0;
    // Sends raw bytes of the output queue without blocking; *sent may be short.
    [[nodiscard]] virtual DWORD SendLocked(const BYTE* data, std::size_t length, std::size_t* sent) = 0;
    // Appends the wire form of payload bytes to the output queue.
    virtual void FrameDataLocked(const BYTE* data, std::size_t length, std::vector<BYTE>& out) = 0;
    // Applies line settings and control lines; nothing changes on failure.
    // May drive the port with the lock for an answer (the virtual line asks
    // its device end).
    [[nodiscard]] virtual DWORD ApplyStateLocked(std::unique_lock<std::mutex>& lock, const DCB& requested) = 0;
    [[nodiscard]] virtual DWORD ModemStatusLocked(DWORD* status) = 0;
    // The line settings; by default those last applied.
    [[nodiscard]] virtual DWORD GetStateLocked(DCB* dcb) {
        *dcb = m_dcb;
        return ERROR_SUCCESS;
    }
    // An error when the device refuses the next write, else 0.
    [[nodiscard]] virtual DWORD WriteFaultLocked() { return ERROR_SUCCESS; }
    // Called once no thread drives the port any more: release the device.
    virtual void Shutdown() = 0;
    // Called once at the end of Start (the tty starts its modem watch here);
    // a failure fails the open.
    [[nodiscard]] virtual DWORD StartBackend() { return ERROR_SUCCESS; }

    // For backends, with m_mutex held.
    void AddInputLocked(const BYTE* data, std::size_t length);
    void ModemChangedLocked(DWORD newStatus);  // records each changed line as an event
    void LineErrorLocked(DWORD ceBits);
    void QueueRawLocked(const std::vector<BYTE>& bytes);  // control frames, in order with data
    // Makes every thread that drives the port look again (with m_mutex held or not).
    void Kick();
    void CompleteReadyLocked(Clock::time_point now);
    // Polls the device on the calling thread until done() holds (true), or
    // until the deadline passes or the port is closed (false).
    [[nodiscard]] bool DriveLocked(std::unique_lock<std::mutex>& lock, const std::function<bool()>& done,
                                   std::optional<Clock::time_point> until);
    // ERROR_INVALID_HANDLE once closed, the removal error once the device is gone, else 0.
    [[nodiscard]] DWORD CheckOpenLocked() const;

    std::mutex m_mutex;
    std::condition_variable m_changed;  // the last driver left; the tty's watcher ended
    DCB m_dcb{};
    DWORD m_modemStatus = 0;  // last known MS_ bits, kept by the backend

private:
    struct Op {
        enum class Kind { Read, Write, Wait } kind;
        OVERLAPPED* ov = nullptr;
        std::shared_ptr<EventObject> event;
        DWORD threadId = 0;
        BYTE* buffer = nullptr;
        DWORD length = 0;
        DWORD done = 0;
        std::optional<Clock::time_point> totalDeadline;
        DWORD interval = 0;
        std::optional<Clock::time_point> lastByte;
        bool firstByteCompletes = false;
        std::uint64_t endMark = 0;
        std::size_t queued = 0;  // a write's bytes on the wire, its framing included
        DWORD* events = nullptr;
    };

    // One look at the device after poll() returned.
    void ServeLocked(const pollfd* fds, int count, int ready, int pollErrno);
    // Takes in what the device has, completes what that makes ready, and
    // wakes the other threads that drive (what came may be what they wait for).
    void TakeInLocked();
    void RegisterPoller(int wakeFd);
    void UnregisterPoller(int wakeFd);
    [[nodiscard]] DWORD Begin(Op op, DWORD* syncCount, OVERLAPPED* callerOv);
    bool TryCompleteLocked(Op& op, Clock::time_point now);
    void FillReadsLocked(Clock::time_point now);
    void RecordEventLocked(DWORD bit);
    void CompleteLocked(Op& op, DWORD error, DWORD count);
    void FailAllLocked(DWORD error);
    void FlushLocked();
    // Takes a cancelled write's bytes back out of the output when none of
    // them has gone out yet.
    void WithdrawLocked(const Op& write);
    DWORD ReadyEventsLocked() const;
    void TookInputLocked();
    std::optional<Clock::time_point> NextDeadlineLocked() const;

    bool m_overlapped = false;
    bool m_closed = false;
    DWORD m_removed = 0;  // error that ended the device, 0 while it works
    COMMTIMEOUTS m_timeouts{};
    DWORD m_mask = 0;
    DWORD m_history = 0;
    DWORD m_errors = 0;
    std::vector<BYTE> m_input;   // received bytes not yet read
    std::vector<BYTE> m_output;  // wire bytes not yet sent
    std::vector<BYTE> m_frame;   // scratch for the wire form of one write
    std::uint64_t m_queuedTotal = 0, m_sentTotal = 0;
    std::list<Op> m_ops;
    int m_drivers = 0;  // threads inside DriveLocked
    // The wake-up descriptors of the threads now in poll(); its own lock,
    // taken inside m_mutex or alone.
    std::mutex m_pollerLock;
    std::vector<int> m_pollers;
};

// The error code for an NTSTATUS-style completion status in OVERLAPPED::Internal.
DWORD StatusToError(ULONG_PTR status);

}  // namespace platform
