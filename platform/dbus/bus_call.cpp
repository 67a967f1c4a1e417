#include "platform/dbus/bus_call.h"

#include <cstdio>
#include <cstring>

#include "platform/base/log.h"
#include "platform/dbus/bus_values.h"

namespace platform::dbus {
namespace {

std::string OrEmpty(const char* text) { return text ? text : ""; }

}  // namespace

std::string IncomingCall::Sender() const { return OrEmpty(Sd().sd_bus_message_get_sender(m_message)); }
std::string IncomingCall::Interface() const { return OrEmpty(Sd().sd_bus_message_get_interface(m_message)); }
std::string IncomingCall::Member() const { return OrEmpty(Sd().sd_bus_message_get_member(m_message)); }
std::string IncomingCall::Signature() const { return OrEmpty(Sd().sd_bus_message_get_signature(m_message, 1)); }

bool IncomingCall::ReadValue(char code, VARIANT* value) {
    if (dbus::ReadValue(m_message, code, value) > 0) return true;
    VariantClear(value);
    return false;
}

bool IncomingCall::ReadString(std::string* text) {
    const char* value = nullptr;
    if (Sd().sd_bus_message_read_basic(m_message, 's', &value) <= 0) return false;
    *text = value;
    return true;
}

bool IncomingCall::ReadVariant(char* code, VARIANT* value) {
    const char* contents = nullptr;
    VariantInit(value);
    if (Sd().sd_bus_message_peek_type(m_message, nullptr, &contents) <= 0 || contents == nullptr ||
        std::strlen(contents) != 1)
        return false;
    *code = contents[0];
    if (Sd().sd_bus_message_enter_container(m_message, 'v', contents) <= 0) return false;
    if (!ReadValue(*code, value)) return false;
    return Sd().sd_bus_message_exit_container(m_message) >= 0;
}

// The reply is made and sent here; a reply that cannot be sent (the caller
// has gone, the bus is full) is logged: nobody else would learn of it.
template <class Fill>
void IncomingCall::Answer(Fill fill) {
    m_answered = true;
    if (Sd().sd_bus_message_get_expect_reply(m_message) == 0) return;
    int r;
    {
        std::lock_guard lock(m_busLock);
        sd_bus_message* made = nullptr;
        r = Sd().sd_bus_message_new_method_return(m_message, &made);
        const MessagePtr reply(made);
        if (r >= 0) r = fill(reply.get());
        if (r >= 0) r = Sd().sd_bus_send(nullptr, reply.get(), nullptr);
    }
    if (r < 0) log::Error(log::Channel::dbus, "cannot answer %s: %s", Member().c_str(), std::strerror(-r));
}

void IncomingCall::Reply(const std::vector<VARIANT>& values) {
    Answer([&](sd_bus_message* reply) {
        for (const VARIANT& value : values)
            if (int r = AppendValue(reply, value); r < 0) return r;
        return 0;
    });
}

void IncomingCall::ReplyVariant(const VARIANT& value) {
    Answer([&](sd_bus_message* reply) { return AppendVariant(reply, value); });
}

void IncomingCall::ReplyDictionary(const std::vector<std::pair<std::string, VARIANT>>& entries) {
    Answer([&](sd_bus_message* reply) { return AppendDictionary(reply, entries); });
}

void IncomingCall::ReplyText(const std::string& text) {
    Answer([&](sd_bus_message* reply) { return Sd().sd_bus_message_append_basic(reply, 's', text.c_str()); });
}

void IncomingCall::ReplyError(const std::string& name, const std::string& text) {
    m_answered = true;
    if (Sd().sd_bus_message_get_expect_reply(m_message) == 0) return;
    const sd_bus_error error = SD_BUS_ERROR_MAKE_CONST(name.c_str(), text.c_str());
    int r;
    {
        std::lock_guard lock(m_busLock);
        r = Sd().sd_bus_reply_method_error(m_message, &error);
    }
    if (r < 0)
        log::Error(log::Channel::dbus, "cannot answer %s with %s: %s", Member().c_str(), name.c_str(),
                   std::strerror(-r));
}

}  // namespace platform::dbus
