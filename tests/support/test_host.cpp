// trelvane-test-host: a second process that serves the driver object to
// the tests, as the server will. It enters an apartment, registers the
// class object of CTarvik and runs its message loop until its standard
// input closes; "ready" on standard output says the class is registered.
// With --recording it serves the recording test double under CTarvik's
// class id instead, and the control object that reads it. Like an installed
// server it has registered the type library of its executable.
//
// Started by activation (with -Embedding) it serves until SIGTERM instead,
// then withdraws its class objects and pauses TRELVANE_TEST_HOST_PAUSE_MS
// before it exits, as the server does; it says "pid N serving" and "pid N
// withdrew" on standard error (the class's log). TRELVANE_TEST_HOST_START
// makes a server that fails: "exit" ends with status 3 before registering,
// "hang" never registers.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "driver/tarvik.h"
#include "tests/support/recording_object.h"
#include "tests/support/singleton_factory.h"

namespace trelvane {
namespace {

using trelvane::testing::RecordingControl;
using trelvane::testing::RecordingObject;
using trelvane::testing::SingletonFactory;

// The class objects to serve: (class id, factory).
std::vector<std::pair<CLSID, platform::ComPtr<IClassFactory>>> Classes(bool recording) {
    using Factory = platform::ComPtr<IClassFactory>;
    if (!recording) return {{contract::CLSID_CTarvik, Factory::Attach(new SingletonFactory<CTarvik>)}};
    auto* objects = new SingletonFactory<RecordingObject>;
    auto* control = new SingletonFactory<RecordingControl>([objects] { return new RecordingControl(objects); });
    return {{contract::CLSID_CTarvik, Factory::Attach(objects)},
            {trelvane::testing::CLSID_RecordingControl, Factory::Attach(control)}};
}

// The type library that this executable carries, registered with its path.
HRESULT RegisterOwnTypeLibrary() {
    WCHAR path[MAX_PATH];
    if (GetModuleFileNameW(nullptr, path, MAX_PATH) == 0) return HRESULT_FROM_WIN32(GetLastError());
    platform::ComPtr<ITypeLib> library;
    HRESULT hr = LoadTypeLib(path, library.Out());
    if (SUCCEEDED(hr)) hr = RegisterTypeLib(library.Get(), path, nullptr);
    return hr;
}

bool HasArgument(int argc, char** argv, const char* wanted) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], wanted) == 0) return true;
    return false;
}

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// The start-up faults of a server started by activation.
void FailAsAsked() {
    const std::string start = Environment("TRELVANE_TEST_HOST_START");
    if (start == "exit") std::exit(3);
    if (start == "hang")
        for (;;) ::pause();
}

// The thread that ends the message loop: on SIGTERM when started by
// activation, else when standard input closes. SIGTERM is blocked in every
// thread first, so that only sigwait takes it.
void WatchForTheEnd(bool embedded, DWORD mainThread) {
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    if (embedded) pthread_sigmask(SIG_BLOCK, &term, nullptr);
    std::thread([embedded, term, mainThread] {
        if (embedded) {
            int signal = 0;
            sigwait(&term, &signal);
        } else {
            char c;
            while (::read(STDIN_FILENO, &c, 1) > 0) {
            }
        }
        PostThreadMessageW(mainThread, WM_QUIT, 0, 0);
    }).detach();
}

}  // namespace

int Main(int argc, char** argv) {
    const bool embedded = HasArgument(argc, argv, "-Embedding");
    if (embedded) FailAsAsked();
    if (FAILED(CoInitialize(nullptr))) return 2;
    // Started by activation, it finds the registration made already.
    if (HRESULT hr = embedded ? S_OK : RegisterOwnTypeLibrary(); FAILED(hr)) {
        std::fprintf(stderr, "trelvane-test-host: cannot register its type library: 0x%08X\n",
                     static_cast<unsigned>(hr));
        return 4;
    }
    auto classes = Classes(HasArgument(argc, argv, "--recording"));
    std::vector<DWORD> cookies;
    for (const auto& [clsid, factory] : classes) {
        DWORD cookie = 0;
        const HRESULT hr =
            CoRegisterClassObject(clsid, factory.Get(), CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie);
        if (FAILED(hr)) {
            std::fprintf(stderr, "trelvane-test-host: cannot register a class: 0x%08X\n", static_cast<unsigned>(hr));
            return 3;
        }
        cookies.push_back(cookie);
    }
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // the queue, before anyone posts to it
    WatchForTheEnd(embedded, GetCurrentThreadId());
    std::printf("ready\n");
    std::fflush(stdout);
    if (embedded) std::fprintf(stderr, "trelvane-test-host: pid %d serving\n", static_cast<int>(::getpid()));
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    for (DWORD cookie : cookies) CoRevokeClassObject(cookie);
    if (embedded) {
        std::fprintf(stderr, "trelvane-test-host: pid %d withdrew\n", static_cast<int>(::getpid()));
        std::this_thread::sleep_for(
            std::chrono::milliseconds(std::atoi(Environment("TRELVANE_TEST_HOST_PAUSE_MS").c_str())));
    }
    classes.clear();
    CoUninitialize();
    return 0;
}

}  // namespace trelvane

int main(int argc, char** argv) { return trelvane::Main(argc, argv); }
