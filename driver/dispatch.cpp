#include "driver/dispatch.h"

#include <vector>

namespace trelvane::driver {
namespace {

using contract::NamedArguments;
using platform::MemberDesc;
using platform::MemberKind;

// The member a DISPID and the call's flags select, or null.
const MemberDesc* SelectMember(const platform::InterfaceDesc& desc, DISPID dispid, WORD flags, bool* anyWithId) {
    const MemberDesc *method = nullptr, *getter = nullptr, *setter = nullptr;
    for (const auto& m : desc.members) {
        if (m.dispid != dispid) continue;
        *anyWithId = true;
        if (m.kind == MemberKind::Method) method = &m;
        if (m.kind == MemberKind::PropertyGet) getter = &m;
        if (m.kind == MemberKind::PropertyPut) setter = &m;
    }
    if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) return setter;
    if ((flags & DISPATCH_PROPERTYGET) && getter) return getter;
    if ((flags & DISPATCH_METHOD) && method) return method;
    return nullptr;
}

void FillFromErrorInfo(HRESULT hr, EXCEPINFO* excepInfo) {
    if (excepInfo == nullptr) return;
    *excepInfo = EXCEPINFO{};
    excepInfo->scode = hr;
    platform::ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.Out()) != S_OK || !info) return;
    info->GetSource(&excepInfo->bstrSource);
    info->GetDescription(&excepInfo->bstrDescription);
    info->GetHelpFile(&excepInfo->bstrHelpFile);
    info->GetHelpContext(&excepInfo->dwHelpContext);
}

}  // namespace

HRESULT GetIDsOfNamesFromTable(const contract::InterfaceContract& contract, REFIID riid, LPOLESTR* names, UINT count,
                               DISPID* ids) {
    if (names == nullptr || ids == nullptr) return E_POINTER;
    if (!(riid == IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    HRESULT hr = S_OK;
    for (UINT i = 0; i < count; ++i) {
        ids[i] = DISPID_UNKNOWN;
        for (const auto& entry : contract.names)
            if (names[i] && platform::EqualNoCase(entry.name, names[i])) {
                ids[i] = entry.id;
                break;
            }
        if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;  // one unknown name fails the whole call
    }
    return hr;
}

HRESULT InvokeByContract(const contract::InterfaceContract& contract, DISPID dispid, WORD flags, DISPPARAMS* params,
                         VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr, const MemberCall& call) {
    if (params == nullptr) return DISP_E_BADVARTYPE;
    if (params->cArgs > contract.maxArguments) return DISP_E_BADPARAMCOUNT;
    if (params->cNamedArgs > params->cArgs || (params->cArgs && !params->rgvarg) ||
        (params->cNamedArgs && !params->rgdispidNamedArgs))
        return E_INVALIDARG;
    bool anyWithId = false;
    const MemberDesc* member = SelectMember(contract.desc, dispid, flags, &anyWithId);
    if (member == nullptr) return DISP_E_MEMBERNOTFOUND;
    const std::size_t paramCount = platform::CallerParamCount(*member);
    if (params->cArgs != paramCount) return DISP_E_BADPARAMCOUNT;

    // Which element of rgvarg carries each parameter.
    std::vector<int> source(paramCount, -1);
    UINT named = params->cNamedArgs;
    switch (contract.namedArguments) {
    case NamedArguments::Ignored: named = 0; break;
    case NamedArguments::OnlyPropertyPut:
        if (named > 1 || (named == 1 && params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT)) return DISP_E_NONAMEDARGS;
        named = 0;
        break;
    case NamedArguments::ByPosition:
        for (UINT k = 0; k < named; ++k) {
            DISPID position = params->rgdispidNamedArgs[k];
            if (position == DISPID_PROPERTYPUT && member->kind == MemberKind::PropertyPut) position = 0;
            if (position < 0 || static_cast<std::size_t>(position) >= paramCount || source[position] != -1) {
                if (argErr) *argErr = k;
                return DISP_E_PARAMNOTFOUND;
            }
            source[position] = static_cast<int>(k);
        }
        break;
    }
    // Positional arguments stand after the named ones, last parameter first.
    UINT next = params->cArgs;
    for (std::size_t i = 0; i < paramCount; ++i)
        if (source[i] == -1) source[i] = static_cast<int>(--next);

    std::vector<VARIANT> args(paramCount);
    std::vector<LONG> outValues(paramCount, 0);
    auto clearArgs = [&](std::size_t upTo) {
        for (std::size_t i = 0; i < upTo; ++i)
            if (!(args[i].vt & VT_BYREF)) VariantClear(&args[i]);
    };
    for (std::size_t i = 0; i < paramCount; ++i) {
        VariantInit(&args[i]);
        const platform::ParamDesc& p = member->params[i];
        VARIANT& given = params->rgvarg[source[i]];
        if (p.flags & PARAMFLAG_FOUT) {
            // An [out] LONG is written through a LONG pointer or a VARIANT pointer.
            if (given.vt == (VT_BYREF | VT_I4) && given.plVal) {
                args[i] = given;
            } else if (given.vt == (VT_BYREF | VT_VARIANT) && given.pvarVal) {
                args[i].vt = VT_BYREF | VT_I4;
                args[i].plVal = &outValues[i];
            } else {
                clearArgs(i);
                if (argErr) *argErr = static_cast<UINT>(source[i]);
                return DISP_E_TYPEMISMATCH;
            }
            continue;
        }
        if (FAILED(VariantChangeType(&args[i], &given, 0, p.type))) {
            clearArgs(i);
            if (argErr) *argErr = static_cast<UINT>(source[i]);
            return DISP_E_TYPEMISMATCH;
        }
    }

    VARIANT value;
    VariantInit(&value);
    const HRESULT hr = call(*member, args.data(), &value);
    for (std::size_t i = 0; i < paramCount; ++i) {
        VARIANT& given = params->rgvarg[source[i]];
        if ((member->params[i].flags & PARAMFLAG_FOUT) && given.vt == (VT_BYREF | VT_VARIANT)) {
            VariantClear(given.pvarVal);
            given.pvarVal->vt = VT_I4;
            given.pvarVal->lVal = outValues[i];
        }
    }
    clearArgs(paramCount);
    if (FAILED(hr)) {
        VariantClear(&value);
        FillFromErrorInfo(hr, excepInfo);
        return hr;
    }
    if (result) {
        VariantClear(result);
        *result = value;
    } else {
        VariantClear(&value);
    }
    return hr;
}

HRESULT ContractTypeInfoCount(UINT* count) {
    if (count == nullptr) return E_POINTER;
    platform::ComPtr<ITypeLib> library;
    *count = SUCCEEDED(contract::LoadTrelvaneTypeLib(library.Out())) ? 1 : 0;
    return S_OK;
}

HRESULT ContractTypeInfo(REFIID iid, UINT index, ITypeInfo** info) {
    if (info == nullptr) return E_POINTER;
    *info = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    platform::ComPtr<ITypeLib> library;
    if (HRESULT hr = contract::LoadTrelvaneTypeLib(library.Out()); FAILED(hr)) return hr;
    return library->GetTypeInfoOfGuid(iid, info);
}

}  // namespace trelvane::driver
