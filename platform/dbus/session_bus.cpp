#include "platform/dbus/session_bus.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/base/sync.h"
#include "platform/dbus/bus_values.h"
#include "platform/messages/thread_wait.h"

namespace platform::dbus {
namespace {

// Calls handled in one turn of the thread's wait: a flood of calls must not
// keep the thread from its messages and timers.
constexpr int kCallsPerTurn = 64;

constexpr char kDepartures[] =
    "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
    "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg2=''";

// A value kept for an emission that waits for the joining thread.
class OwnedVariant {
public:
    explicit OwnedVariant(const VARIANT& value) {
        VariantInit(&m_value);
        if (FAILED(VariantCopy(&m_value, &value))) throw std::bad_alloc();
    }
    OwnedVariant(OwnedVariant&& other) noexcept : m_value(other.m_value) { VariantInit(&other.m_value); }
    OwnedVariant(const OwnedVariant&) = delete;
    OwnedVariant& operator=(const OwnedVariant&) = delete;
    ~OwnedVariant() { VariantClear(&m_value); }
    const VARIANT& Get() const { return m_value; }

private:
    VARIANT m_value;
};

void Wake(int fd) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(fd, &one, sizeof one);  // a full counter is still a wake-up
}

}  // namespace

// The library's callbacks, with the library's signatures.
struct BusCallbacks {
    static int Call(sd_bus_message* message, void* self, sd_bus_error*) {
        static_cast<SessionBus*>(self)->OnCall(message);
        return 1;
    }
    static int NameOwnerChanged(sd_bus_message* message, void* self, sd_bus_error*) {
        static_cast<SessionBus*>(self)->OnNameOwnerChanged(message);
        return 0;
    }
};

// A signal (member set) or a PropertiesChanged (member empty: names and
// values are the changed properties).
struct SessionBus::Emission {
    std::string iface;
    std::string member;
    std::vector<OwnedVariant> values;
    std::vector<std::string> names;
    std::vector<std::string> invalidated;
};

std::unique_ptr<SessionBus> SessionBus::Join(const std::string& path, BusHandlers handlers, std::string* failure) {
    failure->clear();
    sd_bus* bus = nullptr;
    if (int r = sd_bus_open_user(&bus); r < 0) {
        // Without an address in the environment a missing bus is no failure:
        // the user has no session bus.
        if (std::getenv("DBUS_SESSION_BUS_ADDRESS") != nullptr)
            *failure = std::string("cannot join the session bus: ") + std::strerror(-r);
        return nullptr;
    }
    const int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
        *failure = std::string("cannot make a wake-up descriptor: ") + std::strerror(errno);
        sd_bus_unref(bus);
        return nullptr;
    }
    std::unique_ptr<SessionBus> joined(new SessionBus(bus, path, std::move(handlers), wakeFd));
    if (!joined->Start(failure)) return nullptr;
    return joined;
}

SessionBus::SessionBus(sd_bus* bus, std::string path, BusHandlers handlers, int wakeFd)
    : m_bus(bus), m_path(std::move(path)), m_handlers(std::move(handlers)), m_owner(GetCurrentThreadId()),
      m_wakeFd(wakeFd) {}

bool SessionBus::Start(std::string* failure) {
    int r = sd_bus_add_object(m_bus, &m_objectSlot, m_path.c_str(), &BusCallbacks::Call, this);
    // Without the watch a client that leaves would keep its hold: a failure
    // to install it ends the connection (the library's default).
    if (r >= 0)
        r = sd_bus_add_match_async(m_bus, &m_matchSlot, kDepartures, &BusCallbacks::NameOwnerChanged, nullptr, this);
    if (r < 0) {
        *failure = std::string("cannot serve on the session bus: ") + std::strerror(-r);
        return false;
    }
    m_busSource = AddWaitSource({sd_bus_get_fd(m_bus),
                                 [this]() -> short {
                                     if (m_processing || m_lost) return 0;
                                     const int events = sd_bus_get_events(m_bus);
                                     if (events < 0) return 0;
                                     return static_cast<short>(((events & POLLIN) ? kSourceReadable : 0) |
                                                               ((events & POLLOUT) ? kSourceWritable : 0));
                                 },
                                 [this](short) { Process(); }});
    m_wakeSource = AddWaitSource({m_wakeFd, [] { return kSourceReadable; },
                                  [this](short) {
                                      std::uint64_t count;
                                      [[maybe_unused]] const ssize_t got = ::read(m_wakeFd, &count, sizeof count);
                                      Flush();
                                      Process();
                                  }});
    return true;
}

SessionBus::~SessionBus() {
    Flush();
    if (m_busSource) RemoveWaitSource(m_busSource);
    if (m_wakeSource) RemoveWaitSource(m_wakeSource);
    sd_bus_slot_unref(m_matchSlot);
    sd_bus_slot_unref(m_objectSlot);
    // What is queued (the last answers and signals) goes out before leaving,
    // for a second at most: a bus daemon that takes nothing must not keep
    // the server from ending. With the object gone, a call that comes
    // meanwhile is answered by the library, not by the handlers.
    for (int turn = 0; turn < 100 && !m_lost; ++turn) {
        const int events = sd_bus_get_events(m_bus);
        if (events <= 0 || !(events & POLLOUT)) break;
        pollfd writable{sd_bus_get_fd(m_bus), POLLOUT, 0};
        if (::poll(&writable, 1, 10) < 0 || sd_bus_process(m_bus, nullptr) < 0) break;
    }
    sd_bus_close_unref(m_bus);
    ::close(m_wakeFd);
}

void SessionBus::RequestName(const std::string& name) {
    auto reply = [](sd_bus_message* message, void*, sd_bus_error*) -> int {
        uint32_t result = 0;
        if (const sd_bus_error* error = sd_bus_message_get_error(message))
            std::fprintf(stderr, "trelvane: dbus: cannot take the bus name: %s\n", error->message);
        else if (sd_bus_message_read_basic(message, 'u', &result) > 0 && result == 2)
            std::fprintf(stderr, "trelvane: dbus: another program owns the bus name; waiting for it\n");
        return 0;
    };
    if (int r = sd_bus_request_name_async(m_bus, nullptr, name.c_str(), SD_BUS_NAME_QUEUE, reply, this); r < 0)
        std::fprintf(stderr, "trelvane: dbus: cannot ask for the bus name %s: %s\n", name.c_str(), std::strerror(-r));
}

void SessionBus::Process() {
    if (m_processing || m_lost) return;
    m_processing = true;
    int r = 0;
    for (int turn = 0; turn < kCallsPerTurn && (r = sd_bus_process(m_bus, nullptr)) > 0; ++turn) {
    }
    m_processing = false;
    if (r < 0) return Lose(r);
    // More may wait in the library's buffer, where the descriptor no longer
    // shows it: come back in the next wait.
    if (r > 0) Wake(m_wakeFd);
}

void SessionBus::Lose(int error) {
    m_lost = true;
    RemoveWaitSource(std::exchange(m_busSource, 0));
    std::fprintf(stderr, "trelvane: dbus: the session bus connection has ended: %s\n", std::strerror(-error));
    if (m_handlers.lost) m_handlers.lost();
}

void SessionBus::OnCall(sd_bus_message* message) {
    IncomingCall call(message);
    try {
        m_handlers.call(call);
    } catch (const std::bad_alloc&) {
        if (!call.Answered()) call.ReplyError(SD_BUS_ERROR_NO_MEMORY, "Out of memory");
    } catch (const std::exception& error) {
        // Nothing may leave into the library's C code.
        std::fprintf(stderr, "trelvane: dbus: %s failed: %s\n", call.Member().c_str(), error.what());
        if (!call.Answered()) call.ReplyError(SD_BUS_ERROR_FAILED, error.what());
    }
    if (!call.Answered()) call.ReplyError(SD_BUS_ERROR_FAILED, "The call was not answered");
}

void SessionBus::OnNameOwnerChanged(sd_bus_message* message) {
    const char *name = nullptr, *oldOwner = nullptr, *newOwner = nullptr;
    if (sd_bus_message_read(message, "sss", &name, &oldOwner, &newOwner) < 0) return;
    // A unique name that loses its owner is a client that has left.
    if (name[0] == ':' && newOwner[0] == '\0') m_handlers.departed(name);
}

void SessionBus::EmitSignal(const std::string& iface, const std::string& member, const std::vector<VARIANT>& args) {
    Emission emission{iface, member, {}, {}, {}};
    for (const VARIANT& arg : args) emission.values.emplace_back(arg);
    Emit(std::move(emission));
}

void SessionBus::EmitPropertiesChanged(const std::string& iface,
                                       const std::vector<std::pair<std::string, VARIANT>>& changed,
                                       const std::vector<std::string>& invalidated) {
    Emission emission{iface, {}, {}, {}, invalidated};
    for (const auto& [name, value] : changed) {
        emission.names.push_back(name);
        emission.values.emplace_back(value);
    }
    Emit(std::move(emission));
}

// On the joining thread what waits goes first, so the order stays the order
// of emission; another thread queues and wakes the joining thread once.
void SessionBus::Emit(Emission emission) {
    if (GetCurrentThreadId() == m_owner) {
        Flush();
        Send(emission);
        return;
    }
    std::lock_guard lock(m_queueLock);
    if (m_queue.size() >= kMaxQueued) {
        if (!std::exchange(m_overflowLogged, true))
            std::fprintf(stderr, "trelvane: dbus: %zu signals wait for the server's thread; dropping more\n",
                         m_queue.size());
        return;
    }
    m_overflowLogged = false;
    m_queue.push_back(std::move(emission));
    if (m_queue.size() == 1) Wake(m_wakeFd);
}

void SessionBus::Flush() {
    std::vector<Emission> waiting;
    {
        std::lock_guard lock(m_queueLock);
        waiting.swap(m_queue);
    }
    for (const Emission& emission : waiting) Send(emission);
}

void SessionBus::Send(const Emission& emission) {
    if (m_lost) return;
    sd_bus_message* message = nullptr;
    int r;
    if (!emission.member.empty()) {
        r = sd_bus_message_new_signal(m_bus, &message, m_path.c_str(), emission.iface.c_str(),
                                      emission.member.c_str());
        for (const OwnedVariant& value : emission.values)
            if (r >= 0) r = AppendValue(message, value.Get());
    } else {
        r = sd_bus_message_new_signal(m_bus, &message, m_path.c_str(), "org.freedesktop.DBus.Properties",
                                      "PropertiesChanged");
        if (r >= 0) r = sd_bus_message_append_basic(message, 's', emission.iface.c_str());
        if (r >= 0) r = sd_bus_message_open_container(message, 'a', "{sv}");
        for (std::size_t i = 0; i < emission.names.size() && r >= 0; ++i) {
            r = sd_bus_message_open_container(message, 'e', "sv");
            if (r >= 0) r = sd_bus_message_append_basic(message, 's', emission.names[i].c_str());
            if (r >= 0) r = AppendVariant(message, emission.values[i].Get());
            if (r >= 0) r = sd_bus_message_close_container(message);
        }
        if (r >= 0) r = sd_bus_message_close_container(message);
        if (r >= 0) r = sd_bus_message_open_container(message, 'a', "s");
        for (const auto& name : emission.invalidated)
            if (r >= 0) r = sd_bus_message_append_basic(message, 's', name.c_str());
        if (r >= 0) r = sd_bus_message_close_container(message);
    }
    // Sent without waiting: the library queues what the socket does not
    // take now, and the thread's wait writes it when the socket can.
    if (r >= 0) r = sd_bus_send(m_bus, message, nullptr);
    sd_bus_message_unref(message);
    if (r < 0) {
        if (!std::exchange(m_sendFailureLogged, true))
            std::fprintf(stderr, "trelvane: dbus: cannot send %s: %s\n",
                         emission.member.empty() ? "PropertiesChanged" : emission.member.c_str(), std::strerror(-r));
    } else {
        m_sendFailureLogged = false;
    }
}

}  // namespace platform::dbus
