#include "platform/dbus/session_bus.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/base/log.h"
#include "platform/base/sync.h"
#include "platform/dbus/bus_entry_points.h"
#include "platform/dbus/bus_values.h"
#include "platform/messages/thread_wait.h"

namespace platform::dbus {
namespace {

// Calls handled in one turn of the thread's wait: a flood of calls must not
// keep the thread from its messages and timers.
constexpr int kCallsPerTurn = 64;

// Signals that may wait in the library's queue for a bus daemon that takes
// nothing (stopped, or swamped): beyond this they are dropped, so that a
// stalled bus costs a bounded amount of memory and never holds the sender.
constexpr std::uint64_t kMaxQueuedSignals = 1024;

constexpr char kDepartures[] =
    "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
    "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg2=''";

void Wake(int fd) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(fd, &one, sizeof one);  // a full counter is still a wake-up
}

}  // namespace

// The library's callbacks, with the library's signatures.
struct BusCallbacks {
    // Nothing may leave into the library's C code: a call that cannot be
    // kept is answered with the library's error for -ENOMEM.
    static int Call(sd_bus_message* message, void* self, sd_bus_error*) try {
        static_cast<SessionBus*>(self)->OnCall(message);
        return 1;
    } catch (const std::bad_alloc&) {
        return -ENOMEM;
    }
    static int NameOwnerChanged(sd_bus_message* message, void* self, sd_bus_error*) try {
        static_cast<SessionBus*>(self)->OnNameOwnerChanged(message);
        return 0;
    } catch (const std::bad_alloc&) {
        log::Error(log::Channel::dbus, "out of memory for a departing client; its hold stays");
        return 0;
    }
};

std::unique_ptr<SessionBus> SessionBus::Join(const std::string& path, BusHandlers handlers, std::string* failure) {
    failure->clear();
    sd_bus* bus = nullptr;
    if (int r = Sd().sd_bus_open_user(&bus); r < 0) {
        // Without an address in the environment a missing bus is no failure:
        // the user has no session bus.
        if (std::getenv("DBUS_SESSION_BUS_ADDRESS") != nullptr)
            *failure = std::string("cannot join the session bus: ") + std::strerror(-r);
        return nullptr;
    }
    const int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
        *failure = std::string("cannot make a wake-up descriptor: ") + std::strerror(errno);
        Sd().sd_bus_unref(bus);
        return nullptr;
    }
    std::unique_ptr<SessionBus> joined(new SessionBus(bus, path, std::move(handlers), wakeFd));
    if (!joined->Start(failure)) return nullptr;
    return joined;
}

SessionBus::SessionBus(sd_bus* bus, std::string path, BusHandlers handlers, int wakeFd)
    : m_bus(bus),
      m_path(std::move(path)),
      m_handlers(std::move(handlers)),
      m_owner(GetCurrentThreadId()),
      m_wakeFd(wakeFd) {}

bool SessionBus::Start(std::string* failure) {
    int r = Sd().sd_bus_add_object(m_bus, &m_objectSlot, m_path.c_str(), &BusCallbacks::Call, this);
    // Without the watch a client that leaves would keep its hold: a failure
    // to install it ends the connection (the library's default).
    if (r >= 0)
        r = Sd().sd_bus_add_match_async(m_bus, &m_matchSlot, kDepartures, &BusCallbacks::NameOwnerChanged, nullptr,
                                        this);
    if (r < 0) {
        *failure = std::string("cannot serve on the session bus: ") + std::strerror(-r);
        return false;
    }
    m_busSource =
        AddWaitSource({Sd().sd_bus_get_fd(m_bus), [this] { return WaitEvents(); }, [this](short) { Process(); }});
    // Written when more waits in the library's buffer, or when another
    // thread's signal is left queued: the wait's events need a new look.
    m_wakeSource = AddWaitSource({m_wakeFd, [] { return kSourceReadable; },
                                  [this](short) {
                                      std::uint64_t count;
                                      [[maybe_unused]] const ssize_t got = ::read(m_wakeFd, &count, sizeof count);
                                      Process();
                                  }});
    return true;
}

SessionBus::~SessionBus() {
    if (m_busSource) RemoveWaitSource(m_busSource);
    if (m_wakeSource) RemoveWaitSource(m_wakeSource);
    std::unique_lock lock(m_busLock);
    for (sd_bus_message* call : m_calls) Sd().sd_bus_message_unref(call);
    Sd().sd_bus_slot_unref(m_matchSlot);
    Sd().sd_bus_slot_unref(m_objectSlot);
    // What is queued (the last answers and signals) goes out before leaving,
    // for a second at most: a bus daemon that takes nothing must not keep
    // the server from ending. With the object gone, a call that comes
    // meanwhile is answered by the library, not by the handlers.
    for (int turn = 0; turn < 100 && !m_lost; ++turn) {
        const int events = Sd().sd_bus_get_events(m_bus);
        if (events <= 0 || !(events & POLLOUT)) break;
        pollfd writable{Sd().sd_bus_get_fd(m_bus), POLLOUT, 0};
        lock.unlock();
        const int polled = ::poll(&writable, 1, 10);
        lock.lock();
        if (polled < 0 || Sd().sd_bus_process(m_bus, nullptr) < 0) break;
    }
    Sd().sd_bus_close_unref(m_bus);
    lock.unlock();
    ::close(m_wakeFd);
}

void SessionBus::RequestName(const std::string& name) {
    auto reply = [](sd_bus_message* message, void*, sd_bus_error*) -> int {
        uint32_t result = 0;
        if (const sd_bus_error* error = Sd().sd_bus_message_get_error(message))
            log::Error(log::Channel::dbus, "cannot take the bus name: %s", error->message);
        else if (Sd().sd_bus_message_read_basic(message, 'u', &result) > 0 && result == 2)
            log::Warning(log::Channel::dbus, "another program owns the bus name; waiting for it");
        return 0;
    };
    std::unique_lock lock(m_busLock);
    const int r = Sd().sd_bus_request_name_async(m_bus, nullptr, name.c_str(), SD_BUS_NAME_QUEUE, reply, this);
    lock.unlock();
    if (r < 0) log::Error(log::Channel::dbus, "cannot ask for the bus name %s: %s", name.c_str(), std::strerror(-r));
}

short SessionBus::WaitEvents() {
    // A call being handled may wait for other things; the bus is not read
    // again meanwhile.
    if (m_processing) return 0;
    std::lock_guard lock(m_busLock);
    const int events = m_lost ? 0 : Sd().sd_bus_get_events(m_bus);
    if (events <= 0) return 0;
    return static_cast<short>(((events & POLLIN) ? kSourceReadable : 0) | ((events & POLLOUT) ? kSourceWritable : 0));
}

// One message at a time under the lock; what its callbacks took (a call, a
// departure) is handled after it, so that the handlers, which call the
// driver and may emit signals or wait, never hold the lock.
void SessionBus::Process() {
    if (m_processing) return;
    m_processing = true;
    int r = 0;
    for (int turn = 0; turn < kCallsPerTurn; ++turn) {
        {
            std::lock_guard lock(m_busLock);
            r = m_lost ? 0 : Sd().sd_bus_process(m_bus, nullptr);
            if (m_dropped != 0) NoteQueueTaken();
        }
        HandleTaken();
        if (r <= 0) break;
    }
    m_processing = false;
    if (r < 0) return Lose(r);
    // More may wait in the library's buffer, where the descriptor no longer
    // shows it: come back in the next wait.
    if (r > 0) Wake(m_wakeFd);
}

void SessionBus::HandleTaken() {
    for (const std::string& name : std::exchange(m_departed, {})) m_handlers.departed(name);
    // One call at most (one message per turn); m_calls keeps its room.
    for (sd_bus_message* message : m_calls) {
        IncomingCall call(message, m_busLock);
        try {
            m_handlers.call(call);
        } catch (const std::bad_alloc&) {
            if (!call.Answered()) call.ReplyError(SD_BUS_ERROR_NO_MEMORY, "Out of memory");
        } catch (const std::exception& error) {
            // Nothing may leave into the library's C code.
            log::Error(log::Channel::dbus, "%s failed: %s", call.Member().c_str(), error.what());
            if (!call.Answered()) call.ReplyError(SD_BUS_ERROR_FAILED, error.what());
        }
        if (!call.Answered()) call.ReplyError(SD_BUS_ERROR_FAILED, "The call was not answered");
        std::lock_guard lock(m_busLock);
        Sd().sd_bus_message_unref(message);
    }
    m_calls.clear();
}

void SessionBus::Lose(int error) {
    {
        std::lock_guard lock(m_busLock);
        m_lost = true;
    }
    RemoveWaitSource(std::exchange(m_busSource, 0));
    log::Error(log::Channel::dbus, "the session bus connection has ended: %s", std::strerror(-error));
    if (m_handlers.lost) m_handlers.lost();
}

// Under the lock, inside the library's processing: the call is kept for
// HandleTaken.
void SessionBus::OnCall(sd_bus_message* message) {
    m_calls.reserve(m_calls.size() + 1);
    m_calls.push_back(Sd().sd_bus_message_ref(message));
}

void SessionBus::OnNameOwnerChanged(sd_bus_message* message) {
    const char *name = nullptr, *oldOwner = nullptr, *newOwner = nullptr;
    if (Sd().sd_bus_message_read(message, "sss", &name, &oldOwner, &newOwner) < 0) return;
    // A unique name that loses its owner is a client that has left.
    if (name[0] == ':' && newOwner[0] == '\0') m_departed.emplace_back(name);
}

void SessionBus::EmitSignal(const std::string& iface, const std::string& member, const std::vector<VARIANT>& args) {
    std::lock_guard lock(m_busLock);
    if (m_lost) return;
    sd_bus_message* made = nullptr;
    int r = Sd().sd_bus_message_new_signal(m_bus, &made, m_path.c_str(), iface.c_str(), member.c_str());
    const MessagePtr message(made);
    for (const VARIANT& arg : args)
        if (r >= 0) r = AppendValue(message.get(), arg);
    Send(r, message.get(), member.c_str());
}

void SessionBus::EmitPropertiesChanged(const std::string& iface,
                                       const std::vector<std::pair<std::string, VARIANT>>& changed,
                                       const std::vector<std::string>& invalidated) {
    std::lock_guard lock(m_busLock);
    if (m_lost) return;
    sd_bus_message* made = nullptr;
    int r = Sd().sd_bus_message_new_signal(m_bus, &made, m_path.c_str(), "org.freedesktop.DBus.Properties",
                                           "PropertiesChanged");
    const MessagePtr message(made);
    if (r >= 0) r = Sd().sd_bus_message_append_basic(made, 's', iface.c_str());
    if (r >= 0) r = AppendDictionary(made, changed);
    if (r >= 0) r = Sd().sd_bus_message_open_container(made, 'a', "s");
    for (const auto& name : invalidated)
        if (r >= 0) r = Sd().sd_bus_message_append_basic(made, 's', name.c_str());
    if (r >= 0) r = Sd().sd_bus_message_close_container(made);
    Send(r, made, "PropertiesChanged");
}

// Under the lock; made is the outcome of making the message. Sent without
// waiting: the library queues what the socket does not take now, and the
// joining thread's wait writes it when the socket can. That wait looks at
// the queue before it sleeps; a signal queued by another thread meanwhile
// wakes it to look again.
void SessionBus::Send(int made, sd_bus_message* message, const char* what) {
    std::uint64_t queued = 0;
    if (made >= 0 && Sd().sd_bus_get_n_queued_write(m_bus, &queued) >= 0 && queued >= kMaxQueuedSignals) {
        if (m_dropped++ == 0)
            log::Error(log::Channel::dbus,
                       "the session bus takes nothing: %llu messages wait; signals are dropped until it takes them",
                       static_cast<unsigned long long>(queued));
        return;
    }
    if (m_dropped != 0) NoteQueueTaken();
    const int r = made < 0 ? made : Sd().sd_bus_send(m_bus, message, nullptr);
    if (r < 0) {
        if (!std::exchange(m_sendFailureLogged, true))
            log::Error(log::Channel::dbus, "cannot send %s: %s", what, std::strerror(-r));
        return;
    }
    m_sendFailureLogged = false;
    if (GetCurrentThreadId() != m_owner && (Sd().sd_bus_get_events(m_bus) & POLLOUT)) Wake(m_wakeFd);
}

// Under the lock, after signals were dropped: once the queue is below its
// bound again, says how many were lost.
void SessionBus::NoteQueueTaken() {
    std::uint64_t queued = 0;
    if (Sd().sd_bus_get_n_queued_write(m_bus, &queued) < 0 || queued >= kMaxQueuedSignals) return;
    log::Warning(log::Channel::dbus, "the session bus takes signals again; %llu were dropped",
                 static_cast<unsigned long long>(std::exchange(m_dropped, 0)));
}

}  // namespace platform::dbus
