#include "driver/tarvik.h"

#include <map>
#include <new>
#include <string>

#include "contract/trelvane.h"
#include "platform/windows.h"

std::atomic<trelvane::CTarvik*> g_driver{nullptr};
namespace trelvane {

thread_local const CTarvik* CTarvik::t_inCallback = nullptr;

CTarvik* CTarvik::Create() { return new CTarvik; }

CTarvik::CTarvik() { InitializeCriticalSection(&m_stateLock); }

CTarvik::~CTarvik() {
    try {
        ClosePort();
    } catch (...) {  // nothing may leave a destructor; the failure has been reported
    }
    CTarvik* self = this;
    g_driver.compare_exchange_strong(self, nullptr);  // no tick may find a dead driver
    DeleteCriticalSection(&m_stateLock);
}

HRESULT CTarvik::Open(LONG PortNumber, LONG* Status) {
    if (Status == nullptr) return E_POINTER;
    // Open closes first, which waits for the listener: not from inside it.
    if (t_inCallback == this) return RPC_E_WRONG_THREAD;
    return Guard([&] { return OpenPort(PortNumber, Status); });
}

HRESULT CTarvik::OpenPort(LONG portNumber, LONG* status) {
    ClosePort();
    using enum contract::OpenStatus;
    *status = static_cast<LONG>(Opened);
    m_portNumber = portNumber;
    const platform::WString device = platform::FromUtf8("COM" + std::to_string(portNumber));
    // Opened by its name in the device namespace: Windows takes a bare COM10
    // and above for the name of a file. Reports name the port as clients do.
    const platform::WString path = TEXT("\\\\.\\") + device;
    // A failed step: its status, SystemError "'text': message", S_FALSE;
    // what the earlier steps did stays (a half-open port). Each message is
    // worded from the code of the failed call itself.
    auto fail = [&](contract::OpenStatus step, LPCWSTR text, DWORD code) {
        m_portNumber = -1;
        *status = static_cast<LONG>(step);
        ReportError(text, code);
        return S_FALSE;
    };

    ArmCloseRequests();
    if (const LONG code = m_channel.OpenPort(path.c_str(), false)) {
        DisarmCloseRequests();
        return fail(PortNotOpened, device.c_str(), static_cast<DWORD>(code));
    }
    LONG code = m_channel.SetLineSettings(68, 8, CSerial::NoParity, CSerial::OneStopBit);
    const bool settingsRefused = code != 0;
    if (!settingsRefused) code = m_channel.SetEventMask(CSerialSP::DeviceEventMask);
    // The listener starts once the event mask is set, so that its first wait
    // is never ended by a new mask; a port left half open listens as well.
    if (const LONG listenerCode = m_channel.StartListener()) {
        m_channel.Close();  // as an open that fails: nothing stays open
        DisarmCloseRequests();
        return fail(PortNotOpened, device.c_str(), static_cast<DWORD>(listenerCode));
    }
    if (settingsRefused) return fail(LineSettingsRefused, TEXT("Port setting"), static_cast<DWORD>(code));
    if (code) return fail(EventMaskRefused, TEXT("Event mask"), static_cast<DWORD>(code));
    {
        platform::MutexLock lock(m_settingsLock);
        m_portHandle = m_channel.PortHandle();
    }
    if (const DWORD code = LoadPortSettings()) return fail(LineSettingsUnread, TEXT("COM state"), code);
    try {
        ChangeLineSetting(TEXT("Set RTS"), [](DCB& dcb) { dcb.fRtsControl = RTS_CONTROL_DISABLE; });
    } catch (const DriverFailure& failure) {
        return fail(RtsNotSwitchedOff, TEXT("Set RTS"), failure.error);
    }
    try {
        ChangeLineSetting(TEXT("Set DTR"), [](DCB& dcb) { dcb.fDtrControl = DTR_CONTROL_DISABLE; });
    } catch (const DriverFailure& failure) {
        return fail(DtrNotSwitchedOff, TEXT("Reset DTR"), failure.error);
    }
    m_channel.SetCallback(ChannelCallback, this);
    m_listenerFailureReported = false;
    if (HRESULT hr = ResetStartPost(); FAILED(hr)) return hr;  // the reset write failed and was reported
    Fire_SP_PortOpened();
    g_driver = this;
    m_timerId = SetTimer(nullptr, 0, 250, TimerTick);
    CriticalSectionLock lock(m_stateLock);
    m_timeoutPending = false;
    return S_OK;
}

HRESULT CTarvik::Close() {
    if (t_inCallback == this) {
        // Closing waits for the listener, which is running this call: the
        // owner's thread closes the port as soon as it takes its messages.
        m_closeRequested = true;
        PostThreadMessageW(m_ownerThread, WM_TIMER, m_closeTimer, reinterpret_cast<LPARAM>(&CloseRequestTimer));
        return S_OK;
    }
    return Guard([&] {
        ClosePort();
        return S_OK;
    });
}

void CTarvik::ClosePort() {
    ++m_portCalls;
    {
        platform::MutexLock lock(m_settingsLock);
        m_dcb.reset();
    }
    if (m_channel.PortHandle()) {
        m_channel.Close();
        if (m_timerId) KillTimer(nullptr, m_timerId);
        m_timerId = 0;
        Fire_SP_PortClosed();
    }
    DisarmCloseRequests();
    m_portNumber = -1;
    CriticalSectionLock lock(m_stateLock);
    m_startNumber = -1;
}

namespace {

// The close-request timers of this thread, by timer identifier.
thread_local std::map<UINT_PTR, CTarvik*> t_closeTimers;

}  // namespace

void CTarvik::ArmCloseRequests() {
    constexpr UINT kNever = 0x7FFFFFFF;  // USER_TIMER_MAXIMUM: only posted messages make it run
    m_closeRequested = false;
    m_ownerThread = GetCurrentThreadId();
    const UINT_PTR timer = SetTimer(nullptr, 0, kNever, CloseRequestTimer);
    if (timer) t_closeTimers[timer] = this;
    m_closeTimer = timer;
}

void CTarvik::DisarmCloseRequests() {
    const UINT_PTR timer = m_closeTimer.exchange(0);
    if (timer == 0) return;
    KillTimer(nullptr, timer);
    t_closeTimers.erase(timer);
}

void CTarvik::CloseRequestTimer(HWND, UINT, UINT_PTR id, DWORD) {
    auto it = t_closeTimers.find(id);
    if (it != t_closeTimers.end() && it->second->m_closeRequested.exchange(false)) it->second->Close();
}

DWORD CTarvik::LoadPortSettings() {
    platform::MutexLock lock(m_settingsLock);
    m_dcb.reset();
    if (!m_portHandle) return ERROR_INVALID_HANDLE;
    m_dcb = std::make_unique<DCB>();
    m_dcb->DCBlength = sizeof(DCB);
    return GetCommState(m_portHandle, m_dcb.get()) ? ERROR_SUCCESS : GetLastError();
}

HRESULT CTarvik::get_PortNumber(LONG* pVal) {
    if (pVal == nullptr) return E_POINTER;
    *pVal = m_portNumber;
    return S_OK;
}

HRESULT CTarvik::get_StartNumber(LONG* pVal) {
    if (pVal == nullptr) return E_POINTER;
    *pVal = m_startNumber;
    return S_OK;
}

HRESULT CTarvik::get_InterCharacterTimeout(LONG* pVal) {
    if (pVal == nullptr) return E_POINTER;
    *pVal = m_interCharTimeout;
    return S_OK;
}

HRESULT CTarvik::put_InterCharacterTimeout(LONG newVal) {
    m_interCharTimeout = newVal;  // no range test: -1 means no bound, 0 no wait
    return S_OK;
}

HRESULT CTarvik::get_StateDTR(VARIANT_BOOL* pVal) {
    if (pVal == nullptr) return E_POINTER;
    platform::MutexLock lock(m_settingsLock);
    *pVal = (m_portHandle && m_dcb && m_dcb->fDtrControl != DTR_CONTROL_DISABLE) ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT CTarvik::put_StateDTR(VARIANT_BOOL newVal) {
    return Guard([&] {
        ChangeLineSetting(TEXT("Set DTR"),
                          [newVal](DCB& dcb) { dcb.fDtrControl = newVal ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE; });
        return S_OK;
    });
}

HRESULT CTarvik::get_StateStartPost(VARIANT_BOOL* pVal) { return get_StateDSR(pVal); }
HRESULT CTarvik::get_StateFinishPost(VARIANT_BOOL* pVal) { return get_StateCTS(pVal); }

}  // namespace trelvane
