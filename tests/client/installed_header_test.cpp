// The installed automation header declares by itself what the platform's
// headers declare for the library it links with: a layout or a value that
// drifts apart would break clients without a link error. The header's
// declarations sit in a namespace of their own beside the platform's, and
// the file holds nothing but compile-time checks.
#include <cstddef>
#include <cstdint>

namespace installed {
#include "trelvane/trelvane.h"
}  // namespace installed

#include <algorithm>
#include <type_traits>

#include "platform/windows.h"

namespace {

#define SAME_LAYOUT(type)                                                                                    \
    static_assert(sizeof(installed::type) == sizeof(::type) && alignof(installed::type) == alignof(::type)); \
    static_assert(std::is_standard_layout_v<installed::type> == std::is_standard_layout_v<::type>);
SAME_LAYOUT(GUID)
SAME_LAYOUT(VARIANT)
SAME_LAYOUT(DISPPARAMS)
SAME_LAYOUT(EXCEPINFO)
SAME_LAYOUT(MSG)
#undef SAME_LAYOUT

#define SAME_OFFSET(type, member) static_assert(offsetof(installed::type, member) == offsetof(::type, member));
SAME_OFFSET(GUID, Data4)
SAME_OFFSET(VARIANT, lVal)
SAME_OFFSET(VARIANT, bstrVal)
SAME_OFFSET(VARIANT, record)
SAME_OFFSET(DISPPARAMS, cNamedArgs)
SAME_OFFSET(EXCEPINFO, bstrDescription)
SAME_OFFSET(EXCEPINFO, scode)
SAME_OFFSET(MSG, wParam)
SAME_OFFSET(MSG, pt)
#undef SAME_OFFSET

// Same value and same type (as far as the type is not a struct).
#define SAME_VALUE(name)                      \
    static_assert(installed::name == ::name); \
    static_assert(std::is_same_v<std::remove_cv_t<decltype(installed::name)>, std::remove_cv_t<decltype(::name)>>);
SAME_VALUE(INFINITE)
SAME_VALUE(VARIANT_TRUE)
SAME_VALUE(E_NOINTERFACE)
SAME_VALUE(E_FAIL)
SAME_VALUE(E_INVALIDARG)
SAME_VALUE(REGDB_E_CLASSNOTREG)
SAME_VALUE(CO_E_CLASSSTRING)
SAME_VALUE(RPC_E_DISCONNECTED)
SAME_VALUE(RPC_E_SERVER_DIED)
SAME_VALUE(RPC_E_TIMEOUT)
SAME_VALUE(DISP_E_MEMBERNOTFOUND)
SAME_VALUE(DISP_E_EXCEPTION)
SAME_VALUE(CONNECT_E_CANNOTCONNECT)
SAME_VALUE(DISPATCH_PROPERTYPUT)
SAME_VALUE(DISPID_PROPERTYPUT)
SAME_VALUE(LOCALE_USER_DEFAULT)
SAME_VALUE(CLSCTX_LOCAL_SERVER)
SAME_VALUE(WM_QUIT)
SAME_VALUE(PM_REMOVE)
SAME_VALUE(QS_ALLINPUT)
SAME_VALUE(MWMO_INPUTAVAILABLE)
SAME_VALUE(WAIT_TIMEOUT)
SAME_VALUE(WAIT_FAILED)
#undef SAME_VALUE

#define SAME_VT(name) static_assert(static_cast<VARTYPE>(installed::name) == static_cast<VARTYPE>(::name));
SAME_VT(VT_I4)
SAME_VT(VT_R4)
SAME_VT(VT_BSTR)
SAME_VT(VT_BOOL)
SAME_VT(VT_UI8)
SAME_VT(VT_BYREF)
#undef SAME_VT

constexpr bool SameGuid(const installed::GUID& a, const GUID& b) {
    return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 && std::equal(a.Data4, a.Data4 + 8, b.Data4);
}
static_assert(SameGuid(installed::IID_IUnknown, IID_IUnknown));
static_assert(SameGuid(installed::IID_IDispatch, IID_IDispatch));
static_assert(SameGuid(installed::IID_IErrorInfo, IID_IErrorInfo));
static_assert(SameGuid(installed::IID_IConnectionPointContainer, IID_IConnectionPointContainer));
static_assert(SameGuid(installed::IID_IConnectionPoint, IID_IConnectionPoint));

}  // namespace
