// VARIANT values, IDispatch's arguments and type information on the wire
// (see wire.h). Objects inside values cross as references through the
// reader's or writer's connection.
#pragma once

#include <deque>

#include "platform/objects/oaidl.h"
#include "platform/remoting/codec.h"

namespace platform::remoting {

// Whether a value of type vt can cross (VT_BYREF included).
bool CanCross(VARTYPE vt);
// A whole value: vt and what it holds (for VT_BYREF, what it points to).
void PutVariant(Writer& w, const VARIANT& value);
// A value that is not by reference; false when malformed.
bool GetVariant(Reader& r, VARIANT* out);
// An argument of Invoke: a by-reference one points into storage, which the
// caller keeps until the call is over and then clears.
bool GetArgument(Reader& r, VARIANT* arg, std::deque<VARIANT>& storage);
// After the call: what a by-reference argument points to now, and on the
// caller's side, that value written back into the caller's memory (what it
// held before is freed, as for an [in, out] parameter).
void PutPointee(Writer& w, const VARIANT& byrefArg);
bool UpdatePointee(Reader& r, const VARIANT& byrefArg);

void PutExcepInfo(Writer& w, const EXCEPINFO& info);
bool GetExcepInfo(Reader& r, EXCEPINFO* info);

// Type information crosses by the GUIDs of its library and of itself.
void PutTypeInfo(Writer& w, ITypeInfo* info);
// Builds it from the library registered on this side (marshallers.h).
HRESULT GetTypeInfoRef(Reader& r, ITypeInfo** info);

}  // namespace platform::remoting
