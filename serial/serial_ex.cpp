#include "serial/serial_ex.h"

namespace trelvane {

CSerialEx::~CSerialEx() {
    if (m_thread || m_listenEvent) CSerialEx::Close();
}

LONG CSerialEx::Open(LPCWSTR device, DWORD inQueue, DWORD outQueue, bool startListener) {
    if (LONG result = CSerial::Open(device, inQueue, outQueue, true)) return result;
    m_listenEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!m_listenEvent) {
        const DWORD error = GetLastError();
        CSerial::Close();
        return Fail(error);
    }
    if (startListener) {
        if (const LONG result = StartListener()) {
            Close();  // nothing stays open, as for the other failures of Open
            return Fail(static_cast<DWORD>(result));
        }
    }
    return 0;
}

LONG CSerialEx::Close() {
    StopListener(INFINITE);
    if (m_listenEvent) {
        CloseHandle(m_listenEvent);
        m_listenEvent = nullptr;
    }
    return CSerial::Close();
}

LONG CSerialEx::StartListener() {
    if (!m_thread) {
        m_thread = CreateThread(nullptr, 0, ListenerThreadProc, this, 0, nullptr);
        if (!m_thread) return Fail(GetLastError());
    }
    ClearError();
    return 0;
}

LONG CSerialEx::StopListener(DWORD timeout) {
    if (m_thread) {
        m_stopRequested.store(true);
        // Re-applying the mask completes an outstanding port-event wait; the
        // event also ends a listener that is between two waits. A port that
        // refuses the mask has gone, and its wait has failed already.
        (void)SetEventMask(GetEventMask());
        if (m_listenEvent) SetEvent(m_listenEvent);
        if (WaitForSingleObject(m_thread, timeout) == WAIT_OBJECT_0) {
            m_stopRequested.store(false);
            CloseHandle(m_thread);
            m_thread = nullptr;
        }
        // A listener that outlives a finite limit keeps its stop request and
        // stays recorded; the next StopListener waits for it again.
    }
    ClearError();
    return 0;
}

bool CSerialEx::ListenerEnded(DWORD* code) {
    if (!m_thread || WaitForSingleObject(m_thread, 0) != WAIT_OBJECT_0) return false;
    if (!GetExitCodeThread(m_thread, code)) *code = GetLastError();
    return true;
}

DWORD CSerialEx::ListenerThreadProc(LPVOID parameter) { return static_cast<CSerialEx*>(parameter)->ListenerLoop(); }

bool CSerialEx::AwaitSignalledResult(OVERLAPPED& ov) {
    constexpr int kTries = 1000;  // about a second
    DWORD ignored = 0;
    for (int i = 0; i < kTries && !m_stopRequested.load(); ++i) {
        if (GetOverlappedResult(m_port, &ov, &ignored, FALSE) || GetLastError() != ERROR_IO_INCOMPLETE) return true;
        Sleep(1);
    }
    return m_stopRequested.load();
}

DWORD CSerialEx::ListenerLoop() {
    if (m_comInListener) CoInitialize(nullptr);
    OVERLAPPED ov{};
    bool outstanding = false;  // a port-event wait survives an expired listen bound
    DWORD result = 0;
    for (;;) {
        if (!outstanding) {
            ResetEvent(m_listenEvent);
            if (m_stopRequested.load()) break;  // a stop that found no wait to complete
            ov = OVERLAPPED{};
            ov.hEvent = m_listenEvent;
            // The code as this call returned it: the owner's thread may store
            // another one in the port object meanwhile.
            if (const LONG failed = WaitForPortEvent(&ov, INFINITE)) {
                result = static_cast<DWORD>(failed);
                break;
            }
            outstanding = true;
            // Starting the wait resets the event, so a stop that came after the
            // check above is seen here, or else its new mask completes this wait.
            if (m_stopRequested.load()) break;
        }
        const DWORD waited = WaitForSingleObject(m_listenEvent, m_listenTimeout.load(std::memory_order_relaxed));
        if (waited == WAIT_TIMEOUT) {
            OnPortEvent(ListenTimeoutFlag, 0);
        } else if (waited != WAIT_OBJECT_0) {
            result = GetLastError();
            Fail(result);
            break;
        } else {
            if (m_stopRequested.load()) break;
            DWORD ignored = 0;
            if (!GetOverlappedResult(m_port, &ov, &ignored, FALSE)) {
                const DWORD error = GetLastError();
                if (error == ERROR_IO_INCOMPLETE) {
                    // Signalled while the wait goes on. A stop is seen at the
                    // top of the loop. Under Wine the signal may also come a
                    // moment before the result, or from the wait before, and
                    // then the wait may never complete: its result is awaited
                    // for a while, then it is cancelled and started afresh (a
                    // new wait completes at once for bytes already there).
                    if (AwaitSignalledResult(ov)) continue;
                    if (CancelIoEx(m_port, &ov)) GetOverlappedResult(m_port, &ov, &ignored, TRUE);
                    if (GetOverlappedResult(m_port, &ov, &ignored, FALSE)) {
                        SetEvent(m_listenEvent);  // it completed meanwhile: handled at the next turn
                        continue;
                    }
                    const DWORD failure = GetLastError();
                    if (failure != ERROR_OPERATION_ABORTED && failure != ERROR_IO_INCOMPLETE) {
                        outstanding = false;
                        result = failure;
                        Fail(failure);
                        break;
                    }
                    platform::log::Warning(platform::log::Channel::comm,
                                           "a port-event wait was signalled but did not complete within a "
                                           "second; it is started afresh");
                    outstanding = false;  // cancelled, or never the port's
                    continue;
                }
                outstanding = false;
                result = error;  // the port failed, for example the device was removed
                Fail(error);
                break;
            }
            outstanding = false;
            const DWORD events = m_eventMask.load() & m_eventFlags;
            m_eventFlags = 0;
            DWORD errors = 0;
            if (!ClearCommError(m_port, &errors, nullptr)) Fail(GetLastError());
            if (events != 0) OnPortEvent(events, errors);
        }
        if (m_stopRequested.load()) break;
    }
    if (outstanding) {
        // Leave no wait behind for a later listener on the same port.
        DWORD ignored = 0;
        CancelIoEx(m_port, &ov);
        GetOverlappedResult(m_port, &ov, &ignored, TRUE);
    }
    if (m_comInListener) platform::LeaveThreadApartment();
    return result;
}

}  // namespace trelvane
