// CSerialEx: a CSerial with one listener thread that waits for port events
// and for an adjustable wait time, and hands each to the pure OnPortEvent.
#pragma once

#include <atomic>

#include "serial/serial.h"

namespace trelvane {

class CSerialEx : public CSerial {
public:
    // Reported alone when the listener waited m_listenTimeout ms with no port
    // event; the platform's event bits end at 0x1000.
    static constexpr DWORD ListenTimeoutFlag = 0x2000;

    CSerialEx() = default;
    ~CSerialEx() override;

    // The port is always opened overlapped; the fourth argument says whether
    // to start the listener at once.
    [[nodiscard]] LONG Open(LPCWSTR device, DWORD inQueue = 0, DWORD outQueue = 0, bool startListener = true) override;
    LONG Close() override;
    [[nodiscard]] virtual LONG StartListener();
    // Always succeeds: a listener that outlives the limit stays recorded.
    virtual LONG StopListener(DWORD timeout = INFINITE);
    // Called on the listener thread only, one call at a time.
    virtual void OnPortEvent(DWORD events, DWORD errors) = 0;

    // Takes effect at the listener's next wait.
    void SetListenTimeout(DWORD milliseconds) { m_listenTimeout.store(milliseconds, std::memory_order_relaxed); }
    // True when a listener is recorded but has ended by itself (the port
    // failed); *code is the result it ended with.
    bool ListenerEnded(DWORD* code);

protected:
    std::atomic<bool> m_stopRequested{false};
    HANDLE m_thread = nullptr;                 // the owner's thread only
    std::atomic<bool> m_comInListener{false};  // read by the listener as it starts
    // Made before the listener starts and closed after it has ended.
    HANDLE m_listenEvent = nullptr;
    std::atomic<DWORD> m_listenTimeout{INFINITE};

private:
    static DWORD ListenerThreadProc(LPVOID parameter);
    DWORD ListenerLoop();
    // After a signal that found the port-event wait not complete: whether its
    // result came (or a stop), looking for it for about a second.
    bool AwaitSignalledResult(OVERLAPPED& ov);
};

}  // namespace trelvane
