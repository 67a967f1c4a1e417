// Apartments on threads of the test's own process. An ApartmentThread
// enters an apartment and runs its message loop, running what it is given
// between its messages; a ServerThread also registers a class object, as a
// server's main thread does. Clients reach it through the class's socket
// like any other process would.
#pragma once

#include <functional>
#include <future>
#include <thread>

#include "platform/windows.h"

namespace trelvane::testing {

class ApartmentThread {
public:
    ApartmentThread() {
        std::promise<void> started;
        m_thread = std::thread([this, &started] {
            CoInitialize(nullptr);
            MSG msg;
            PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
            m_id = GetCurrentThreadId();
            started.set_value();
            while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
                if (msg.message == kRun)
                    (*reinterpret_cast<std::function<void()>*>(msg.lParam))();
                else
                    DispatchMessageW(&msg);
            }
            CoUninitialize();
        });
        started.get_future().wait();
    }
    virtual ~ApartmentThread() { Stop(); }
    ApartmentThread(const ApartmentThread&) = delete;
    ApartmentThread& operator=(const ApartmentThread&) = delete;

    DWORD ThreadId() const { return m_id; }
    // Runs f on the thread, between its messages, and waits for it.
    void Run(const std::function<void()>& f) {
        std::promise<void> done;
        std::function<void()> task = [&] {
            f();
            done.set_value();
        };
        PostThreadMessageW(m_id, kRun, 0, reinterpret_cast<LPARAM>(&task));
        done.get_future().wait();
    }

protected:
    void Stop() {
        if (!m_thread.joinable()) return;
        PostThreadMessageW(m_id, WM_QUIT, 0, 0);
        m_thread.join();
    }

private:
    static constexpr UINT kRun = WM_APP + 0x3A1;
    std::thread m_thread;
    DWORD m_id = 0;
};

class ServerThread : public ApartmentThread {
public:
    ServerThread(REFCLSID clsid, IClassFactory* factory) {
        Run([&] {
            m_registered = CoRegisterClassObject(clsid, factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &m_cookie);
        });
    }
    ~ServerThread() override {
        Run([this] {
            if (SUCCEEDED(m_registered)) CoRevokeClassObject(m_cookie);
        });
        Stop();
    }
    HRESULT Registered() const { return m_registered; }

private:
    DWORD m_cookie = 0;
    HRESULT m_registered = E_FAIL;
};

}  // namespace trelvane::testing
