// Values that cross the driver's interfaces, as trelvanectl reads them from
// the command line and shows them.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/windows.h"
#include "tools/common/record.h"

namespace trelvane::ctl {

// A value for JSON: numbers, booleans and strings as they are (a string
// without the line end that the driver's messages carry); an empty
// variant (a getter that had nothing to give) and a null string as null.
tools::Value JsonValueOf(const VARIANT& value);
// The same for people: strings in quotation marks, "-" for nothing.
std::string TextOf(const VARIANT& value);

// The text of a BSTR, or "" for a null one.
std::string Utf8Of(BSTR text);

// Reads text as a value of type vt (VT_I4, VT_I2, VT_R4, VT_BOOL, VT_BSTR).
// On success *out holds it (a BSTR is new: clear the variant); otherwise the
// result says what the value should have been.
std::optional<std::string> ParseValue(VARTYPE vt, std::string_view text, VARIANT* out);

}  // namespace trelvane::ctl
