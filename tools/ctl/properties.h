// The driver's properties as trelvanectl gets and sets them: taken from the
// contract's description of ITarvik and ITarvikTest, in vtable order.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/windows.h"

namespace trelvane::ctl {

struct Property {
    std::string name;  // "BaudRate"
    IID iid;           // the interface whose IDispatch serves it
    DISPID dispid;
    VARTYPE type;  // the value's type
    bool readable;
    bool writable;
    bool lineSetting;  // kept only while a port is open
};

const std::vector<Property>& Properties();
// By name, without regard to case; null for no such property.
const Property* FindProperty(std::string_view name);

// The value that `set` sends for text, made canonical where the driver
// compares exactly (Parity's names) and checked where the driver would
// ignore a value silently or keep a meaningless one (StopBits, DataBits);
// empty when it is not a value of the
// property, with what it should be in *expected.
std::string CanonicalValue(const Property& property, std::string_view text, std::string* expected);

}  // namespace trelvane::ctl
