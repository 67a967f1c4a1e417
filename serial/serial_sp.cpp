#include "serial/serial_sp.h"

#include <cstdio>

namespace trelvane {

CSerialSP::~CSerialSP() {
    // The listener must not call into a half-destroyed object; an open
    // without a listener leaves its listen event to close.
    if (m_thread || m_listenEvent) CSerialEx::Close();
}

LONG CSerialSP::Close() { return CSerialEx::Close(); }

LONG CSerialSP::OpenPort(LPCWSTR device, bool startListener) {
    m_comInListener = true;
    return CSerialEx::Open(device, 0, 0, startListener);
}

void CSerialSP::SetCallback(PortEventCallback callback, void* userData) {
    platform::MutexLock lock(m_callbackLock);
    m_callback = callback;
    m_userData = userData;
}

__timeb64 CSerialSP::RlsdChangeTime() const {
    platform::MutexLock lock(m_callbackLock);
    return m_rlsdChangeTime;
}

PortEventCallback CSerialSP::Callback() const {
    platform::MutexLock lock(m_callbackLock);
    return m_callback;
}

void CSerialSP::Notify(BYTE value, const char* text) {
    PortEventCallback callback;
    void* userData;
    {
        platform::MutexLock lock(m_callbackLock);
        callback = m_callback;
        userData = m_userData;
    }
    if (callback) callback(userData, value, text);
}

void CSerialSP::OnPortEvent(DWORD events, DWORD /*errors*/) {
    // Lines are sampled now, not at the moment they changed.
    if ((events & EV_CTS) && Callback()) Notify(IsCtsOn() ? 1 : 0, "CTS");
    if ((events & EV_DSR) && Callback()) Notify(IsDsrOn() ? 1 : 0, "DSR");
    if (events & EV_RLSD) {
        __timeb64 now{};
        _ftime64_s(&now);
        {
            platform::MutexLock lock(m_callbackLock);
            m_rlsdChangeTime = now;
        }
        if (Callback()) Notify(IsRlsdOn() ? 1 : 0, "RLSD");
    }
    if (events & ListenTimeoutFlag) Notify(0, "Timeout");
    if (events & EV_RXCHAR) {
        // One byte per event, read (and so consumed) also with no callback;
        // the port reads non-blocking, so this returns at once.
        BYTE byte = 0;
        DWORD count = 0;
        // A failed read leaves its code in the port object and no byte to report.
        if (Read(&byte, 1, &count, nullptr, INFINITE) == 0 && count == 1) {
            char text[100];
            std::snprintf(text, sizeof text, "Read: '%#x'", static_cast<unsigned>(byte));
            Notify(byte, text);
        }
    }
}

}  // namespace trelvane
