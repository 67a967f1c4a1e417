// The backend-independent half of an open serial port: line state, the input
// and output queues, event history, and the outstanding overlapped operations.
// Each open port has one service thread that sleeps in poll() on the device
// descriptor and a wake-up descriptor, so an idle port costs no CPU. Reads and
// writes that can complete at once do so on the calling thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/comm/comm.h"
#include "platform/base/kernel_object.h"
#include "platform/base/sync.h"

namespace platform {

using Clock = std::chrono::steady_clock;

class CommPort : public KernelObject {
public:
    ~CommPort() override;

    // Starts the service thread; called once by CreateFileW after the backend
    // has opened its device.
    DWORD Start(bool overlapped);
    void OnLastHandleClosed() override;

    // The platform calls. Each returns 0 or a Win32 error code; the C entry
    // points turn that into BOOL and the thread's last error.
    DWORD GetState(DCB* dcb);
    DWORD SetState(const DCB& dcb);
    DWORD GetTimeouts(COMMTIMEOUTS* timeouts);
    DWORD SetTimeouts(const COMMTIMEOUTS& timeouts);
    DWORD SetMask(DWORD mask);
    DWORD GetMask(DWORD* mask);
    DWORD WaitEvent(DWORD* events, OVERLAPPED* overlapped);
    DWORD ClearError(DWORD* errors, COMSTAT* stat);
    DWORD ModemStatus(DWORD* status);
    DWORD Read(BYTE* buffer, DWORD length, DWORD* count, OVERLAPPED* overlapped);
    DWORD Write(const BYTE* buffer, DWORD length, DWORD* count, OVERLAPPED* overlapped);
    // Cancels the calling thread's operations (which == null), or the one
    // operation of any thread that uses which. ERROR_NOT_FOUND when there was
    // none such.
    DWORD Cancel(const OVERLAPPED* which);
    // Waits (without holding the port) until an OVERLAPPED with no event completes.
    void WaitForCompletion(const OVERLAPPED* overlapped);

protected:
    CommPort() = default;

    // Backend hooks. All but Fd(), Shutdown() and StartBackend() run with m_mutex held.
    virtual int Fd() const = 0;
    // The descriptor is readable or hung up: take in what it has. Returns 0, or
    // the error that means the device is gone.
    virtual DWORD ReceiveLocked() = 0;
    // Sends raw bytes of the output queue without blocking; *sent may be short.
    virtual DWORD SendLocked(const BYTE* data, std::size_t length, std::size_t* sent) = 0;
    // Appends the wire form of payload bytes to the output queue.
    virtual void FrameDataLocked(const BYTE* data, std::size_t length, std::vector<BYTE>& out) = 0;
    // Applies line settings and control lines; nothing changes on failure.
    // May wait on m_changed with the lock (the virtual line asks its device end).
    virtual DWORD ApplyStateLocked(std::unique_lock<std::mutex>& lock, const DCB& requested) = 0;
    virtual DWORD ModemStatusLocked(DWORD* status) = 0;
    // The line settings; by default those last applied.
    virtual DWORD GetStateLocked(DCB* dcb) {
        *dcb = m_dcb;
        return ERROR_SUCCESS;
    }
    // An error when the device refuses the next write, else 0.
    virtual DWORD WriteFaultLocked() { return ERROR_SUCCESS; }
    // Called once the service thread has ended: release the device.
    virtual void Shutdown() = 0;
    // Called once when the service thread has started (the tty starts its
    // modem watch here); a failure fails the open.
    virtual DWORD StartBackend() { return ERROR_SUCCESS; }

    // For backends, with m_mutex held.
    void AddInputLocked(const BYTE* data, std::size_t length);
    void ModemChangedLocked(DWORD newStatus);  // records each changed line as an event
    void LineErrorLocked(DWORD ceBits);
    void QueueRawLocked(const std::vector<BYTE>& bytes);  // control frames, in order with data
    void WakeService();
    void CompleteReadyLocked(Clock::time_point now);
    // ERROR_INVALID_HANDLE once closed, the removal error once the device is gone, else 0.
    DWORD CheckOpenLocked() const;

    std::mutex m_mutex;
    std::condition_variable m_changed;
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
        DWORD* events = nullptr;
    };

    void ServiceLoop();
    DWORD Begin(Op op, DWORD* syncCount, OVERLAPPED* callerOv);
    bool TryCompleteLocked(Op& op, Clock::time_point now);
    void FillReadsLocked(Clock::time_point now);
    void RecordEventLocked(DWORD bit);
    void CompleteLocked(Op& op, DWORD error, DWORD count);
    void FailAllLocked(DWORD error);
    void FlushLocked();
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
    std::vector<BYTE> m_input;  // received bytes not yet read
    std::vector<BYTE> m_output;  // wire bytes not yet sent
    std::vector<BYTE> m_frame;   // scratch for the wire form of one write
    std::uint64_t m_queuedTotal = 0, m_sentTotal = 0;
    std::list<Op> m_ops;
    int m_wakeFd = -1;
    std::thread m_service;
};

// The error code for an NTSTATUS-style completion status in OVERLAPPED::Internal.
DWORD StatusToError(ULONG_PTR status);

}  // namespace platform
