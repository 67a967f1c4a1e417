// CSerialSP: the channel to the start-post device. It opens the port the way
// the device needs it and turns each port event into calls of one callback.
#pragma once

#include "serial/serial_ex.h"

namespace trelvane {

// user data, value (line state, 0 for a timeout, or the received byte), text
// ("CTS", "DSR", "RLSD", "Timeout" or "Read: '%#x'"; valid during the call).
using PortEventCallback = void (*)(void* userData, BYTE value, const char* text);

class CSerialSP : public CSerialEx {
public:
    // What the start post is heard by: its bytes, the lines of the start
    // post (DSR), the finish post (CTS) and the battery test (RLSD), and line
    // errors. The owner applies it after OpenPort, before the listener starts.
    static constexpr DWORD DeviceEventMask = EV_RXCHAR | EV_CTS | EV_DSR | EV_RLSD | EV_BREAK | EV_ERR;

    CSerialSP() = default;
    ~CSerialSP() override;

    LONG Close() override;
    void OnPortEvent(DWORD events, DWORD errors) override;
    // Opens the port for the listener, and starts it unless the owner will
    // (StartListener), once it has set the port's event mask: a new mask
    // completes a wait that is out, and some systems fail that wait (995).
    [[nodiscard]] virtual LONG OpenPort(LPCWSTR device, bool startListener = true);

    // May be called while the listener runs: it sees the old pair or the new one.
    void SetCallback(PortEventCallback callback, void* userData) EXCLUDES(m_callbackLock);
    __timeb64 RlsdChangeTime() const EXCLUDES(m_callbackLock);

private:
    void Notify(BYTE value, const char* text) EXCLUDES(m_callbackLock);
    PortEventCallback Callback() const EXCLUDES(m_callbackLock);

    mutable platform::Mutex m_callbackLock;
    PortEventCallback m_callback GUARDED_BY(m_callbackLock) = nullptr;
    void* m_userData GUARDED_BY(m_callbackLock) = nullptr;
    __timeb64 m_rlsdChangeTime GUARDED_BY(m_callbackLock){};
};

}  // namespace trelvane
