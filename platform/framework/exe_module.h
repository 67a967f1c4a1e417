// CAtlExeModuleT<T>: the module of a server that is a program of its own.
// It enters a single-threaded apartment on the main thread, handles the
// registration switches of the command line, makes the classes of its class
// table available to other processes, serves them from the main thread's
// message loop, and ends that loop once the server has been idle (no server
// lock) for m_shutdownTimeout.
//
// T, the program's module, derives from it and gives:
//   static REFGUID LibId();
//   static std::span<ClassTableEntry> ClassTable();
//   static HRESULT RegisterServerEntries();
//   static HRESULT UnregisterServerEntries();
// The steps that are called through T (EnterApartment, RegisterClassObjects,
// StartShutdownMonitor, PumpMessages) may be hidden by T's own.
#pragma once

#include <atomic>
#include <cstdio>
#include <span>
#include <utility>

#include "platform/framework/server_command_line.h"
#include "platform/framework/server_module.h"
#include "platform/framework/system.h"

namespace platform {

// A failure of the server module, on standard error.
inline void LogServerFailure(const char* what, HRESULT hr) {
    log::Error(log::Channel::general, "%s: 0x%08X %s", what, static_cast<unsigned>(hr),
               SystemMessageText(static_cast<DWORD>(hr)).c_str());
}

}  // namespace platform

template <class T>
class CAtlExeModuleT : public CAtlModuleT<T> {
public:
    ~CAtlExeModuleT() override;

    // Once the count is back at zero the idle countdown starts again (or,
    // without a shutdown monitor, the server quits at once).
    LONG UnlockModule() override;

    // The process entry: -1 after a failed start-up; otherwise the result
    // of the switch on the command line, or of serving.
    int Entry();
    // Serves until the server has been idle for m_shutdownTimeout.
    HRESULT RunServer();
    HRESULT StartShutdownMonitor();
    // Ends a monitor that still runs and waits for its thread, so that no
    // monitor outlives the module it reads.
    void EndShutdownMonitor();
    // The monitor thread's work: posts WM_QUIT to the main thread once the
    // lock count has stayed at zero for m_shutdownTimeout.
    void ShutdownMonitor();
    // Runs the main thread's message loop: true when it ended with WM_QUIT,
    // false when taking a message failed.
    bool PumpMessages();
    HRESULT RegisterClassObjects(DWORD context, DWORD flags);
    HRESULT RevokeClassObjects();
    static HRESULT EnterApartment() { return CoInitialize(nullptr); }

protected:
    CAtlExeModuleT();

    DWORD m_mainThreadId;
    // Made when the monitor starts; the monitor closes it when it ends.
    std::atomic<HANDLE> m_shutdownEvent{nullptr};
    DWORD m_shutdownTimeout = 5000;
    DWORD m_pauseAfterRevoke = 1000;
    // Shutdown goes through the monitor; cleared when registering the class
    // objects gives anything but S_OK.
    std::atomic<bool> m_delayShutdown{true};
    // Set by each unlock to zero; the monitor clears it before each timed wait.
    std::atomic<bool> m_activity{false};
    bool m_comInitialized = false;
    // The running monitor's thread, and the request that it end without a quit.
    HANDLE m_monitorThread = nullptr;
    std::atomic<bool> m_endMonitor{false};

private:
    T* Derived() { return static_cast<T*>(this); }
    static DWORD RunMonitor(LPVOID module);

    bool m_classesStarted = false;
};

template <class T>
CAtlExeModuleT<T>::CAtlExeModuleT() : m_mainThreadId(GetCurrentThreadId()) {
    const HRESULT hr = T::EnterApartment();
    if (SUCCEEDED(hr)) {
        m_comInitialized = true;
    } else if (hr != RPC_E_CHANGED_MODE || GetModuleHandleW(TEXT("Mscoree.dll")) == nullptr) {
        platform::LogServerFailure("cannot enter an apartment on the main thread", hr);
        this->m_startupFailed = true;
        return;
    }
    // The main thread's queue exists before any other thread posts to it.
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
    for (ClassTableEntry& entry : T::ClassTable())
        if (entry.classStartStop) entry.classStartStop(true);
    m_classesStarted = true;
}

template <class T>
CAtlExeModuleT<T>::~CAtlExeModuleT() {
    EndShutdownMonitor();
    if (m_classesStarted)
        for (ClassTableEntry& entry : T::ClassTable())
            if (entry.classStartStop) entry.classStartStop(false);
    for (ClassTableEntry& entry : T::ClassTable())
        if (IUnknown* classObject = std::exchange(entry.classObject, nullptr)) classObject->Release();
    if (m_comInitialized) CoUninitialize();
}

template <class T>
LONG CAtlExeModuleT<T>::UnlockModule() {
    const LONG count = CAtlModuleT<T>::UnlockModule();
    if (count == 0) {
        if (m_delayShutdown) {
            m_activity = true;
            // A monitor that has just ended closed the event: the signal
            // then fails, and the server quits all the same.
            if (HANDLE event = m_shutdownEvent) SetEvent(event);
        } else {
            PostThreadMessageW(m_mainThreadId, WM_QUIT, 0, 0);
        }
    }
    return count;
}

template <class T>
int CAtlExeModuleT<T>::Entry() {
    if (this->m_startupFailed) return -1;
    const CommandLineOutcome outcome =
        HandleCommandLine(GetCommandLineW(), &T::RegisterServerEntries, &T::UnregisterServerEntries);
    return outcome.run ? Derived()->RunServer() : outcome.result;
}

template <class T>
HRESULT CAtlExeModuleT<T>::RunServer() {
    const HRESULT hr = Derived()->RegisterClassObjects(CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE);
    if (hr != S_OK) {
        m_delayShutdown = false;
        if (FAILED(hr)) return hr;
    }
    if (hr == S_OK && m_delayShutdown && FAILED(Derived()->StartShutdownMonitor())) return E_FAIL;
    if (hr == S_OK) {
        // An activation that was queued before the monitor's WM_QUIT is served
        // ahead of it; its client then holds a lock. Withdrawing now would end
        // the server under that client, so it serves on and counts down
        // again from the client's last unlock, with a new monitor when the
        // last one has ended.
        while (Derived()->PumpMessages() && m_delayShutdown && this->m_lockCount > 0)
            if (m_shutdownEvent == nullptr && FAILED(Derived()->StartShutdownMonitor())) break;
    }
    // A monitor still waiting here (the loop ended because taking a message
    // failed) would read the module after it is gone.
    EndShutdownMonitor();
    const HRESULT revoked = Derived()->RevokeClassObjects();
    if (m_delayShutdown) Sleep(m_pauseAfterRevoke);
    return revoked;
}

template <class T>
HRESULT CAtlExeModuleT<T>::StartShutdownMonitor() {
    EndShutdownMonitor();  // one that has posted its quit and is ending
    const HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (event == nullptr) {
        platform::LogServerFailure("cannot make the shutdown event", HRESULT_FROM_WIN32(GetLastError()));
        return E_FAIL;
    }
    m_shutdownEvent = event;
    const HANDLE thread = CreateThread(nullptr, 0, &RunMonitor, this, 0, nullptr);
    if (thread == nullptr) {
        platform::LogServerFailure("cannot start the shutdown monitor", HRESULT_FROM_WIN32(GetLastError()));
        m_shutdownEvent = nullptr;
        CloseHandle(event);
        return E_FAIL;
    }
    m_monitorThread = thread;
    return S_OK;
}

template <class T>
void CAtlExeModuleT<T>::EndShutdownMonitor() {
    if (m_monitorThread == nullptr) return;
    m_endMonitor = true;
    if (HANDLE event = m_shutdownEvent) SetEvent(event);  // fails harmlessly once the monitor has closed it
    WaitForSingleObject(m_monitorThread, INFINITE);
    CloseHandle(std::exchange(m_monitorThread, nullptr));
    m_endMonitor = false;
}

template <class T>
DWORD CAtlExeModuleT<T>::RunMonitor(LPVOID module) {
    static_cast<CAtlExeModuleT*>(module)->ShutdownMonitor();
    return 0;
}

template <class T>
void CAtlExeModuleT<T>::ShutdownMonitor() {
    // It counts seconds: a woken monitor must not take the processor that the
    // server's thread, or a client's woken by its reply, needs.
    platform::RunBehindOtherThreads(platform::log::Channel::server, "the shutdown monitor");
    const HANDLE event = m_shutdownEvent;
    DWORD wait;
    for (;;) {
        // Idle only once the count has returned to zero for the first time.
        if ((wait = WaitForSingleObject(event, INFINITE)) != WAIT_OBJECT_0 || m_endMonitor) break;
        do {
            m_activity = false;
            wait = WaitForSingleObject(event, m_shutdownTimeout);
        } while (wait == WAIT_OBJECT_0 && !m_endMonitor);
        if (wait != WAIT_TIMEOUT) break;
        // A lock still held suspends the countdown until the next unlock to zero.
        if (!m_activity && this->m_lockCount == 0) break;
    }
    if (HANDLE own = m_shutdownEvent.exchange(nullptr)) CloseHandle(own);
    if (m_endMonitor) return;  // the main thread is ending the server already
    if (wait != WAIT_TIMEOUT)
        platform::LogServerFailure("the shutdown monitor cannot wait", HRESULT_FROM_WIN32(GetLastError()));
    PostThreadMessageW(m_mainThreadId, WM_QUIT, 0, 0);
}

template <class T>
bool CAtlExeModuleT<T>::PumpMessages() {
    MSG msg;
    BOOL got;
    while ((got = GetMessageW(&msg, nullptr, 0, 0)) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    if (got == 0) return true;
    platform::LogServerFailure("taking a message failed; shutting down", HRESULT_FROM_WIN32(GetLastError()));
    return false;
}

template <class T>
HRESULT CAtlExeModuleT<T>::RegisterClassObjects(DWORD context, DWORD flags) {
    HRESULT result = S_OK;
    for (ClassTableEntry& entry : T::ClassTable()) {
        if (entry.classObject == nullptr)
            if (HRESULT hr = entry.createClassObject(&entry.classObject); FAILED(hr)) return hr;
        const HRESULT hr = CoRegisterClassObject(*entry.clsid, entry.classObject, context, flags, &entry.cookie);
        if (FAILED(hr)) return hr;
        if (hr != S_OK) result = hr;
    }
    return result;
}

template <class T>
HRESULT CAtlExeModuleT<T>::RevokeClassObjects() {
    HRESULT result = S_OK;
    for (ClassTableEntry& entry : T::ClassTable()) {
        if (entry.cookie != 0) {
            const HRESULT hr = CoRevokeClassObject(std::exchange(entry.cookie, 0));
            if (FAILED(hr) && SUCCEEDED(result)) result = hr;
        }
        // Unless a client still holds the class object itself, this was its
        // last reference: the class's shared object goes with it, here on
        // the main thread.
        if (IUnknown* classObject = std::exchange(entry.classObject, nullptr)) classObject->Release();
    }
    return result;
}
