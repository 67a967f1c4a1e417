#include "tools/ctl/values.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "platform/windows.h"
#include "tools/ctl/options.h"

namespace trelvane::ctl {
namespace {

std::optional<bool> ParseSwitch(std::string_view text) {
    for (const char* on : {"on", "true", "yes", "1"})
        if (platform::EqualNoCase(text, on)) return true;
    for (const char* off : {"off", "false", "no", "0"})
        if (platform::EqualNoCase(text, off)) return false;
    return std::nullopt;
}

// A platform message ends in a line end; the line for people does not.
std::string WithoutLineEnd(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

std::string FloatText(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.4g", value);
    return text;
}

}  // namespace

std::string Utf8Of(BSTR text) {
    return text ? platform::ToUtf8(platform::WString(text, SysStringLen(text))) : std::string();
}

tools::Value JsonValueOf(const VARIANT& value) {
    switch (value.vt) {
    case VT_I4: return static_cast<long long>(value.lVal);
    case VT_I2: return static_cast<long long>(value.iVal);
    case VT_R4: return static_cast<double>(value.fltVal);
    case VT_R8: return value.dblVal;
    case VT_BOOL: return value.boolVal != VARIANT_FALSE;
    case VT_BSTR:
        if (value.bstrVal) return WithoutLineEnd(Utf8Of(value.bstrVal));
        return tools::Null{};
    default: return tools::Null{};
    }
}

std::string TextOf(const VARIANT& value) {
    switch (value.vt) {
    case VT_I4: return std::to_string(value.lVal);
    case VT_I2: return std::to_string(value.iVal);
    case VT_R4: return FloatText(value.fltVal);
    case VT_R8: return FloatText(value.dblVal);
    case VT_BOOL: return value.boolVal != VARIANT_FALSE ? "on" : "off";
    case VT_BSTR:
        if (!value.bstrVal) return "-";
        return "\"" + tools::Printable(WithoutLineEnd(Utf8Of(value.bstrVal))) + "\"";
    default: return "-";
    }
}

std::optional<std::string> ParseValue(VARTYPE vt, std::string_view text, VARIANT* out) {
    VariantInit(out);
    switch (vt) {
    case VT_I4:
        if (auto n = ParseLong(text)) {
            *out = platform::VariantI4(static_cast<LONG>(*n));
            return std::nullopt;
        }
        return "a whole number";
    case VT_I2:
        if (auto n = ParseLong(text); n && *n >= -32768 && *n <= 32767) {
            out->vt = VT_I2;
            out->iVal = static_cast<SHORT>(*n);
            return std::nullopt;
        }
        return "a whole number from -32768 to 32767";
    case VT_R4: {
        const std::string s(text);
        char* end = nullptr;
        const double d = s.empty() ? NAN : std::strtod(s.c_str(), &end);
        if (s.empty() || *end != '\0' || !std::isfinite(d) || std::fabs(d) > 1e30) return "a number";
        *out = platform::VariantR4(static_cast<FLOAT>(d));
        return std::nullopt;
    }
    case VT_BOOL:
        if (auto on = ParseSwitch(text)) {
            *out = platform::VariantBool(*on ? VARIANT_TRUE : VARIANT_FALSE);
            return std::nullopt;
        }
        return "on or off";
    case VT_BSTR: {
        const platform::WString wide = platform::FromUtf8(std::string(text));
        BSTR b = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
        if (!b) return "a shorter text (out of memory)";
        *out = platform::VariantBstr(b);
        return std::nullopt;
    }
    default: return "a value of a type trelvanectl does not know";
    }
}

}  // namespace trelvane::ctl
