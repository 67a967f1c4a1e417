#include "platform/dbus/bus_values.h"

#include <cerrno>
#include <cstdint>
#include <string>

#include "platform/base/utf8.h"

namespace platform::dbus {

char BusTypeCode(VARTYPE type) {
    switch (type) {
    case VT_I4: return 'i';
    case VT_BOOL: return 'b';
    case VT_I2: return 'n';
    case VT_R4:
    case VT_R8: return 'd';
    case VT_BSTR: return 's';
    default: return 0;
    }
}

int AppendValue(sd_bus_message* message, const VARIANT& value) {
    switch (value.vt) {
    case VT_I4: return Sd().sd_bus_message_append_basic(message, 'i', &value.lVal);
    case VT_BOOL: {
        const int flag = value.boolVal != VARIANT_FALSE;
        return Sd().sd_bus_message_append_basic(message, 'b', &flag);
    }
    case VT_I2: return Sd().sd_bus_message_append_basic(message, 'n', &value.iVal);
    case VT_R4: {
        const double number = value.fltVal;
        return Sd().sd_bus_message_append_basic(message, 'd', &number);
    }
    case VT_R8: return Sd().sd_bus_message_append_basic(message, 'd', &value.dblVal);
    case VT_BSTR: {
        const std::string text =
            value.bstrVal ? ToUtf8(std::u16string(value.bstrVal, SysStringLen(value.bstrVal))) : std::string();
        return Sd().sd_bus_message_append_basic(message, 's', text.c_str());
    }
    default: return -EINVAL;
    }
}

int AppendVariant(sd_bus_message* message, const VARIANT& value) {
    const char contents[2] = {BusTypeCode(value.vt), 0};
    int r = Sd().sd_bus_message_open_container(message, 'v', contents);
    if (r >= 0) r = AppendValue(message, value);
    if (r >= 0) r = Sd().sd_bus_message_close_container(message);
    return r;
}

int AppendDictionary(sd_bus_message* message, const std::vector<std::pair<std::string, VARIANT>>& entries) {
    int r = Sd().sd_bus_message_open_container(message, 'a', "{sv}");
    for (const auto& [name, value] : entries) {
        if (r >= 0) r = Sd().sd_bus_message_open_container(message, 'e', "sv");
        if (r >= 0) r = Sd().sd_bus_message_append_basic(message, 's', name.c_str());
        if (r >= 0) r = AppendVariant(message, value);
        if (r >= 0) r = Sd().sd_bus_message_close_container(message);
    }
    if (r >= 0) r = Sd().sd_bus_message_close_container(message);
    return r;
}

int ReadValue(sd_bus_message* message, char code, VARIANT* value) {
    VariantInit(value);
    int r;
    switch (code) {
    case 'i': value->vt = VT_I4; return Sd().sd_bus_message_read_basic(message, 'i', &value->lVal);
    case 'b': {
        int flag = 0;
        if ((r = Sd().sd_bus_message_read_basic(message, 'b', &flag)) > 0) {
            value->vt = VT_BOOL;
            value->boolVal = flag ? VARIANT_TRUE : VARIANT_FALSE;
        }
        return r;
    }
    case 'n': value->vt = VT_I2; return Sd().sd_bus_message_read_basic(message, 'n', &value->iVal);
    case 'd': value->vt = VT_R8; return Sd().sd_bus_message_read_basic(message, 'd', &value->dblVal);
    case 's': {
        const char* text = nullptr;
        if ((r = Sd().sd_bus_message_read_basic(message, 's', &text)) <= 0) return r;
        const std::u16string wide = FromUtf8(text);
        value->bstrVal = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
        if (value->bstrVal == nullptr) return -ENOMEM;
        value->vt = VT_BSTR;
        return r;
    }
    default: return -EINVAL;
    }
}

}  // namespace platform::dbus
