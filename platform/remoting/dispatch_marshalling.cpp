// IDispatch across processes: names, type information (built on the
// caller's side from the shared contract), and Invoke with its arguments,
// by-reference ones included, its result, EXCEPINFO and argument index.
#include <deque>
#include <string>
#include <vector>

#include "platform/remoting/dispatch_stub.h"
#include "platform/remoting/proxy_stub.h"
#include "platform/remoting/variants.h"

namespace platform::remoting {
namespace {

using namespace wire::method;

enum Present : std::uint8_t { kParams = 1, kResult = 2, kExcepInfo = 4, kArgErr = 8 };

bool AllCanCross(const DISPPARAMS& params) {
    for (UINT i = 0; i < params.cArgs; ++i)
        if (!CanCross(params.rgvarg[i].vt)) return false;
    return true;
}

void PutInvoke(Writer& w, DISPID dispid, REFIID riid, LCID lcid, WORD flags, const DISPPARAMS* params,
               std::uint8_t present, UINT argErr) {
    w.I32(dispid);
    w.Guid(riid);
    w.U32(lcid);
    w.U16(flags);
    w.U8(present);
    if (params) {
        w.U32(params->cArgs);
        for (UINT i = 0; i < params->cArgs; ++i) PutVariant(w, params->rgvarg[i]);
        w.U32(params->cNamedArgs);
        for (UINT i = 0; i < params->cNamedArgs; ++i) w.I32(params->rgdispidNamedArgs[i]);
    }
    if (present & kArgErr) w.U32(argErr);
}

// The results of Invoke into the caller's variables.
void GetInvokeResults(Reader& r, const DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr) {
    if (result && r.U8()) {
        VARIANT value;
        if (GetVariant(r, &value)) {
            VariantClear(result);
            *result = value;
        }
    }
    if (excepInfo && r.U8()) GetExcepInfo(r, excepInfo);
    if (argErr) *argErr = r.U32();
    if (params)
        for (UINT i = 0; i < params->cArgs && r.Ok(); ++i)
            if (params->rgvarg[i].vt & VT_BYREF) UpdatePointee(r, params->rgvarg[i]);
}

void RunGetTypeInfoCount(IDispatch* object, StubCall& call) {
    if (!call.in.AtEnd()) return;
    UINT count = 0;
    call.hr = object->GetTypeInfoCount(&count);
    call.out.U32(count);
}

void RunGetTypeInfo(IDispatch* object, StubCall& call) {
    const UINT index = call.in.U32();
    const LCID lcid = call.in.U32();
    if (!call.in.AtEnd()) return;
    ITypeInfo* info = nullptr;
    call.hr = object->GetTypeInfo(index, lcid, &info);
    PutTypeInfo(call.out, SUCCEEDED(call.hr) ? info : nullptr);
    if (info) info->Release();
}

void RunGetIDsOfNames(IDispatch* object, StubCall& call) {
    const GUID riid = call.in.Guid();
    const LCID lcid = call.in.U32();
    const std::uint32_t count = call.in.Count(wire::kMaxArguments, sizeof(std::uint32_t));
    std::vector<std::u16string> names(count);
    std::vector<LPOLESTR> pointers(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        bool isNull = false;
        call.in.Text(&names[i], &isNull);
        pointers[i] = isNull ? nullptr : names[i].data();
    }
    if (!call.in.AtEnd()) return;
    std::vector<DISPID> ids(count, DISPID_UNKNOWN);
    call.hr = object->GetIDsOfNames(riid, pointers.data(), count, lcid, ids.data());
    for (DISPID id : ids) call.out.I32(id);
}

void RunInvoke(IDispatch* object, StubCall& call) {
    Reader& in = call.in;
    const DISPID dispid = in.I32();
    const GUID riid = in.Guid();
    const LCID lcid = in.U32();
    const WORD flags = in.U16();
    const std::uint8_t present = in.U8();
    std::vector<VARIANT> args;
    std::vector<DISPID> named;
    std::deque<VARIANT> storage;
    // Cleared however the call ends, an exception of the object's included.
    struct Clear {
        std::vector<VARIANT>& args;
        std::deque<VARIANT>& storage;
        ~Clear() {
            for (VARIANT& a : args)
                if (!(a.vt & VT_BYREF)) VariantClear(&a);
            for (VARIANT& v : storage) VariantClear(&v);
        }
    } clear{args, storage};
    if (present & kParams) {
        args.resize(in.Count(wire::kMaxArguments, sizeof(VARTYPE)));
        for (VARIANT& a : args) VariantInit(&a);
        for (VARIANT& a : args)
            if (!GetArgument(in, &a, storage)) break;
        named.resize(in.Count(static_cast<std::uint32_t>(args.size()), sizeof(DISPID)));
        for (DISPID& id : named) id = in.I32();
    }
    UINT argErr = (present & kArgErr) ? in.U32() : 0;
    if (!in.AtEnd()) return;
    DISPPARAMS params{args.empty() ? nullptr : args.data(), named.empty() ? nullptr : named.data(),
                      static_cast<UINT>(args.size()), static_cast<UINT>(named.size())};
    VARIANT result;
    VariantInit(&result);
    EXCEPINFO excepInfo{};
    call.hr = object->Invoke(dispid, riid, lcid, flags, (present & kParams) ? &params : nullptr,
                             (present & kResult) ? &result : nullptr, (present & kExcepInfo) ? &excepInfo : nullptr,
                             (present & kArgErr) ? &argErr : nullptr);
    if (present & kResult) {
        const bool set = SUCCEEDED(call.hr) || result.vt != VT_EMPTY;
        call.out.U8(set);
        if (set) PutVariant(call.out, result);
        VariantClear(&result);
    }
    if (present & kExcepInfo) {
        if (excepInfo.pfnDeferredFillIn) excepInfo.pfnDeferredFillIn(&excepInfo);
        const bool set = excepInfo.scode != 0 || excepInfo.wCode != 0 || excepInfo.bstrSource ||
                         excepInfo.bstrDescription || excepInfo.bstrHelpFile;
        call.out.U8(set);
        if (set) PutExcepInfo(call.out, excepInfo);
        SysFreeString(excepInfo.bstrSource);
        SysFreeString(excepInfo.bstrDescription);
        SysFreeString(excepInfo.bstrHelpFile);
    }
    if (present & kArgErr) call.out.U32(argErr);
    for (const VARIANT& a : args)
        if (a.vt & VT_BYREF) PutPointee(call.out, a);
}

}  // namespace

HRESULT ProxyGetTypeInfoCount(InterfaceProxy& proxy, UINT* pctinfo) {
    if (pctinfo == nullptr) return E_POINTER;
    return proxy.Call(
        kGetTypeInfoCount, [](Writer&) {}, [&](Reader& r) { *pctinfo = r.U32(); });
}

HRESULT ProxyGetTypeInfo(InterfaceProxy& proxy, UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) {
    if (ppTInfo == nullptr) return E_POINTER;
    *ppTInfo = nullptr;
    HRESULT built = S_OK;
    const HRESULT hr = proxy.Call(
        kGetTypeInfo,
        [&](Writer& w) {
            w.U32(iTInfo);
            w.U32(lcid);
        },
        [&](Reader& r) { built = GetTypeInfoRef(r, ppTInfo); });
    if (FAILED(hr) && *ppTInfo) {
        (*ppTInfo)->Release();
        *ppTInfo = nullptr;
    }
    return FAILED(hr) ? hr : built;
}

HRESULT ProxyGetIDsOfNames(InterfaceProxy& proxy, REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                           DISPID* rgDispId) {
    if (rgszNames == nullptr || rgDispId == nullptr) return E_POINTER;
    if (cNames > wire::kMaxArguments) return E_INVALIDARG;
    return proxy.Call(
        kGetIDsOfNames,
        [&](Writer& w) {
            w.Guid(riid);
            w.U32(lcid);
            w.U32(cNames);
            for (UINT i = 0; i < cNames; ++i) w.Text(rgszNames[i]);
        },
        [&](Reader& r) {
            for (UINT i = 0; i < cNames; ++i) rgDispId[i] = r.I32();
        });
}

HRESULT ProxyInvoke(InterfaceProxy& proxy, DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                    DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) {
    if (pDispParams) {
        if (pDispParams->cNamedArgs > pDispParams->cArgs || (pDispParams->cArgs && !pDispParams->rgvarg) ||
            (pDispParams->cNamedArgs && !pDispParams->rgdispidNamedArgs) || pDispParams->cArgs > wire::kMaxArguments)
            return E_INVALIDARG;
        if (!AllCanCross(*pDispParams)) return DISP_E_BADVARTYPE;
    }
    const std::uint8_t present = (pDispParams ? kParams : 0) | (pVarResult ? kResult : 0) |
                                 (pExcepInfo ? kExcepInfo : 0) | (puArgErr ? kArgErr : 0);
    if (proxy.InvokeIsOneWay()) {
        // An event: the sink's answer is not awaited, nor its results.
        return proxy.Post(kInvoke, [&](Writer& w) {
            PutInvoke(w, dispIdMember, riid, lcid, wFlags, pDispParams, present & kParams, 0);
        });
    }
    return proxy.Call(
        kInvoke,
        [&](Writer& w) {
            PutInvoke(w, dispIdMember, riid, lcid, wFlags, pDispParams, present, puArgErr ? *puArgErr : 0);
        },
        [&](Reader& r) { GetInvokeResults(r, pDispParams, pVarResult, pExcepInfo, puArgErr); });
}

void RunDispatchMethod(IDispatch* object, std::uint16_t slot, StubCall& call) {
    switch (slot) {
    case kGetTypeInfoCount: RunGetTypeInfoCount(object, call); return;
    case kGetTypeInfo: RunGetTypeInfo(object, call); return;
    case kGetIDsOfNames: RunGetIDsOfNames(object, call); return;
    case kInvoke: RunInvoke(object, call); return;
    default: call.in.Fail();
    }
}

}  // namespace platform::remoting
