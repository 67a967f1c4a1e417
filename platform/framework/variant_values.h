// Variants made from one value, for code that passes arguments to a call.
#pragma once

#include "platform/framework/system.h"

namespace platform {

// A variant of one type and value. A BSTR is wrapped, not copied: the
// caller keeps it.
template <class T>
VARIANT MakeVariant(VARTYPE vt, T VARIANT::*field, T value) {
    VARIANT v;
    VariantInit(&v);
    v.vt = vt;
    v.*field = value;
    return v;
}
inline VARIANT VariantI4(LONG value) { return MakeVariant(VT_I4, &VARIANT::lVal, value); }
inline VARIANT VariantR4(FLOAT value) { return MakeVariant(VT_R4, &VARIANT::fltVal, value); }
inline VARIANT VariantR8(DOUBLE value) { return MakeVariant(VT_R8, &VARIANT::dblVal, value); }
inline VARIANT VariantBool(VARIANT_BOOL value) { return MakeVariant(VT_BOOL, &VARIANT::boolVal, value); }
inline VARIANT VariantBstr(BSTR value) { return MakeVariant(VT_BSTR, &VARIANT::bstrVal, value); }

}  // namespace platform
