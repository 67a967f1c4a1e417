// A method call that came over the bus to the served object, read in order
// and answered once: with values, with one variant, with a dictionary of
// properties, with a text, or with an error. The message is read on the
// joining thread alone; the answer, which uses the connection, is made and
// sent under the connection's lock.
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/objects/oleauto.h"

struct sd_bus_message;

namespace platform::dbus {

class IncomingCall {
public:
    IncomingCall(sd_bus_message* message, std::mutex& busLock) : m_message(message), m_busLock(busLock) {}
    IncomingCall(const IncomingCall&) = delete;
    IncomingCall& operator=(const IncomingCall&) = delete;

    std::string Sender() const;
    std::string Interface() const;
    std::string Member() const;
    std::string Signature() const;

    // The next argument, whose type code the signature gives; *value is the
    // caller's to clear. False when it is not there or cannot be read.
    bool ReadValue(char code, VARIANT* value);
    bool ReadString(std::string* text);
    // The value inside the next argument, a variant; *code is its type.
    bool ReadVariant(char* code, VARIANT* value);

    void Reply(const std::vector<VARIANT>& values);
    void ReplyVariant(const VARIANT& value);
    void ReplyDictionary(const std::vector<std::pair<std::string, VARIANT>>& entries);
    void ReplyText(const std::string& text);
    void ReplyError(const std::string& name, const std::string& text);

    bool Answered() const { return m_answered; }

private:
    template <class Fill>
    void Answer(Fill fill);

    sd_bus_message* m_message;
    std::mutex& m_busLock;
    bool m_answered = false;
};

}  // namespace platform::dbus
