// BSTRs, GUID strings, error information, and VariantChangeType's rules.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "platform/framework/variant_values.h"
#include "platform/objects/oaidl.h"
#include "tests/support/dispatch_sink.h"

namespace trelvane {
namespace {

struct Var {
    VARIANT v;
    Var() { VariantInit(&v); }
    ~Var() { VariantClear(&v); }
};

using platform::VariantBool;
using platform::VariantI4;
using platform::VariantR8;

// Converts a string; returns the HRESULT and the result.
HRESULT FromString(const char16_t* text, VARTYPE vt, Var& out, USHORT flags = 0) {
    Var source;
    source.v.vt = VT_BSTR;
    source.v.bstrVal = SysAllocString(text);
    return VariantChangeType(&out.v, &source.v, flags, vt);
}

std::u16string AsString(const VARIANT& v) { return std::u16string(v.bstrVal, SysStringLen(v.bstrVal)); }

TEST(Bstr, KeepsLengthAndEmbeddedZeros) {
    const char16_t text[] = {u'a', 0, u'b'};
    BSTR b = SysAllocStringLen(text, 3);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(SysStringLen(b), 3u);
    EXPECT_EQ(SysStringByteLen(b), 6u);
    EXPECT_EQ(b[1], 0);
    EXPECT_EQ(b[3], 0);  // terminated
    Var copy, source;
    source.v.vt = VT_BSTR;
    source.v.bstrVal = b;
    ASSERT_EQ(VariantCopy(&copy.v, &source.v), S_OK);
    EXPECT_NE(copy.v.bstrVal, b);
    EXPECT_EQ(SysStringLen(copy.v.bstrVal), 3u);
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    BSTR empty = SysAllocString(u"");
    EXPECT_NE(empty, nullptr);
    EXPECT_EQ(SysStringLen(empty), 0u);
    SysFreeString(empty);
    SysFreeString(nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
}

TEST(Guid, RegistryFormBothWays) {
    const GUID g{0x01234567, 0x89AB, 0xCDEF, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
    WCHAR text[CHARS_IN_GUID];
    EXPECT_EQ(StringFromGUID2(g, text, 38), 0);
    ASSERT_EQ(StringFromGUID2(g, text, CHARS_IN_GUID), 39);
    EXPECT_EQ(std::u16string(text), u"{01234567-89AB-CDEF-0123-456789ABCDEF}");
    GUID back{};
    ASSERT_EQ(CLSIDFromString(u"{01234567-89ab-cdef-0123-456789abcdef}", &back), S_OK);
    EXPECT_EQ(back, g);
    EXPECT_EQ(CLSIDFromString(u"01234567-89AB-CDEF-0123-456789ABCDEF", &back), CO_E_CLASSSTRING);
    EXPECT_EQ(CLSIDFromString(u"{01234567-89AB-CDEF-0123-456789ABCDEG}", &back), CO_E_CLASSSTRING);
    EXPECT_EQ(CLSIDFromString(nullptr, &back), S_OK);
    EXPECT_EQ(back, GUID_NULL);
    EXPECT_EQ(IIDFromString(u"{0123}", &back), E_INVALIDARG);
}

TEST(ErrorInfo, IsPerThreadAndTakenOnce) {
    ICreateErrorInfo* create = nullptr;
    ASSERT_EQ(CreateErrorInfo(&create), S_OK);
    create->SetDescription(const_cast<LPOLESTR>(u"went wrong"));
    IErrorInfo* info = nullptr;
    ASSERT_EQ(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)), S_OK);
    SetErrorInfo(0, info);
    info->Release();
    create->Release();
    IErrorInfo* got = nullptr;
    ASSERT_EQ(GetErrorInfo(0, &got), S_OK);
    BSTR description = nullptr;
    got->GetDescription(&description);
    EXPECT_EQ(std::u16string(description), u"went wrong");
    SysFreeString(description);
    got->Release();
    EXPECT_EQ(GetErrorInfo(0, &got), S_FALSE);
    EXPECT_EQ(got, nullptr);
}

TEST(VariantChangeType, StringsToNumbers) {
    struct Case {
        const char16_t* text;
        VARTYPE vt;
        HRESULT hr;
        double value;
    };
    const Case cases[] = {
        {u"7", VT_I4, S_OK, 7},
        {u" 42 ", VT_I2, S_OK, 42},
        {u"-5", VT_I4, S_OK, -5},
        {u"5-", VT_I4, S_OK, -5},
        {u"(5)", VT_I4, S_OK, -5},
        {u"1,000", VT_I4, S_OK, 1000},
        {u"$12", VT_I4, S_OK, 12},
        {u"1e3", VT_I4, S_OK, 1000},
        {u"2.5e-1", VT_R8, S_OK, 0.25},
        {u".5", VT_R8, S_OK, 0.5},
        {u"1.", VT_R8, S_OK, 1},
        {u"&H1F", VT_I4, S_OK, 31},
        {u"&o17", VT_I4, S_OK, 15},
        {u"&HFF", VT_I1, S_OK, -1},
        {u"&HFF", VT_UI1, S_OK, 255},
        {u"&HFFFF", VT_I2, S_OK, -1},
        {u"&H100", VT_UI1, DISP_E_OVERFLOW, 0},
        {u"0.5", VT_I4, S_OK, 0},
        {u"1.5", VT_I4, S_OK, 2},
        {u"2.5", VT_I4, S_OK, 2},
        {u"-0.5", VT_I4, S_OK, 0},
        {u"-1.5", VT_I4, S_OK, -2},
        {u"2.51", VT_I4, S_OK, 3},
        {u"256", VT_UI1, DISP_E_OVERFLOW, 0},
        {u"-1", VT_UI4, DISP_E_OVERFLOW, 0},
        {u"32768", VT_I2, DISP_E_OVERFLOW, 0},
        {u"-0.6", VT_UI1, DISP_E_OVERFLOW, 0},
        {u"-0.5", VT_UI1, S_OK, 0},
        {u"", VT_I4, DISP_E_TYPEMISMATCH, 0},
        {u"abc", VT_I4, DISP_E_TYPEMISMATCH, 0},
        {u"1 2", VT_I4, DISP_E_TYPEMISMATCH, 0},
        {u"1.2.3", VT_R8, DISP_E_TYPEMISMATCH, 0},
        {u"+5+", VT_I4, DISP_E_TYPEMISMATCH, 0},
        {u"0x1F", VT_I4, DISP_E_TYPEMISMATCH, 0},
        {u",1", VT_I4, DISP_E_TYPEMISMATCH, 0},
        {u"1e400", VT_R8, DISP_E_OVERFLOW, 0},
        {u"+ 0", VT_I4, S_OK, 0},
        {u" - 5", VT_I4, S_OK, -5},
        {u"-  2.5", VT_R8, S_OK, -2.5},
    };
    for (const auto& c : cases) {
        Var out;
        const HRESULT hr = FromString(c.text, c.vt, out);
        EXPECT_EQ(hr, c.hr) << std::string(c.text, c.text + std::char_traits<char16_t>::length(c.text));
        if (hr != S_OK) {
            EXPECT_EQ(out.v.vt, VT_EMPTY);  // untouched on failure
            continue;
        }
        ASSERT_EQ(out.v.vt, c.vt);
        double got = 0;
        switch (c.vt) {
        case VT_I1: got = out.v.cVal; break;
        case VT_UI1: got = out.v.bVal; break;
        case VT_I2: got = out.v.iVal; break;
        case VT_I4: got = out.v.lVal; break;
        case VT_UI4: got = out.v.ulVal; break;
        case VT_R8: got = out.v.dblVal; break;
        }
        EXPECT_DOUBLE_EQ(got, c.value) << std::string(c.text, c.text + std::char_traits<char16_t>::length(c.text));
    }
}

TEST(VariantChangeType, StringsToBooleans) {
    struct Case {
        const char16_t* text;
        HRESULT hr;
        VARIANT_BOOL value;
    };
    for (Case c :
         {Case{u"True", S_OK, VARIANT_TRUE}, Case{u"FALSE", S_OK, VARIANT_FALSE}, Case{u"#TRUE#", S_OK, VARIANT_TRUE},
          Case{u"0", S_OK, VARIANT_FALSE}, Case{u"-2.5", S_OK, VARIANT_TRUE}, Case{u"On", DISP_E_TYPEMISMATCH, 0},
          Case{u"Yes", DISP_E_TYPEMISMATCH, 0}, Case{u"#False#", DISP_E_TYPEMISMATCH, 0}}) {
        Var out;
        EXPECT_EQ(FromString(c.text, VT_BOOL, out), c.hr);
        if (c.hr == S_OK) {
            EXPECT_EQ(out.v.boolVal, c.value);
        }
    }
}

TEST(VariantChangeType, NumbersBetweenTypes) {
    Var out;
    VARIANT src = VariantR8(32767.49);
    EXPECT_EQ(VariantChangeType(&out.v, &src, 0, VT_I2), S_OK);
    EXPECT_EQ(out.v.iVal, 32767);
    src = VariantR8(32767.5);
    EXPECT_EQ(VariantChangeType(&out.v, &src, 0, VT_I2), DISP_E_OVERFLOW);
    src = VariantR8(-32768.5);
    EXPECT_EQ(VariantChangeType(&out.v, &src, 0, VT_I2), S_OK);
    EXPECT_EQ(out.v.iVal, -32768);
    src = VariantR8(-32768.51);
    EXPECT_EQ(VariantChangeType(&out.v, &src, 0, VT_I2), DISP_E_OVERFLOW);
    src = VariantR8(1e40);
    EXPECT_EQ(VariantChangeType(&out.v, &src, 0, VT_R4), DISP_E_OVERFLOW);
    src = VariantI4(256);
    EXPECT_EQ(VariantChangeType(&out.v, &src, 0, VT_UI1), DISP_E_OVERFLOW);
    src = VariantI4(-1);
    EXPECT_EQ(VariantChangeType(&out.v, &src, 0, VT_UI4), S_OK);  // same width: the bit pattern
    EXPECT_EQ(out.v.ulVal, 0xFFFFFFFFu);
    EXPECT_EQ(VariantChangeType(&out.v, &src, 0, VT_UI2), DISP_E_OVERFLOW);
    // Booleans: -1 as a short; unsigned targets wrap.
    src = VariantBool(VARIANT_TRUE);
    EXPECT_EQ(VariantChangeType(&out.v, &src, 0, VT_I4), S_OK);
    EXPECT_EQ(out.v.lVal, -1);
    EXPECT_EQ(VariantChangeType(&out.v, &src, 0, VT_UI1), S_OK);
    EXPECT_EQ(out.v.bVal, 255);
    src = VariantR8(-0.5);
    EXPECT_EQ(VariantChangeType(&out.v, &src, 0, VT_BOOL), S_OK);
    EXPECT_EQ(out.v.boolVal, VARIANT_TRUE);
}

TEST(VariantChangeType, ToStrings) {
    Var out;
    VARIANT src = VariantI4(-42);
    ASSERT_EQ(VariantChangeType(&out.v, &src, 0, VT_BSTR), S_OK);
    EXPECT_EQ(AsString(out.v), u"-42");
    src = VariantR8(1.5);
    ASSERT_EQ(VariantChangeType(&out.v, &src, 0, VT_BSTR), S_OK);
    EXPECT_EQ(AsString(out.v), u"1.5");
    src = VariantR8(1e20);
    ASSERT_EQ(VariantChangeType(&out.v, &src, 0, VT_BSTR), S_OK);
    EXPECT_EQ(AsString(out.v), u"1E+20");
    src = VariantR8(-0.0);
    ASSERT_EQ(VariantChangeType(&out.v, &src, 0, VT_BSTR), S_OK);
    EXPECT_EQ(AsString(out.v), u"0");
    src = VariantBool(VARIANT_TRUE);
    ASSERT_EQ(VariantChangeType(&out.v, &src, 0, VT_BSTR), S_OK);
    EXPECT_EQ(AsString(out.v), u"-1");
    ASSERT_EQ(VariantChangeType(&out.v, &src, VARIANT_ALPHABOOL, VT_BSTR), S_OK);
    EXPECT_EQ(AsString(out.v), u"True");
}

TEST(VariantChangeType, EmptyNullByRefAndBadTypes) {
    Var out;
    VARIANT empty;
    VariantInit(&empty);
    EXPECT_EQ(VariantChangeType(&out.v, &empty, 0, VT_I4), S_OK);
    EXPECT_EQ(out.v.lVal, 0);
    EXPECT_EQ(VariantChangeType(&out.v, &empty, 0, VT_BSTR), S_OK);
    EXPECT_NE(out.v.bstrVal, nullptr);
    EXPECT_EQ(SysStringLen(out.v.bstrVal), 0u);
    EXPECT_EQ(VariantChangeType(&out.v, &empty, 0, VT_DISPATCH), DISP_E_TYPEMISMATCH);
    VARIANT null;
    VariantInit(&null);
    null.vt = VT_NULL;
    EXPECT_EQ(VariantChangeType(&out.v, &null, 0, VT_I4), DISP_E_TYPEMISMATCH);

    LONG value = 99;
    VARIANT byref;
    VariantInit(&byref);
    byref.vt = VT_BYREF | VT_I4;
    byref.plVal = &value;
    ASSERT_EQ(VariantChangeType(&out.v, &byref, 0, VT_I2), S_OK);
    EXPECT_EQ(out.v.vt, VT_I2);
    EXPECT_EQ(out.v.iVal, 99);
    ASSERT_EQ(VariantChangeType(&out.v, &byref, 0, VT_I4), S_OK);  // same type: the value, not the reference
    EXPECT_EQ(out.v.vt, VT_I4);
    byref.plVal = nullptr;
    EXPECT_EQ(VariantChangeType(&out.v, &byref, 0, VT_I2), DISP_E_TYPEMISMATCH);
    VARIANT inner = VariantI4(5);
    VARIANT viaVariant;
    viaVariant.vt = VT_BYREF | VT_VARIANT;
    viaVariant.pvarVal = &inner;
    ASSERT_EQ(VariantChangeType(&out.v, &viaVariant, 0, VT_R8), S_OK);
    EXPECT_EQ(out.v.dblVal, 5.0);
    VARIANT twice;
    twice.vt = VT_BYREF | VT_VARIANT;
    twice.pvarVal = &viaVariant;
    EXPECT_EQ(VariantChangeType(&out.v, &twice, 0, VT_R8), E_INVALIDARG);

    VARIANT src = VariantI4(1);
    EXPECT_EQ(VariantChangeType(&out.v, &src, 0, 15), DISP_E_BADVARTYPE);
    EXPECT_EQ(VariantChangeType(&out.v, &src, 0, VT_BYREF | VT_I4), DISP_E_TYPEMISMATCH);
    // Source and destination may be the same variant.
    VARIANT same;
    VariantInit(&same);
    same.vt = VT_BSTR;
    same.bstrVal = SysAllocString(u"12");
    ASSERT_EQ(VariantChangeType(&same, &same, 0, VT_I4), S_OK);
    EXPECT_EQ(same.lVal, 12);
}

// An object whose value property is a number, or the object itself.
class ValueObject final : public testing::DispatchSink {
public:
    explicit ValueObject(bool itself) : DispatchSink(IID_IDispatch), m_itself(itself) {}
    HRESULT Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS*, VARIANT* result, EXCEPINFO*, UINT*) override {
        if (id != DISPID_VALUE || flags != DISPATCH_PROPERTYGET || result == nullptr) return DISP_E_MEMBERNOTFOUND;
        ++asked;
        if (!m_itself) {
            *result = VariantI4(7);
            return S_OK;
        }
        AddRef();
        result->vt = VT_DISPATCH;
        result->pdispVal = this;
        return S_OK;
    }
    int asked = 0;

private:
    const bool m_itself;
};

TEST(VariantChangeType, AnObjectStandsForItsValuePropertyOnce) {
    Var out;
    Var number;
    auto* numberObject = new ValueObject(false);
    number.v.vt = VT_DISPATCH;
    number.v.pdispVal = numberObject;
    ASSERT_EQ(VariantChangeType(&out.v, &number.v, 0, VT_R8), S_OK);
    EXPECT_EQ(out.v.dblVal, 7.0);
    EXPECT_EQ(VariantChangeType(&out.v, &number.v, VARIANT_NOVALUEPROP, VT_R8), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(numberObject->asked, 1);
    // A value that is an object again is not followed: asked once, not
    // until the stack runs out.
    Var circular;
    auto* circularObject = new ValueObject(true);
    circular.v.vt = VT_DISPATCH;
    circular.v.pdispVal = circularObject;
    EXPECT_EQ(VariantChangeType(&out.v, &circular.v, 0, VT_I4), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(circularObject->asked, 1);
}

TEST(Variant, ClearAndCopyRefuseATypeNoVariantHolds) {
    for (VARTYPE bad : {VARTYPE(15), VARTYPE(VT_VOID), VARTYPE(VT_LPWSTR), VARTYPE(VT_VECTOR | VT_I4),
                        VARTYPE(VT_BYREF | VT_EMPTY), VARTYPE(VT_I4 | VT_RESERVED)}) {
        SCOPED_TRACE(bad);
        VARIANT invalid;
        invalid.vt = bad;
        invalid.llVal = 0x1234;
        EXPECT_EQ(VariantClear(&invalid), DISP_E_BADVARTYPE);
        EXPECT_EQ(invalid.vt, bad);  // left as it was
        EXPECT_EQ(invalid.llVal, 0x1234);
        Var dest;
        dest.v = VariantI4(7);
        EXPECT_EQ(VariantCopy(&dest.v, &invalid), DISP_E_BADVARTYPE);
        EXPECT_EQ(dest.v.vt, VT_I4);
        EXPECT_EQ(dest.v.lVal, 7);
        VARIANT source = VariantI4(8);
        EXPECT_EQ(VariantCopy(&invalid, &source), DISP_E_BADVARTYPE);  // it cannot be cleared first
        EXPECT_EQ(invalid.vt, bad);
    }
}

}  // namespace
}  // namespace trelvane
