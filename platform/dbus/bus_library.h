// sd-bus, from libsystemd, loaded when the bus is joined rather than with the
// program: loading the library and those it needs is a good part of the
// server's start-up, and a client that activates the server over the
// sockets should not wait for that. The entry points used are resolved once
// into one table (bus_entry_points.h); the library stays loaded for the life
// of the process.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>

namespace platform::dbus {

constexpr char kBusLibraryFile[] = "libsystemd.so.0";

// Loads the library from file (kBusLibraryFile but in tests) and resolves the
// table; once loaded, later calls succeed at once whatever file they name.
// False, with the loader's reason in *failure, when the library or one of its
// entry points is not there; a later call tries again.
bool LoadBusLibrary(const char* file, std::string* failure);

// Loads the library on a thread of its own, so that the calling thread goes
// on serving meanwhile; done runs on the calling thread, inside its wait,
// once the library is loaded (failure empty) or cannot be, and the thread
// has ended. Going before that waits for the thread, and done never runs.
class BackgroundBusLibraryLoad {
public:
    using Done = std::function<void(const std::string& failure)>;
    // Null, with the reason in *failure, when the thread cannot be started.
    static std::unique_ptr<BackgroundBusLibraryLoad> Start(std::string file, Done done, std::string* failure);
    ~BackgroundBusLibraryLoad();
    BackgroundBusLibraryLoad(const BackgroundBusLibraryLoad&) = delete;
    BackgroundBusLibraryLoad& operator=(const BackgroundBusLibraryLoad&) = delete;

private:
    BackgroundBusLibraryLoad(Done done, int wakeFd) : m_done(std::move(done)), m_wakeFd(wakeFd) {}
    void Finish();

    const Done m_done;
    const int m_wakeFd;
    int m_source = 0;
    std::string m_failure;  // the thread's until it has been joined
    std::thread m_thread;
};

// Whether the user has a session bus to join: DBUS_SESSION_BUS_ADDRESS is
// set, or the runtime folder ($XDG_RUNTIME_DIR) has the bus's socket. Without
// one the library need not be loaded at all.
bool SessionBusNamed();

}  // namespace platform::dbus
