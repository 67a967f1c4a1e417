// trelvane-test-host: a second process that serves the driver object to
// the tests, as the server will. It enters an apartment, registers the
// class object of CTarvik and runs its message loop until its standard
// input closes; "ready" on standard output says the class is registered.
#include <unistd.h>

#include <cstdio>
#include <thread>

#include "driver/tarvik.h"
#include "tools/testsupport/singleton_factory.h"

int main() {
    if (FAILED(CoInitialize(nullptr))) return 2;
    auto* factory = new trelvane::testing::SingletonFactory<CTarvik>;
    DWORD cookie = 0;
    const HRESULT hr =
        CoRegisterClassObject(contract::CLSID_CTarvik, factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie);
    if (FAILED(hr)) {
        std::fprintf(stderr, "trelvane-test-host: cannot register the class: 0x%08X\n", static_cast<unsigned>(hr));
        return 3;
    }
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // the queue, before anyone posts to it
    const DWORD mainThread = GetCurrentThreadId();
    std::thread([mainThread] {
        char c;
        while (::read(STDIN_FILENO, &c, 1) > 0) {
        }
        PostThreadMessageW(mainThread, WM_QUIT, 0, 0);
    }).detach();
    std::printf("ready\n");
    std::fflush(stdout);
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    CoRevokeClassObject(cookie);
    factory->Release();
    CoUninitialize();
    return 0;
}
