// The entry points of sd-bus that the bus face uses, resolved from the
// library that bus_library.h loads.
#pragma once

#include <systemd/sd-bus.h>

namespace platform::dbus {

#define TRELVANE_SD_BUS_ENTRY_POINTS(X) \
    X(sd_bus_open_user)                 \
    X(sd_bus_unref)                     \
    X(sd_bus_close_unref)               \
    X(sd_bus_add_object)                \
    X(sd_bus_add_match_async)           \
    X(sd_bus_request_name_async)        \
    X(sd_bus_slot_unref)                \
    X(sd_bus_get_fd)                    \
    X(sd_bus_get_events)                \
    X(sd_bus_get_n_queued_write)        \
    X(sd_bus_process)                   \
    X(sd_bus_send)                      \
    X(sd_bus_reply_method_error)        \
    X(sd_bus_message_ref)               \
    X(sd_bus_message_unref)             \
    X(sd_bus_message_new_signal)        \
    X(sd_bus_message_new_method_return) \
    X(sd_bus_message_get_error)         \
    X(sd_bus_message_get_expect_reply)  \
    X(sd_bus_message_get_sender)        \
    X(sd_bus_message_get_interface)     \
    X(sd_bus_message_get_member)        \
    X(sd_bus_message_get_signature)     \
    X(sd_bus_message_append_basic)      \
    X(sd_bus_message_open_container)    \
    X(sd_bus_message_close_container)   \
    X(sd_bus_message_enter_container)   \
    X(sd_bus_message_exit_container)    \
    X(sd_bus_message_peek_type)         \
    X(sd_bus_message_read)              \
    X(sd_bus_message_read_basic)

struct BusEntryPoints {
#define TRELVANE_SD_BUS_MEMBER(name) decltype(&::name) name;  // NOLINT(bugprone-macro-parentheses): names, not values
    TRELVANE_SD_BUS_ENTRY_POINTS(TRELVANE_SD_BUS_MEMBER)
#undef TRELVANE_SD_BUS_MEMBER
};

// The table; only once LoadBusLibrary has succeeded on this thread or on one
// this thread has synchronised with.
const BusEntryPoints& Sd();

}  // namespace platform::dbus
