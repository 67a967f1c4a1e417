// VARIANT handling and VariantChangeType with the platform's conversion rules
// for the empty, null, integer, real, boolean and string types. Locale
// dependent parts (decimal point, thousands separator, currency symbol,
// boolean words) follow English (United States) for every locale.
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/base/text_case.h"
#include "platform/objects/oaidl.h"

void VariantInit(VARIANTARG* pvarg) {
    if (pvarg == nullptr) return;
    pvarg->vt = VT_EMPTY;
    pvarg->wReserved1 = pvarg->wReserved2 = pvarg->wReserved3 = 0;
}

namespace {

// The types a variant may hold, whatever it is converted to: the platform's
// VariantClear and VariantCopy refuse the others and leave the variant alone.
bool IsValidVariantType(VARTYPE vt) {
    if (vt & (VT_VECTOR | VT_RESERVED)) return false;
    const VARTYPE base = vt & VT_TYPEMASK;
    if ((vt & (VT_BYREF | VT_ARRAY)) && (base == VT_EMPTY || base == VT_NULL)) return false;
    return (base < VT_VOID && base != 15) || base == VT_RECORD || base == VT_CLSID;
}

}  // namespace

HRESULT VariantClear(VARIANTARG* pvarg) {
    if (pvarg == nullptr) return E_INVALIDARG;
    if (!IsValidVariantType(pvarg->vt)) return DISP_E_BADVARTYPE;
    if (!(pvarg->vt & VT_BYREF)) {
        switch (pvarg->vt) {
        case VT_BSTR: SysFreeString(pvarg->bstrVal); break;
        case VT_UNKNOWN:
            if (pvarg->punkVal) pvarg->punkVal->Release();
            break;
        case VT_DISPATCH:
            if (pvarg->pdispVal) pvarg->pdispVal->Release();
            break;
        default: break;
        }
    }
    pvarg->vt = VT_EMPTY;
    return S_OK;
}

HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc) {
    if (pvargDest == nullptr || pvargSrc == nullptr) return E_INVALIDARG;
    if (!IsValidVariantType(pvargSrc->vt) || pvargSrc->vt == VT_CLSID) return DISP_E_BADVARTYPE;
    if (pvargDest == pvargSrc) return S_OK;
    if (!IsValidVariantType(pvargDest->vt)) return DISP_E_BADVARTYPE;  // it could not be cleared
    VARIANT copy = *pvargSrc;
    if (!(copy.vt & VT_BYREF)) {
        if (copy.vt == VT_BSTR && pvargSrc->bstrVal) {
            copy.bstrVal = SysAllocStringLen(pvargSrc->bstrVal, SysStringLen(pvargSrc->bstrVal));
            if (copy.bstrVal == nullptr) return E_OUTOFMEMORY;
        } else if ((copy.vt == VT_UNKNOWN || copy.vt == VT_DISPATCH) && copy.punkVal) {
            copy.punkVal->AddRef();
        }
    }
    VariantClear(pvargDest);
    *pvargDest = copy;
    return S_OK;
}

namespace {

bool IsValidType(VARTYPE vt) {
    if (vt & (VT_VECTOR | VT_RESERVED)) return false;
    const VARTYPE base = vt & VT_TYPEMASK;
    if ((vt & VT_BYREF) && (base == VT_EMPTY || base == VT_NULL)) return false;
    return base <= VT_DECIMAL || (base >= VT_I1 && base <= VT_UINT) || base == VT_RECORD;
}

// A source value taken out of its variant.
struct Value {
    enum class Kind { Empty, Null, Int, Real, Bool, String, Error, Unknown, Dispatch, Other } kind = Kind::Other;
    __int128 integer = 0;
    int width = 0;  // bits of an integer source
    bool isUnsigned = false;
    double real = 0;
    bool isR4 = false;
    SHORT boolean = 0;
    const OLECHAR* text = nullptr;
    UINT length = 0;
    SCODE error = 0;
    IUnknown* object = nullptr;
};

struct IntType {
    int width;
    bool isUnsigned;
};

bool IntegerTarget(VARTYPE vt, IntType* type) {
    switch (vt) {
    case VT_I1: *type = {8, false}; return true;
    case VT_UI1: *type = {8, true}; return true;
    case VT_I2: *type = {16, false}; return true;
    case VT_UI2: *type = {16, true}; return true;
    case VT_I4:
    case VT_INT: *type = {32, false}; return true;
    case VT_UI4:
    case VT_UINT: *type = {32, true}; return true;
    case VT_I8: *type = {64, false}; return true;
    case VT_UI8: *type = {64, true}; return true;
    default: return false;
    }
}

__int128 MinOf(IntType t) { return t.isUnsigned ? 0 : -(static_cast<__int128>(1) << (t.width - 1)); }
__int128 MaxOf(IntType t) {
    return t.isUnsigned ? (static_cast<__int128>(1) << t.width) - 1 : (static_cast<__int128>(1) << (t.width - 1)) - 1;
}

// The low width bits of v, read with the target's signedness.
__int128 Reinterpret(__int128 v, IntType t) {
    const __int128 modulus = static_cast<__int128>(1) << t.width;
    __int128 bits = v % modulus;
    if (bits < 0) bits += modulus;
    if (!t.isUnsigned && bits > MaxOf(t)) bits -= modulus;
    return bits;
}

// The value a by-reference variant points to, as a plain variant that does
// not own it.
bool Dereference(const VARIANT& v, VARIANT* out) {
    *out = v;
    if (!(v.vt & VT_BYREF)) return true;
    out->vt = v.vt & ~VT_BYREF;
    switch (out->vt) {
    case VT_BSTR: out->bstrVal = *v.pbstrVal; return true;
    case VT_UNKNOWN: out->punkVal = *v.ppunkVal; return true;
    case VT_DISPATCH: out->pdispVal = *v.ppdispVal; return true;
    case VT_R8:
    case VT_DATE: out->dblVal = *v.pdblVal; return true;
    case VT_I8:
    case VT_UI8:
    case VT_CY: out->llVal = *v.pllVal; return true;
    case VT_R4: out->fltVal = *v.pfltVal; return true;
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_ERROR: out->lVal = *v.plVal; return true;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL: out->iVal = *v.piVal; return true;
    case VT_I1:
    case VT_UI1: out->bVal = *v.pbVal; return true;
    default: return false;
    }
}

HRESULT Decode(const VARIANT& v, Value* out) {
    const bool byref = (v.vt & VT_BYREF) != 0;
    const VARTYPE base = v.vt & ~VT_BYREF;
    if (byref && v.byref == nullptr) return DISP_E_TYPEMISMATCH;
    auto integer = [&](__int128 value, int width, bool isUnsigned) {
        out->kind = Value::Kind::Int;
        out->integer = value;
        out->width = width;
        out->isUnsigned = isUnsigned;
        return S_OK;
    };
    switch (base) {
    case VT_EMPTY: out->kind = Value::Kind::Empty; return S_OK;
    case VT_NULL: out->kind = Value::Kind::Null; return S_OK;
    case VT_I1: return integer(byref ? *v.pcVal : v.cVal, 8, false);
    case VT_UI1: return integer(byref ? *v.pbVal : v.bVal, 8, true);
    case VT_I2: return integer(byref ? *v.piVal : v.iVal, 16, false);
    case VT_UI2: return integer(byref ? *v.puiVal : v.uiVal, 16, true);
    case VT_I4: return integer(byref ? *v.plVal : v.lVal, 32, false);
    case VT_INT: return integer(byref ? *v.pintVal : v.intVal, 32, false);
    case VT_UI4: return integer(byref ? *v.pulVal : v.ulVal, 32, true);
    case VT_UINT: return integer(byref ? *v.puintVal : v.uintVal, 32, true);
    case VT_I8: return integer(byref ? *v.pllVal : v.llVal, 64, false);
    case VT_UI8: return integer(byref ? *v.pullVal : v.ullVal, 64, true);
    case VT_R4:
        out->kind = Value::Kind::Real;
        out->real = byref ? *v.pfltVal : v.fltVal;
        out->isR4 = true;
        return S_OK;
    case VT_R8:
        out->kind = Value::Kind::Real;
        out->real = byref ? *v.pdblVal : v.dblVal;
        return S_OK;
    case VT_BOOL:
        out->kind = Value::Kind::Bool;
        out->boolean = byref ? *v.pboolVal : v.boolVal;
        return S_OK;
    case VT_BSTR:
        out->kind = Value::Kind::String;
        out->text = byref ? *v.pbstrVal : v.bstrVal;
        out->length = SysStringLen(const_cast<BSTR>(out->text));
        return S_OK;
    case VT_ERROR:
        out->kind = Value::Kind::Error;
        out->error = byref ? *v.pscode : v.scode;
        return S_OK;
    case VT_UNKNOWN:
        out->kind = Value::Kind::Unknown;
        out->object = byref ? *v.ppunkVal : v.punkVal;
        return S_OK;
    case VT_DISPATCH:
        out->kind = Value::Kind::Dispatch;
        out->object = byref ? reinterpret_cast<IUnknown*>(*v.ppdispVal) : reinterpret_cast<IUnknown*>(v.pdispVal);
        return S_OK;
    default: out->kind = Value::Kind::Other; return S_OK;
    }
}

// A number as the platform's parser reads it: digits times ten to the exponent,
// or the bit pattern of a hexadecimal or octal literal.
struct ParsedNumber {
    bool negative = false;
    std::string digits;  // without leading zeros; empty for zero
    int exponent = 0;
    bool isBits = false;
    unsigned __int128 bits = 0;
};

bool IsSpace(OLECHAR c) { return c == u' ' || (c >= u'\t' && c <= u'\r') || c == 0xA0; }
bool IsDigit(OLECHAR c) { return c >= u'0' && c <= u'9'; }

bool ParseNumber(const OLECHAR* s, UINT n, ParsedNumber* out) {
    UINT i = 0;
    auto skipSpace = [&] {
        while (i < n && IsSpace(s[i])) ++i;
    };
    skipSpace();
    bool leadingSign = false, paren = false, currency = false;
    if (i < n && s[i] == u'$') currency = true, ++i;
    if (i < n && (s[i] == u'+' || s[i] == u'-')) {
        out->negative = s[i] == u'-';
        leadingSign = true;
        ++i;
        skipSpace();  // "- 5" is a number
    } else if (i < n && s[i] == u'(') {
        out->negative = paren = true;
        ++i;
    }
    if (!currency && i < n && s[i] == u'$') currency = true, ++i;

    if (i + 1 < n && s[i] == u'&' && (s[i + 1] == u'H' || s[i + 1] == u'h' || s[i + 1] == u'O' || s[i + 1] == u'o')) {
        const unsigned base = (s[i + 1] == u'H' || s[i + 1] == u'h') ? 16 : 8;
        i += 2;
        const UINT start = i;
        while (i < n) {
            unsigned d;
            const OLECHAR c = s[i];
            if (IsDigit(c))
                d = c - u'0';
            else if (base == 16 && c >= u'a' && c <= u'f')
                d = c - u'a' + 10;
            else if (base == 16 && c >= u'A' && c <= u'F')
                d = c - u'A' + 10;
            else
                break;
            if (d >= base) return false;
            out->bits = out->bits * base + d;
            if (out->bits >> 100) return false;  // far beyond any target
            ++i;
        }
        if (i == start) return false;
        out->isBits = true;
        out->negative = false;  // a sign before &H is ignored
    } else {
        bool anyDigit = false;
        std::string digits;
        int fraction = 0;
        while (i < n && (IsDigit(s[i]) || (s[i] == u',' && anyDigit))) {
            if (s[i] != u',') {
                digits += static_cast<char>(s[i]);
                anyDigit = true;
            }
            ++i;
        }
        if (i < n && s[i] == u'.') {
            ++i;
            while (i < n && IsDigit(s[i])) {
                digits += static_cast<char>(s[i]);
                ++fraction;
                anyDigit = true;
                ++i;
            }
        }
        if (!anyDigit) return false;
        long exponent = 0;
        if (i < n && (s[i] == u'e' || s[i] == u'E')) {
            ++i;
            bool negativeExponent = false;
            if (i < n && (s[i] == u'+' || s[i] == u'-')) negativeExponent = s[i++] == u'-';
            if (i >= n || !IsDigit(s[i])) return false;
            while (i < n && IsDigit(s[i])) {
                exponent = std::min<long>(exponent * 10 + (s[i] - u'0'), 100000);
                ++i;
            }
            if (negativeExponent) exponent = -exponent;
        }
        const std::size_t firstNonZero = digits.find_first_not_of('0');
        out->digits = firstNonZero == std::string::npos ? std::string() : digits.substr(firstNonZero);
        out->exponent = static_cast<int>(exponent) - fraction;
    }
    if (!currency && i < n && s[i] == u'$') currency = true, ++i;
    if (paren) {
        if (i >= n || s[i] != u')') return false;
        ++i;
    } else if (!leadingSign && i < n && (s[i] == u'+' || s[i] == u'-')) {
        out->negative = s[i] == u'-';
        ++i;
    }
    if (!currency && i < n && s[i] == u'$') ++i;
    skipSpace();
    return i == n;
}

double ToDouble(const ParsedNumber& p) {
    if (p.isBits) return static_cast<double>(p.bits);
    if (p.digits.empty()) return 0.0;
    const std::string text = p.digits + "e" + std::to_string(p.exponent);
    const double magnitude = std::strtod(text.c_str(), nullptr);
    return p.negative ? -magnitude : magnitude;
}

// The integer nearest the parsed number, ties to even, computed on the exact
// decimal digits; false when it cannot fit any target.
bool ToInteger(const ParsedNumber& p, __int128* value) {
    if (p.digits.empty()) {
        *value = 0;
        return true;
    }
    const int n = static_cast<int>(p.digits.size());
    const int integerDigits = n + p.exponent;
    if (integerDigits > 30) return false;
    unsigned __int128 magnitude = 0;
    for (int k = 0; k < std::max(integerDigits, 0); ++k)
        magnitude = magnitude * 10 + static_cast<unsigned>(k < n ? p.digits[static_cast<std::size_t>(k)] - '0' : 0);
    if (integerDigits < n) {
        const int first = std::max(integerDigits, 0);
        const int roundDigit = integerDigits >= 0 ? p.digits[static_cast<std::size_t>(first)] - '0' : 0;
        bool restNonZero = false;
        for (int k = first + (integerDigits >= 0 ? 1 : 0); k < n; ++k)
            if (p.digits[static_cast<std::size_t>(k)] != '0') restNonZero = true;
        if (integerDigits < 0) restNonZero = true;  // all digits lie below the first fraction place
        if (roundDigit > 5 || (roundDigit == 5 && (restNonZero || (magnitude & 1)))) ++magnitude;
    }
    *value = p.negative ? -static_cast<__int128>(magnitude) : static_cast<__int128>(magnitude);
    return true;
}

BSTR AsciiBstr(const std::string& text) {
    std::u16string wide(text.begin(), text.end());
    return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}

std::string FormatReal(double value, bool isR4) {
    if (value == 0) return "0";  // negative zero too
    char text[64];
    std::snprintf(text, sizeof text, isR4 ? "%.7G" : "%.15G", value);
    return text;
}

std::string FormatInteger(__int128 v) {
    if (v == 0) return "0";
    const bool negative = v < 0;
    unsigned __int128 m = negative ? -static_cast<unsigned __int128>(v) : static_cast<unsigned __int128>(v);
    std::string digits;
    while (m) {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(m % 10)));
        m /= 10;
    }
    return negative ? "-" + digits : digits;
}

void StoreInteger(VARIANT* out, VARTYPE vt, __int128 v) {
    out->vt = vt;
    switch (vt) {
    case VT_I1: out->cVal = static_cast<CHAR>(v); break;
    case VT_UI1: out->bVal = static_cast<BYTE>(v); break;
    case VT_I2: out->iVal = static_cast<SHORT>(v); break;
    case VT_UI2: out->uiVal = static_cast<USHORT>(v); break;
    case VT_I4: out->lVal = static_cast<LONG>(v); break;
    case VT_INT: out->intVal = static_cast<INT>(v); break;
    case VT_UI4: out->ulVal = static_cast<ULONG>(v); break;
    case VT_UINT: out->uintVal = static_cast<UINT>(v); break;
    case VT_I8: out->llVal = static_cast<LONGLONG>(v); break;
    case VT_UI8: out->ullVal = static_cast<ULONGLONG>(v); break;
    default: break;
    }
}

HRESULT ToIntegerTarget(const Value& value, VARTYPE vt, IntType target, VARIANT* out) {
    __int128 result = 0;
    switch (value.kind) {
    case Value::Kind::Empty: break;
    case Value::Kind::Int:
        // Same-width signed and unsigned types trade bit patterns.
        if (value.width == target.width && value.isUnsigned != target.isUnsigned) {
            result = Reinterpret(value.integer, target);
            StoreInteger(out, vt, result);
            return S_OK;
        }
        result = value.integer;
        break;
    case Value::Kind::Bool:
        // The 16-bit value as a signed short; unsigned targets wrap.
        result = target.isUnsigned ? Reinterpret(value.boolean, target) : value.boolean;
        break;
    case Value::Kind::Real: {
        const double x = value.real;
        if (std::isnan(x) || x < static_cast<double>(MinOf(target)) - 0.5 ||
            x >= static_cast<double>(MaxOf(target)) + 0.5)
            return DISP_E_OVERFLOW;
        result = static_cast<__int128>(std::nearbyint(x));  // ties to even
        break;
    }
    case Value::Kind::String: {
        ParsedNumber number;
        if (!ParseNumber(value.text, value.length, &number)) return DISP_E_TYPEMISMATCH;
        if (number.isBits) {
            if (number.bits > static_cast<unsigned __int128>(MaxOf({target.width, true}))) return DISP_E_OVERFLOW;
            result = Reinterpret(static_cast<__int128>(number.bits), target);
            StoreInteger(out, vt, result);
            return S_OK;
        }
        if (!ToInteger(number, &result)) return DISP_E_OVERFLOW;
        break;
    }
    default: return DISP_E_TYPEMISMATCH;
    }
    if (result < MinOf(target) || result > MaxOf(target)) return DISP_E_OVERFLOW;
    StoreInteger(out, vt, result);
    return S_OK;
}

HRESULT ToReal(const Value& value, VARTYPE vt, VARIANT* out) {
    double x = 0;
    switch (value.kind) {
    case Value::Kind::Empty: break;
    case Value::Kind::Int: x = static_cast<double>(value.integer); break;
    case Value::Kind::Bool: x = value.boolean; break;
    case Value::Kind::Real: x = value.real; break;
    case Value::Kind::String: {
        ParsedNumber number;
        if (!ParseNumber(value.text, value.length, &number)) return DISP_E_TYPEMISMATCH;
        x = ToDouble(number);
        if (std::isinf(x)) return DISP_E_OVERFLOW;
        break;
    }
    default: return DISP_E_TYPEMISMATCH;
    }
    out->vt = vt;
    if (vt == VT_R4) {
        if (std::isfinite(x) && std::fabs(x) > FLT_MAX) return DISP_E_OVERFLOW;
        out->fltVal = static_cast<FLOAT>(x);
    } else {
        out->dblVal = x;
    }
    return S_OK;
}

HRESULT ToBool(const Value& value, VARIANT* out) {
    bool on = false;
    switch (value.kind) {
    case Value::Kind::Empty: break;
    case Value::Kind::Int: on = value.integer != 0; break;
    case Value::Kind::Bool: on = value.boolean != 0; break;
    case Value::Kind::Real: on = value.real != 0; break;
    case Value::Kind::String: {
        const std::u16string_view text(value.text, value.length);
        if (platform::EqualNoCase(text, u"true") || text == u"#TRUE#") {
            on = true;
        } else if (platform::EqualNoCase(text, u"false") || text == u"#FALSE#") {
            on = false;
        } else {
            ParsedNumber number;
            if (!ParseNumber(value.text, value.length, &number)) return DISP_E_TYPEMISMATCH;
            on = number.isBits ? number.bits != 0 : !number.digits.empty();
        }
        break;
    }
    default: return DISP_E_TYPEMISMATCH;
    }
    out->vt = VT_BOOL;
    out->boolVal = on ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT ToString(const Value& value, USHORT flags, VARIANT* out) {
    std::string text;
    switch (value.kind) {
    case Value::Kind::Empty: break;
    case Value::Kind::Int: text = FormatInteger(value.integer); break;
    case Value::Kind::Real: text = FormatReal(value.real, value.isR4); break;
    case Value::Kind::Bool:
        if (flags & (VARIANT_ALPHABOOL | VARIANT_LOCALBOOL))
            text = value.boolean ? "True" : "False";
        else
            text = std::to_string(value.boolean);
        break;
    default: return DISP_E_TYPEMISMATCH;
    }
    BSTR result = AsciiBstr(text);
    if (result == nullptr) return E_OUTOFMEMORY;
    out->vt = VT_BSTR;
    out->bstrVal = result;
    return S_OK;
}

}  // namespace

HRESULT VariantChangeTypeEx(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, LCID lcid, USHORT wFlags, VARTYPE vt) {
    if (pvargDest == nullptr || pvarSrc == nullptr) return E_INVALIDARG;
    if (!IsValidType(pvarSrc->vt) || !IsValidType(vt)) return DISP_E_BADVARTYPE;
    if (vt & VT_BYREF) return DISP_E_TYPEMISMATCH;

    // By-reference sources are read through their pointer; a variant behind
    // a variant pointer may itself be by reference once, not twice.
    VARIANT source = *pvarSrc;
    if (source.vt == (VT_BYREF | VT_VARIANT)) {
        if (source.pvarVal == nullptr) return DISP_E_TYPEMISMATCH;
        source = *source.pvarVal;
        if (source.vt == (VT_BYREF | VT_VARIANT)) return E_INVALIDARG;
        if (!IsValidType(source.vt)) return DISP_E_BADVARTYPE;
    }
    Value value;
    if (HRESULT hr = Decode(source, &value); FAILED(hr)) return hr;

    // An object's value property stands for the object.
    if (value.kind == Value::Kind::Dispatch && vt != VT_DISPATCH && vt != VT_UNKNOWN && vt != VT_EMPTY &&
        vt != VT_NULL) {
        if (wFlags & VARIANT_NOVALUEPROP) return DISP_E_TYPEMISMATCH;
        auto* dispatch = reinterpret_cast<IDispatch*>(value.object);
        if (dispatch == nullptr) return DISP_E_BADVARTYPE;
        DISPPARAMS none{nullptr, nullptr, 0, 0};
        VARIANT result;
        VariantInit(&result);
        if (FAILED(
                dispatch->Invoke(DISPID_VALUE, IID_NULL, lcid, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr)))
            return DISP_E_TYPEMISMATCH;
        // Only the object's own value counts: a value that is an object again
        // (the object itself, say) is not followed, as nesting has no end.
        const HRESULT hr = VariantChangeTypeEx(pvargDest, &result, lcid, wFlags | VARIANT_NOVALUEPROP, vt);
        VariantClear(&result);
        return hr;
    }

    if ((source.vt & ~VT_BYREF) == vt) {  // same type: a copy of the value
        VARIANT direct;
        if (!Dereference(source, &direct)) return DISP_E_TYPEMISMATCH;
        VARIANT copy;
        VariantInit(&copy);
        if (HRESULT hr = VariantCopy(&copy, &direct); FAILED(hr)) return hr;
        VariantClear(pvargDest);
        *pvargDest = copy;
        return S_OK;
    }

    VARIANT result;
    VariantInit(&result);
    HRESULT hr = S_OK;
    IntType integerType{};
    switch (value.kind) {
    case Value::Kind::Null:
        hr = vt == VT_NULL ? S_OK : DISP_E_TYPEMISMATCH;
        result.vt = VT_NULL;
        break;
    case Value::Kind::Error:
    case Value::Kind::Other: hr = DISP_E_TYPEMISMATCH; break;
    case Value::Kind::Unknown:
    case Value::Kind::Dispatch:
        if (vt == VT_EMPTY || vt == VT_NULL) {
            result.vt = vt;
        } else if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
            if (value.object == nullptr) {
                result.vt = vt;
                result.punkVal = nullptr;
            } else {
                void* interfacePointer = nullptr;
                hr = value.object->QueryInterface(vt == VT_UNKNOWN ? IID_IUnknown : IID_IDispatch, &interfacePointer);
                if (hr == E_NOINTERFACE) hr = DISP_E_TYPEMISMATCH;
                result.vt = vt;
                result.punkVal = static_cast<IUnknown*>(interfacePointer);
            }
        } else {
            hr = DISP_E_TYPEMISMATCH;
        }
        break;
    default:  // empty, numbers, booleans, strings
        if (vt == VT_EMPTY || vt == VT_NULL) {
            result.vt = vt;
        } else if (IntegerTarget(vt, &integerType)) {
            hr = ToIntegerTarget(value, vt, integerType, &result);
        } else if (vt == VT_R4 || vt == VT_R8) {
            hr = ToReal(value, vt, &result);
        } else if (vt == VT_BOOL) {
            hr = ToBool(value, &result);
        } else if (vt == VT_BSTR) {
            hr = ToString(value, wFlags, &result);
        } else {
            hr = DISP_E_TYPEMISMATCH;
        }
        break;
    }
    if (FAILED(hr)) {
        VariantClear(&result);
        return hr;  // the destination is left as it was
    }
    VariantClear(pvargDest);
    *pvargDest = result;
    return S_OK;
}

HRESULT VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags, VARTYPE vt) {
    return VariantChangeTypeEx(pvargDest, pvarSrc, LOCALE_USER_DEFAULT, wFlags, vt);
}
