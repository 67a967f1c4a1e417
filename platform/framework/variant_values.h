// Variants made from one value, for code that passes arguments to a call;
// the same on both systems.
#pragma once

#include "platform/framework/system.h"

namespace platform {

// A variant of type vt whose value set writes. The value is set by name, not
// through a pointer to member: on Windows the value fields are members of
// nested unions, which a pointer to a member of VARIANT cannot name. A BSTR
// or an interface is wrapped, not copied: the caller keeps it.
template <class Set>
VARIANT MakeVariant(VARTYPE vt, Set set) {
    VARIANT v;
    VariantInit(&v);
    v.vt = vt;
    set(v);
    return v;
}
inline VARIANT VariantI4(LONG value) {
    return MakeVariant(VT_I4, [value](VARIANT& v) { v.lVal = value; });
}
inline VARIANT VariantR4(FLOAT value) {
    return MakeVariant(VT_R4, [value](VARIANT& v) { v.fltVal = value; });
}
inline VARIANT VariantR8(DOUBLE value) {
    return MakeVariant(VT_R8, [value](VARIANT& v) { v.dblVal = value; });
}
inline VARIANT VariantBool(VARIANT_BOOL value) {
    return MakeVariant(VT_BOOL, [value](VARIANT& v) { v.boolVal = value; });
}
inline VARIANT VariantBstr(BSTR value) {
    return MakeVariant(VT_BSTR, [value](VARIANT& v) { v.bstrVal = value; });
}

}  // namespace platform
