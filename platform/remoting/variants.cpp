#include "platform/remoting/variants.h"

#include "platform/remoting/connection.h"
#include "platform/remoting/marshallers.h"

namespace platform::remoting {
namespace {

// Bytes of a number-like value; 0 for EMPTY and NULL, -1 for strings and objects.
int FixedSize(VARTYPE base) {
    switch (base) {
    case VT_EMPTY:
    case VT_NULL: return 0;
    case VT_I1:
    case VT_UI1: return 1;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL: return 2;
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_ERROR:
    case VT_R4: return 4;
    case VT_I8:
    case VT_UI8:
    case VT_R8:
    case VT_DATE:
    case VT_CY: return 8;
    default: return -1;
    }
}

bool IsObject(VARTYPE base) { return base == VT_DISPATCH || base == VT_UNKNOWN; }
REFIID ObjectIid(VARTYPE base) { return base == VT_DISPATCH ? IID_IDispatch : IID_IUnknown; }

bool CanCrossPlain(VARTYPE vt) { return FixedSize(vt) >= 0 || vt == VT_BSTR || IsObject(vt); }

// The value of type base stored at p (a field of a VARIANT or a caller's variable).
void PutValue(Writer& w, VARTYPE base, const void* p) {
    if (const int size = FixedSize(base); size >= 0)
        w.Raw(p, static_cast<std::size_t>(size));
    else if (base == VT_BSTR)
        w.Bstr(*static_cast<const BSTR*>(p));
    else
        w.Conn()->PutObject(w, *static_cast<IUnknown* const*>(p), ObjectIid(base));
}

bool GetValue(Reader& r, VARTYPE base, void* p) {
    if (const int size = FixedSize(base); size >= 0) {
        r.Raw(p, static_cast<std::size_t>(size));
        return r.Ok();
    }
    if (base == VT_BSTR) return r.Bstr(static_cast<BSTR*>(p));
    return r.Conn()->GetObject(r, ObjectIid(base), static_cast<void**>(p));
}

}  // namespace

bool CanCross(VARTYPE vt) {
    if (!(vt & VT_BYREF)) return CanCrossPlain(vt);
    const VARTYPE base = vt & ~VT_BYREF;
    return base == VT_VARIANT || (CanCrossPlain(base) && base != VT_EMPTY && base != VT_NULL);
}

void PutVariant(Writer& w, const VARIANT& value) {
    w.U16(value.vt);
    const VARTYPE base = value.vt & ~VT_BYREF;
    if (!(value.vt & VT_BYREF))
        PutValue(w, base, &value.llVal);
    else if (base == VT_VARIANT)
        PutVariant(w, *value.pvarVal);
    else
        PutValue(w, base, value.byref);
}

bool GetVariant(Reader& r, VARIANT* out) {
    VariantInit(out);
    const VARTYPE vt = r.U16();
    if (!r.Ok() || (vt & VT_BYREF) || !CanCross(vt)) {
        r.Fail();
        return false;
    }
    out->llVal = 0;
    if (!GetValue(r, vt, &out->llVal)) return false;
    out->vt = vt;
    return true;
}

bool GetArgument(Reader& r, VARIANT* arg, std::deque<VARIANT>& storage) {
    VariantInit(arg);
    const VARTYPE vt = r.U16();
    if (!r.Ok() || !CanCross(vt)) {
        r.Fail();
        return false;
    }
    const VARTYPE base = vt & ~VT_BYREF;
    if (!(vt & VT_BYREF)) {
        arg->llVal = 0;
        if (!GetValue(r, vt, &arg->llVal)) return false;
        arg->vt = vt;
        return true;
    }
    VARIANT& pointee = storage.emplace_back();
    if (base == VT_VARIANT) {
        if (!GetVariant(r, &pointee)) return false;
        arg->pvarVal = &pointee;
    } else {
        VariantInit(&pointee);
        pointee.llVal = 0;
        if (!GetValue(r, base, &pointee.llVal)) return false;
        pointee.vt = base;
        arg->byref = &pointee.llVal;
    }
    arg->vt = vt;
    return true;
}

void PutPointee(Writer& w, const VARIANT& byrefArg) {
    const VARTYPE base = byrefArg.vt & ~VT_BYREF;
    if (base == VT_VARIANT)
        PutVariant(w, *byrefArg.pvarVal);
    else
        PutValue(w, base, byrefArg.byref);
}

bool UpdatePointee(Reader& r, const VARIANT& byrefArg) {
    const VARTYPE base = byrefArg.vt & ~VT_BYREF;
    if (base == VT_VARIANT) {
        VARIANT value;
        if (!GetVariant(r, &value)) return false;
        VariantClear(byrefArg.pvarVal);
        *byrefArg.pvarVal = value;
        return true;
    }
    VARIANT value;
    VariantInit(&value);
    value.llVal = 0;
    if (!GetValue(r, base, &value.llVal)) return false;
    if (const int size = FixedSize(base); size >= 0) {
        std::memcpy(byrefArg.byref, &value.llVal, static_cast<std::size_t>(size));
        return true;
    }
    if (base == VT_BSTR) {
        SysFreeString(*byrefArg.pbstrVal);
        *byrefArg.pbstrVal = value.bstrVal;
    } else {
        if (*byrefArg.ppunkVal) (*byrefArg.ppunkVal)->Release();
        *byrefArg.ppunkVal = value.punkVal;
    }
    return true;
}

void PutExcepInfo(Writer& w, const EXCEPINFO& info) {
    w.U16(info.wCode);
    w.Bstr(info.bstrSource);
    w.Bstr(info.bstrDescription);
    w.Bstr(info.bstrHelpFile);
    w.U32(info.dwHelpContext);
    w.I32(info.scode);
}

bool GetExcepInfo(Reader& r, EXCEPINFO* info) {
    *info = EXCEPINFO{};
    info->wCode = r.U16();
    r.Bstr(&info->bstrSource) && r.Bstr(&info->bstrDescription) && r.Bstr(&info->bstrHelpFile);
    info->dwHelpContext = r.U32();
    info->scode = r.I32();
    if (r.Ok()) return true;
    SysFreeString(info->bstrSource);
    SysFreeString(info->bstrDescription);
    SysFreeString(info->bstrHelpFile);
    *info = EXCEPINFO{};
    return false;
}

void PutTypeInfo(Writer& w, ITypeInfo* info) {
    ITypeLib* library = nullptr;
    TYPEATTR* attr = nullptr;
    TLIBATTR* libAttr = nullptr;
    UINT index = 0;
    if (info && SUCCEEDED(info->GetTypeAttr(&attr)) && SUCCEEDED(info->GetContainingTypeLib(&library, &index)) &&
        SUCCEEDED(library->GetLibAttr(&libAttr))) {
        w.U8(1);
        w.Guid(libAttr->guid);
        w.Guid(attr->guid);
    } else {
        w.U8(0);
    }
    if (libAttr) library->ReleaseTLibAttr(libAttr);
    if (library) library->Release();
    if (attr) info->ReleaseTypeAttr(attr);
}

HRESULT GetTypeInfoRef(Reader& r, ITypeInfo** info) {
    *info = nullptr;
    if (r.U8() == 0) return S_OK;
    const GUID libid = r.Guid();
    const GUID guid = r.Guid();
    if (!r.Ok()) return S_OK;  // the caller finds the reply malformed
    ITypeLib* library = nullptr;
    if (HRESULT hr = LoadTypeLibrary(libid, &library); FAILED(hr)) return hr;
    const HRESULT hr = library->GetTypeInfoOfGuid(guid, info);
    library->Release();
    return hr;
}

}  // namespace platform::remoting
