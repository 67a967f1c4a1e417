// String to number: VariantChangeTypeEx from a BSTR (the input, as UTF-8) to
// every integer type, both reals and VT_BOOL. Besides not failing, the
// answers must agree with one another: whether the text is a number does not
// depend on the target, an integer is the same in every type it fits, an
// integer is within half of the real, R4 is R8 made single, the boolean is
// whether the number is zero, and a number written as text reads back.
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_check.h"
#include "platform/base/utf8.h"
#include "platform/objects/oleauto.h"

namespace trelvane {
namespace {

struct Result {
    HRESULT hr;
    VARIANT value;
};

Result Convert(BSTR text, VARTYPE vt, bool byReference = false) {
    VARIANT source;
    source.vt = VT_BSTR;
    source.bstrVal = text;
    if (byReference) {
        source.vt = VT_BSTR | VT_BYREF;
        source.pbstrVal = &text;
    }
    // A destination that a failure must leave as it was.
    VARIANT dest;
    dest.vt = VT_I4;
    dest.lVal = 0x5A5A5A5A;
    const HRESULT hr = VariantChangeTypeEx(&dest, &source, LOCALE_USER_DEFAULT, 0, vt);
    fuzz::Check(hr == S_OK || hr == DISP_E_TYPEMISMATCH || hr == DISP_E_OVERFLOW, "an unexpected HRESULT");
    if (FAILED(hr))
        fuzz::Check(dest.vt == VT_I4 && dest.lVal == 0x5A5A5A5A, "a failed conversion changed its destination");
    else
        fuzz::Check(dest.vt == vt, "a conversion gave another type");
    return {hr, dest};
}

struct IntegerType {
    VARTYPE vt;
    __int128 min, max;
};

__int128 IntegerOf(const VARIANT& v) {
    switch (v.vt) {
    case VT_I1: return v.cVal;
    case VT_UI1: return v.bVal;
    case VT_I2: return v.iVal;
    case VT_UI2: return v.uiVal;
    case VT_I4: return v.lVal;
    case VT_INT: return v.intVal;
    case VT_UI4: return v.ulVal;
    case VT_UINT: return v.uintVal;
    case VT_I8: return v.llVal;
    default: return v.ullVal;
    }
}

// Narrower before wider within each signedness.
constexpr IntegerType kIntegers[] = {
    {VT_I1, INT8_MIN, INT8_MAX},    {VT_I2, INT16_MIN, INT16_MAX}, {VT_I4, INT32_MIN, INT32_MAX},
    {VT_INT, INT32_MIN, INT32_MAX}, {VT_I8, INT64_MIN, INT64_MAX}, {VT_UI1, 0, UINT8_MAX},
    {VT_UI2, 0, UINT16_MAX},        {VT_UI4, 0, UINT32_MAX},       {VT_UINT, 0, UINT32_MAX},
    {VT_UI8, 0, UINT64_MAX},
};

// The text of a number, converted back from it.
Result Reread(const VARIANT& number, VARTYPE vt) {
    VARIANT text;
    VariantInit(&text);
    fuzz::Check(VariantChangeTypeEx(&text, &number, LOCALE_USER_DEFAULT, 0, VT_BSTR) == S_OK, "a number to text");
    Result back = Convert(text.bstrVal, vt);
    VariantClear(&text);
    return back;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::u16string wide = platform::FromUtf8(std::string(reinterpret_cast<const char*>(data), size));
    const BSTR text = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
    // Hexadecimal and octal texts are bit patterns of the target's width, so
    // they take other values in signed types than in the reals.
    const bool bits = wide.find(u'&') != std::u16string::npos;

    const Result r8 = Convert(text, VT_R8);
    const Result r4 = Convert(text, VT_R4);
    const bool isNumber = r8.hr != DISP_E_TYPEMISMATCH;
    fuzz::Check((r4.hr == DISP_E_TYPEMISMATCH) == !isNumber, "R4 and R8 disagree on whether it is a number");
    if (r8.hr == S_OK) {
        if (std::fabs(r8.value.dblVal) > FLT_MAX)
            fuzz::Check(r4.hr == DISP_E_OVERFLOW, "an R8 beyond the R4 range fits R4");
        else
            fuzz::Check(r4.hr == S_OK && r4.value.fltVal == static_cast<float>(r8.value.dblVal),
                        "R4 is not R8 made single");
        const Result back = Reread(r8.value, VT_R8);
        const double x = r8.value.dblVal;
        fuzz::Check(back.hr == S_OK && std::fabs(back.value.dblVal - x) <= std::fabs(x) * 1e-14,
                    "an R8 written as text reads back otherwise");
    } else if (r8.hr == DISP_E_OVERFLOW) {
        fuzz::Check(r4.hr == DISP_E_OVERFLOW, "R8 overflows where R4 does not");
    }

    for (std::size_t i = 0; i < std::size(kIntegers); ++i) {
        const IntegerType& type = kIntegers[i];
        const Result result = Convert(text, type.vt);
        fuzz::Check((result.hr == DISP_E_TYPEMISMATCH) == !isNumber,
                    "integer and real disagree on whether it is a number");
        if (result.hr != S_OK) continue;
        const __int128 v = IntegerOf(result.value);
        fuzz::Check(v >= type.min && v <= type.max, "an integer out of its type's range");
        const Result back = Reread(result.value, type.vt);
        fuzz::Check(back.hr == S_OK && IntegerOf(back.value) == v, "an integer written as text reads back otherwise");
        if (bits) continue;
        if (r8.hr == S_OK) {
            const double x = r8.value.dblVal;
            fuzz::Check(std::fabs(static_cast<double>(v) - x) <= 0.5 + std::fabs(x) * 1e-15,
                        "an integer more than a half from the real");
        }
        // Every wider type of the same signedness holds the same value.
        for (std::size_t j = i + 1; j < std::size(kIntegers) && (kIntegers[j].min < 0) == (type.min < 0); ++j) {
            const Result wider = Convert(text, kIntegers[j].vt);
            fuzz::Check(wider.hr == S_OK && IntegerOf(wider.value) == v, "a wider integer type disagrees");
        }
    }

    const Result boolean = Convert(text, VT_BOOL);
    if (boolean.hr == S_OK && r8.hr == S_OK) {
        fuzz::Check(boolean.value.boolVal == VARIANT_TRUE || boolean.value.boolVal == VARIANT_FALSE,
                    "a boolean neither");
        if (r8.value.dblVal != 0) fuzz::Check(boolean.value.boolVal == VARIANT_TRUE, "a non-zero number is false");
    }
    if (isNumber) fuzz::Check(boolean.hr == S_OK, "a number is not a boolean");

    Result byReference = Convert(text, VT_I4, true);
    const Result direct = Convert(text, VT_I4);
    fuzz::Check(byReference.hr == direct.hr && (FAILED(direct.hr) || byReference.value.lVal == direct.value.lVal),
                "a string by reference converts otherwise");
    SysFreeString(text);
    return 0;
}

}  // namespace trelvane
