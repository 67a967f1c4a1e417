// A server inside the test's own process: a thread that enters an
// apartment, registers a class object and runs its message loop, as a
// server's main thread does. Clients reach it through the class's socket
// like any other process would.
#pragma once

#include <functional>
#include <future>
#include <thread>

#include "platform/windows.h"

namespace trelvane::testing {

class ServerThread {
public:
    ServerThread(REFCLSID clsid, IClassFactory* factory) {
        std::promise<void> started;
        m_thread = std::thread([&] {
            CoInitialize(nullptr);
            MSG msg;
            PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
            m_id = GetCurrentThreadId();
            m_registered = CoRegisterClassObject(clsid, factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &m_cookie);
            started.set_value();
            while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
                if (msg.message == kRun)
                    (*reinterpret_cast<std::function<void()>*>(msg.lParam))();
                else
                    DispatchMessageW(&msg);
            }
            if (SUCCEEDED(m_registered)) CoRevokeClassObject(m_cookie);
            CoUninitialize();
        });
        started.get_future().wait();
    }
    ~ServerThread() {
        PostThreadMessageW(m_id, WM_QUIT, 0, 0);
        m_thread.join();
    }
    ServerThread(const ServerThread&) = delete;
    ServerThread& operator=(const ServerThread&) = delete;

    HRESULT Registered() const { return m_registered; }
    DWORD ThreadId() const { return m_id; }
    // Runs f on the server's thread, between its messages, and waits for it.
    void Run(const std::function<void()>& f) {
        std::promise<void> done;
        std::function<void()> task = [&] {
            f();
            done.set_value();
        };
        PostThreadMessageW(m_id, kRun, 0, reinterpret_cast<LPARAM>(&task));
        done.get_future().wait();
    }

private:
    static constexpr UINT kRun = WM_APP + 0x3A1;
    std::thread m_thread;
    DWORD m_id = 0;
    DWORD m_cookie = 0;
    HRESULT m_registered = E_FAIL;
};

}  // namespace trelvane::testing
