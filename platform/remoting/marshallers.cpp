#include "platform/remoting/marshallers.h"

#include <atomic>
#include <deque>
#include <mutex>

namespace platform::remoting {
namespace {

struct Registry {
    std::mutex mutex;
    std::deque<InterfaceMarshaller> interfaces;  // a deque: entries never move
    std::vector<std::pair<GUID, TypeLibraryLoader>> libraries;
    std::mutex sourcesMutex;  // held while sources run, so that a look-up waits for them
    std::vector<void (*)()> sources{&RegisterStandardInterfaces};
    std::atomic<bool> pending{true};
};

Registry& TheRegistry() {
    static Registry* registry = new Registry;  // never destroyed: threads may outlive statics
    return *registry;
}

void RunPendingSources() {
    auto& registry = TheRegistry();
    if (!registry.pending.load()) return;
    std::lock_guard lock(registry.sourcesMutex);
    while (!registry.sources.empty()) {
        auto source = registry.sources.front();
        registry.sources.erase(registry.sources.begin());
        source();
    }
    registry.pending = false;
}

}  // namespace

void RegisterInterface(InterfaceMarshaller marshaller) {
    auto& registry = TheRegistry();
    std::lock_guard lock(registry.mutex);
    for (auto& known : registry.interfaces)
        if (known.iid == marshaller.iid) {
            known = std::move(marshaller);
            return;
        }
    registry.interfaces.push_back(std::move(marshaller));
}

void AddInterfaceSource(void (*registerInterfaces)()) {
    auto& registry = TheRegistry();
    std::lock_guard lock(registry.sourcesMutex);
    registry.sources.push_back(registerInterfaces);
    registry.pending = true;
}

const InterfaceMarshaller* FindInterface(REFIID iid) {
    RunPendingSources();
    auto& registry = TheRegistry();
    std::lock_guard lock(registry.mutex);
    for (const auto& known : registry.interfaces)
        if (known.iid == iid) return &known;
    return nullptr;
}

void RegisterTypeLibrary(REFGUID libid, TypeLibraryLoader load) {
    auto& registry = TheRegistry();
    std::lock_guard lock(registry.mutex);
    for (auto& known : registry.libraries)
        if (known.first == libid) {
            known.second = load;
            return;
        }
    registry.libraries.emplace_back(libid, load);
}

HRESULT LoadTypeLibrary(REFGUID libid, ITypeLib** library) {
    RunPendingSources();
    TypeLibraryLoader load = nullptr;
    {
        auto& registry = TheRegistry();
        std::lock_guard lock(registry.mutex);
        for (const auto& known : registry.libraries)
            if (known.first == libid) load = known.second;
    }
    // Not through the registry (LoadRegTypeLib): the file registered there
    // is the server's program, whose library only that program can load,
    // while the side that knows a library's interfaces registers its loader.
    return load ? load(library) : TYPE_E_LIBNOTREGISTERED;
}

}  // namespace platform::remoting
