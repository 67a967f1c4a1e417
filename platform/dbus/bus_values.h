// Automation values on the bus: VT_I4 'i', VT_BOOL 'b', VT_I2 'n', VT_R4 and
// VT_R8 'd', VT_BSTR 's' (UTF-8 on the bus, UTF-16 in a BSTR).
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/dbus/bus_entry_points.h"
#include "platform/objects/oleauto.h"

namespace platform::dbus {

// A message of ours, let go when it goes (under the connection's lock: the
// message holds a reference to the connection).
struct MessageUnref {
    void operator()(sd_bus_message* message) const { Sd().sd_bus_message_unref(message); }
};
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;

// The bus's type code of a value's type, 0 for a type the bus face has not.
char BusTypeCode(VARTYPE type);
// Appends one value: 0 or a negative errno.
int AppendValue(sd_bus_message* message, const VARIANT& value);
// Appends a variant ('v') holding the value.
int AppendVariant(sd_bus_message* message, const VARIANT& value);
// Appends a dictionary of named values ('a{sv}'), as properties travel.
int AppendDictionary(sd_bus_message* message, const std::vector<std::pair<std::string, VARIANT>>& entries);
// Reads the next value, of basic type code; *value is new and the caller's
// to clear. 1, or a negative errno.
int ReadValue(sd_bus_message* message, char code, VARIANT* value);

}  // namespace platform::dbus
