// trelvane-test-host: a second process that serves the driver object to
// the tests, as the server will. It enters an apartment, registers the
// class object of CTarvik and runs its message loop until its standard
// input closes; "ready" on standard output says the class is registered.
// With --recording it serves the recording test double under CTarvik's
// class id instead, and the control object that reads it. Like an installed
// server it has registered the type library of its executable.
#include <unistd.h>

#include <cstdio>
#include <thread>

#include <cstring>
#include <vector>

#include "driver/tarvik.h"
#include "tools/testsupport/recording_object.h"
#include "tools/testsupport/singleton_factory.h"

namespace {

using trelvane::testing::RecordingControl;
using trelvane::testing::RecordingObject;
using trelvane::testing::SingletonFactory;

// The class objects to serve: (class id, factory), each with one reference.
std::vector<std::pair<CLSID, IClassFactory*>> Classes(bool recording) {
    if (!recording) return {{contract::CLSID_CTarvik, new SingletonFactory<CTarvik>}};
    auto* objects = new SingletonFactory<RecordingObject>;
    auto* control = new SingletonFactory<RecordingControl>([objects] { return new RecordingControl(objects); });
    return {{contract::CLSID_CTarvik, objects}, {trelvane::testing::CLSID_RecordingControl, control}};
}

// The type library that this executable carries, registered with its path.
HRESULT RegisterOwnTypeLibrary() {
    WCHAR path[MAX_PATH];
    if (GetModuleFileNameW(nullptr, path, MAX_PATH) == 0) return HRESULT_FROM_WIN32(GetLastError());
    ITypeLib* library = nullptr;
    HRESULT hr = LoadTypeLib(path, &library);
    if (SUCCEEDED(hr)) hr = RegisterTypeLib(library, path, nullptr);
    if (library) library->Release();
    return hr;
}

}  // namespace

int main(int argc, char** argv) {
    if (FAILED(CoInitialize(nullptr))) return 2;
    if (HRESULT hr = RegisterOwnTypeLibrary(); FAILED(hr)) {
        std::fprintf(stderr, "trelvane-test-host: cannot register its type library: 0x%08X\n", static_cast<unsigned>(hr));
        return 4;
    }
    const auto classes = Classes(argc > 1 && std::strcmp(argv[1], "--recording") == 0);
    std::vector<DWORD> cookies;
    for (const auto& [clsid, factory] : classes) {
        DWORD cookie = 0;
        const HRESULT hr = CoRegisterClassObject(clsid, factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie);
        if (FAILED(hr)) {
            std::fprintf(stderr, "trelvane-test-host: cannot register a class: 0x%08X\n", static_cast<unsigned>(hr));
            return 3;
        }
        cookies.push_back(cookie);
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
    for (DWORD cookie : cookies) CoRevokeClassObject(cookie);
    for (const auto& [clsid, factory] : classes) factory->Release();
    CoUninitialize();
    return 0;
}
