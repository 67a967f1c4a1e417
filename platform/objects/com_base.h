// The object model's foundation: GUIDs and their registry form, IUnknown,
// and the HRESULTs of the object runtime, automation and connection points.
// What clients use too (GUID, IUnknown, BSTR, VARIANT, IDispatch, error
// information, connection points and the HRESULTs they meet) is declared
// once, in the header that is installed for them.
#pragma once

#include <atomic>
#include <utility>

#include "platform/base/com_ptr.h"
#include "platform/base/ref_counted.h"
#include "platform/base/types.h"
#include "trelvane/automation_objects.h"

inline bool IsEqualIID(REFIID a, REFIID b) { return IsEqualGUID(a, b); }

inline constexpr GUID GUID_NULL{0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
inline constexpr IID IID_NULL = GUID_NULL;
inline constexpr CLSID CLSID_NULL = GUID_NULL;
constexpr int CHARS_IN_GUID = 39;

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}": 39 written (with the terminator),
// or 0 when cchMax is too small.
int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);
// The registry form in memory from CoTaskMemAlloc: S_OK or E_OUTOFMEMORY.
HRESULT StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz);
// A braced GUID in either case; NULL gives GUID_NULL. Anything else is looked
// up as a ProgID (CLSIDFromProgID); not found: CO_E_CLASSSTRING.
HRESULT CLSIDFromString(LPCOLESTR lpsz, CLSID* pclsid);
// NULL gives IID_NULL; a length other than 38 E_INVALIDARG; else CO_E_IIDSTRING.
HRESULT IIDFromString(LPCOLESTR lpsz, IID* lpiid);

// The memory that the object runtime hands to callers.
LPVOID CoTaskMemAlloc(std::size_t cb);
void CoTaskMemFree(LPVOID pv);

// HRESULTs of the object runtime.
constexpr HRESULT CLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = static_cast<HRESULT>(0x80040111);
constexpr HRESULT REGDB_E_READREGDB = static_cast<HRESULT>(0x80040150);
constexpr HRESULT CO_E_ALREADYINITIALIZED = static_cast<HRESULT>(0x800401F1);
constexpr HRESULT CO_E_IIDSTRING = static_cast<HRESULT>(0x800401F4);
constexpr HRESULT RPC_E_CHANGED_MODE = static_cast<HRESULT>(0x80010106);
constexpr HRESULT DISP_E_UNKNOWNINTERFACE = static_cast<HRESULT>(0x80020001);
constexpr HRESULT DISP_E_PARAMNOTFOUND = static_cast<HRESULT>(0x80020004);
constexpr HRESULT DISP_E_UNKNOWNNAME = static_cast<HRESULT>(0x80020006);
constexpr HRESULT DISP_E_NONAMEDARGS = static_cast<HRESULT>(0x80020007);
constexpr HRESULT DISP_E_BADVARTYPE = static_cast<HRESULT>(0x80020008);
constexpr HRESULT DISP_E_OVERFLOW = static_cast<HRESULT>(0x8002000A);
constexpr HRESULT DISP_E_BADINDEX = static_cast<HRESULT>(0x8002000B);
constexpr HRESULT DISP_E_PARAMNOTOPTIONAL = static_cast<HRESULT>(0x8002000F);
constexpr HRESULT TYPE_E_LIBNOTREGISTERED = static_cast<HRESULT>(0x8002801D);
constexpr HRESULT TYPE_E_ELEMENTNOTFOUND = static_cast<HRESULT>(0x8002802B);
constexpr HRESULT TYPE_E_CANTLOADLIBRARY = static_cast<HRESULT>(0x80029C4A);
constexpr HRESULT CONNECT_E_ADVISELIMIT = static_cast<HRESULT>(0x80040201);
constexpr HRESULT CONNECT_E_OVERRIDDEN = static_cast<HRESULT>(0x80040203);

namespace platform {

// A GUID in registry form, braces required, digits in either case.
bool GuidFromRegistryForm(LPCOLESTR text, GUID* guid);

}  // namespace platform
