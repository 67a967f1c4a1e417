#include "platform/dbus/bus_library.h"

#include <dlfcn.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>

#include "platform/base/log.h"
#include "platform/base/thread_priority.h"
#include "platform/dbus/bus_entry_points.h"
#include "platform/messages/thread_wait.h"

namespace platform::dbus {
namespace {

std::mutex g_loadLock;
BusEntryPoints g_library;  // written under g_loadLock before g_loaded is set
std::atomic<const BusEntryPoints*> g_loaded{nullptr};

std::string LoaderError() {
    const char* error = ::dlerror();
    return error ? error : "unknown error";
}

}  // namespace

bool LoadBusLibrary(const char* file, std::string* failure) {
    std::lock_guard lock(g_loadLock);
    if (g_loaded.load(std::memory_order_acquire) != nullptr) return true;
    void* handle = ::dlopen(file, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        *failure = "cannot load " + std::string(file) + ": " + LoaderError();
        return false;
    }
    BusEntryPoints library{};
    const char* missing = nullptr;
#define TRELVANE_SD_BUS_RESOLVE(name) \
    if (!missing && !(library.name = reinterpret_cast<decltype(&::name)>(::dlsym(handle, #name)))) missing = #name;
    TRELVANE_SD_BUS_ENTRY_POINTS(TRELVANE_SD_BUS_RESOLVE)
#undef TRELVANE_SD_BUS_RESOLVE
    if (missing) {
        *failure = std::string(file) + " has no " + missing;
        ::dlclose(handle);
        return false;
    }
    // The handle is kept: the library's threads-local data and exit handlers
    // would outlive an unloaded library.
    g_library = library;
    g_loaded.store(&g_library, std::memory_order_release);
    return true;
}

const BusEntryPoints& Sd() { return *g_loaded.load(std::memory_order_acquire); }

std::unique_ptr<BackgroundBusLibraryLoad> BackgroundBusLibraryLoad::Start(std::string file, Done done,
                                                                          std::string* failure) {
    const int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
        *failure = std::string("cannot make a wake-up descriptor: ") + std::strerror(errno);
        return nullptr;
    }
    std::unique_ptr<BackgroundBusLibraryLoad> load(new BackgroundBusLibraryLoad(std::move(done), wakeFd));
    BackgroundBusLibraryLoad* self = load.get();
    try {
        self->m_thread = std::thread([self, file = std::move(file)] {
            // On a machine with few cores, the loading would otherwise take
            // the core that the server's first client needs.
            RunBehindOtherThreads(log::Channel::dbus, "the bus library's loading thread");
            LoadBusLibrary(file.c_str(), &self->m_failure);
            const std::uint64_t one = 1;
            [[maybe_unused]] const ssize_t written = ::write(self->m_wakeFd, &one, sizeof one);
        });
    } catch (const std::system_error& error) {
        *failure = std::string("cannot start a thread to load the bus library: ") + error.what();
        return nullptr;
    }
    self->m_source = AddWaitSource({wakeFd, [] { return kSourceReadable; }, [self](short) { self->Finish(); }});
    return load;
}

BackgroundBusLibraryLoad::~BackgroundBusLibraryLoad() {
    if (m_source) RemoveWaitSource(m_source);
    if (m_thread.joinable()) m_thread.join();
    ::close(m_wakeFd);
}

void BackgroundBusLibraryLoad::Finish() {
    RemoveWaitSource(std::exchange(m_source, 0));
    m_thread.join();
    m_done(m_failure);
}

bool SessionBusNamed() {
    if (std::getenv("DBUS_SESSION_BUS_ADDRESS") != nullptr) return true;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    return runtime != nullptr && ::access((std::string(runtime) + "/bus").c_str(), F_OK) == 0;
}

}  // namespace platform::dbus
