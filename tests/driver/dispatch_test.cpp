// Late binding through the object's four IDispatch parts: names, rules of
// Invoke, and agreement with the vtable.
#include <gtest/gtest.h>

#include "tests/driver/recording_fixture.h"

namespace trelvane {
namespace {

using namespace trelvane::testing;

class Dispatch : public RecordingTest {
protected:
    void SetUp() override {
        RecordingTest::SetUp();
        ASSERT_EQ(object->QueryInterface(contract::IID_ITarvik, reinterpret_cast<void**>(tarvik.Out())), S_OK);
        ASSERT_EQ(object->QueryInterface(contract::IID_ITarvikTest, reinterpret_cast<void**>(test.Out())), S_OK);
        ASSERT_EQ(object->QueryInterface(contract::DIID__ITarvikEvents, reinterpret_cast<void**>(events.Out())), S_OK);
    }
    void TearDown() override {
        tarvik.Reset();
        test.Reset();
        events.Reset();
        RecordingTest::TearDown();
    }
    // Names through one interface's IDispatch.
    template <class T>
    HRESULT Ids(const platform::ComPtr<T>& d, std::vector<const char16_t*> names, std::vector<DISPID>* ids) {
        ids->assign(names.size(), 77);
        return d->GetIDsOfNames(IID_NULL, const_cast<LPOLESTR*>(names.data()), static_cast<UINT>(names.size()),
                                LOCALE_USER_DEFAULT, ids->data());
    }
    template <class T>
    HRESULT Call(const platform::ComPtr<T>& d, DISPID id, WORD flags, std::vector<VARIANT> argsLastFirst,
                 VARIANT* result = nullptr, UINT* argErr = nullptr, std::vector<DISPID> named = {}) {
        DISPPARAMS p{argsLastFirst.empty() ? nullptr : argsLastFirst.data(), named.empty() ? nullptr : named.data(),
                     static_cast<UINT>(argsLastFirst.size()), static_cast<UINT>(named.size())};
        return d->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &p, result, nullptr, argErr);
    }
    static VARIANT I4(LONG v) { return platform::VariantI4(v); }

    platform::ComPtr<ITarvik> tarvik;
    platform::ComPtr<ITarvikTest> test;
    platform::ComPtr<IDispatch> events;
};

TEST_P(Dispatch, NamesResolveFromTheFixedTables) {
    std::vector<DISPID> ids;
    ASSERT_EQ(Ids(tarvik,
                  {u"intercharactertimeout", u"PUT_InterCharacterTimeout", u"Status", u"PortNumber", u"DeviceSelector",
                   u"pVal", u"StartNumber"},
                  &ids),
              S_OK);
    EXPECT_EQ(ids, (std::vector<DISPID>{9, 9, 1, 5, 0, 0, 6}));
    ASSERT_EQ(Ids(events, {u"SystemError", u"BatteryTestReady"}, &ids), S_OK);
    EXPECT_EQ(ids, (std::vector<DISPID>{4, 7}));
    ASSERT_EQ(Ids(test, {u"newVal", u"strToWrite", u"get_StateCTS"}, &ids), S_OK);
    EXPECT_EQ(ids, (std::vector<DISPID>{0, 0, 10}));
    // One unknown name fails the whole call; names of other interfaces are unknown.
    EXPECT_EQ(Ids(tarvik, {u"Open", u"Nonsense"}, &ids), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids[0], 1);
    EXPECT_EQ(ids[1], DISPID_UNKNOWN);
    EXPECT_EQ(Ids(tarvik, {u"WriteToPort"}, &ids), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(tarvik->GetIDsOfNames(IID_NULL, nullptr, 1, 0, ids.data()), E_POINTER);
}

TEST_P(Dispatch, MembersRunThroughTheVtableWithConvertedArguments) {
    const platform::Bstr seven(u"7");
    const VARIANT text = platform::VariantBstr(seven.Get());
    LONG status = -5;
    VARIANT out;
    out.vt = VT_BYREF | VT_I4;
    out.plVal = &status;
    SetOpenStatus(4);
    ASSERT_EQ(Call(tarvik, 1, DISPATCH_METHOD, {out, text}), S_OK);  // Open("7", &status)
    EXPECT_EQ(Calls().back(), "Open 7");
    EXPECT_EQ(status, 4);
    // The status also comes back through a by-reference VARIANT.
    VARIANT holder;
    VariantInit(&holder);
    holder.vt = VT_BSTR;
    holder.bstrVal = SysAllocString(u"old");
    VARIANT viaVariant;
    viaVariant.vt = VT_BYREF | VT_VARIANT;
    viaVariant.pvarVal = &holder;
    ASSERT_EQ(Call(tarvik, 1, DISPATCH_METHOD, {viaVariant, I4(2)}), S_OK);
    EXPECT_EQ(holder.vt, VT_I4);
    EXPECT_EQ(holder.lVal, 4);

    VARIANT result;
    VariantInit(&result);
    ASSERT_EQ(Call(tarvik, 9, DISPATCH_PROPERTYGET, {}, &result), S_OK);
    EXPECT_EQ(result.vt, VT_I4);
    EXPECT_EQ(result.lVal, 1500);
    ASSERT_EQ(Call(tarvik, 9, DISPATCH_PROPERTYPUT, {I4(250)}, nullptr, nullptr, {DISPID_PROPERTYPUT}), S_OK);
    EXPECT_EQ(Calls().back(), "put_InterCharacterTimeout 250");
    ASSERT_EQ(Call(test, 6, DISPATCH_PROPERTYGET, {}, &result), S_OK);
    EXPECT_EQ(result.vt, VT_R4);
    ASSERT_EQ(Call(test, 3, DISPATCH_PROPERTYGET, {}, &result), S_OK);
    EXPECT_EQ(result.vt, VT_BSTR);
    EXPECT_EQ(std::u16string(result.bstrVal), u"None");
    VariantClear(&result);
    const platform::Bstr stop(u"1.5");
    ASSERT_EQ(Call(test, 6, DISPATCH_PROPERTYPUT, {platform::VariantBstr(stop.Get())}), S_OK);
    EXPECT_EQ(Calls().back(), "put_StopBits 1.500000");
}

TEST_P(Dispatch, BadCallsGetThePlatformsCodes) {
    UINT argErr = 99;
    const platform::Bstr seven(u"seven");
    const VARIANT word = platform::VariantBstr(seven.Get());
    LONG status = 0;
    VARIANT out;
    out.vt = VT_BYREF | VT_I4;
    out.plVal = &status;
    EXPECT_EQ(Call(tarvik, 1, DISPATCH_METHOD, {out, word}, nullptr, &argErr), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(argErr, 1u);  // PortNumber is element 1 of rgvarg
    EXPECT_EQ(Call(tarvik, 1, DISPATCH_METHOD, {I4(0), I4(1)}, nullptr, &argErr), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(argErr, 0u);  // Status must be a reference

    EXPECT_EQ(tarvik->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, nullptr, nullptr, nullptr, nullptr), DISP_E_BADVARTYPE);
    EXPECT_EQ(Call(tarvik, 2, DISPATCH_METHOD, {I4(1), I4(2), I4(3)}), DISP_E_BADPARAMCOUNT);  // more than two
    EXPECT_EQ(Call(test, 8, DISPATCH_METHOD, {I4(1), I4(2)}), DISP_E_BADPARAMCOUNT);           // more than one
    EXPECT_EQ(Call(tarvik, 4, DISPATCH_METHOD, {}), DISP_E_BADPARAMCOUNT);  // StartNumberOK needs its number
    EXPECT_EQ(Call(tarvik, 7, DISPATCH_METHOD, {}), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(Call(test, 1, DISPATCH_PROPERTYGET, {}), DISP_E_MEMBERNOTFOUND);  // StartNumberTest is write-only
    EXPECT_TRUE(Calls().empty());
}

TEST_P(Dispatch, NamedArgumentsFollowEachInterfacesRule) {
    UINT argErr = 99;
    // ITarvik: by position; a name that is no position of the member fails.
    LONG status = 0;
    VARIANT out;
    out.vt = VT_BYREF | VT_I4;
    out.plVal = &status;
    ASSERT_EQ(Call(tarvik, 1, DISPATCH_METHOD, {I4(5), out}, nullptr, &argErr, {0, 1}), S_OK);  // PortNumber:=5
    EXPECT_EQ(Calls().back(), "Open 5");
    EXPECT_EQ(Call(tarvik, 4, DISPATCH_METHOD, {I4(5)}, nullptr, &argErr, {3}), DISP_E_PARAMNOTFOUND);
    EXPECT_EQ(argErr, 0u);
    // _ITarvikEvents: only DISPID_PROPERTYPUT.
    const platform::Bstr x(u"x");
    const VARIANT msg = platform::VariantBstr(x.Get());
    EXPECT_EQ(Call(events, 4, DISPATCH_METHOD, {msg}, nullptr, nullptr, {0}), DISP_E_NONAMEDARGS);
    EXPECT_EQ(Call(events, 4, DISPATCH_METHOD, {msg}, nullptr, nullptr, {DISPID_PROPERTYPUT}), S_OK);
    // ITarvikTest: names are ignored.
    EXPECT_EQ(Call(test, 8, DISPATCH_METHOD, {msg}, nullptr, nullptr, {42}), S_OK);
    EXPECT_EQ(Calls().back(), "WriteToPort x");
}

TEST_P(Dispatch, FailingMemberFillsExcepInfoFromTheThreadsErrorInformation) {
    SetFailWith(E_ACCESSDENIED);  // the member fails and sets error information saying why
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    EXCEPINFO ex{};
    EXPECT_EQ(tarvik->Invoke(2, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, &ex, nullptr), E_ACCESSDENIED);
    EXPECT_EQ(ex.scode, E_ACCESSDENIED);
    ASSERT_NE(ex.bstrDescription, nullptr);
    EXPECT_EQ(std::u16string(ex.bstrDescription), u"recorded failure");
    platform::ClearExcepInfo(&ex);
    // Through the vtable the error information becomes the caller's thread's.
    platform::ComPtr<IErrorInfo> info;
    EXPECT_EQ(tarvik->Close(), E_ACCESSDENIED);
    ASSERT_EQ(GetErrorInfo(0, info.Out()), S_OK);
    platform::Bstr description;
    info->GetDescription(description.Out());
    EXPECT_EQ(description.View(), u"recorded failure");
}

TEST_P(Dispatch, TypeInformationPerInterface) {
    UINT count = 0;
    ASSERT_EQ(tarvik->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    platform::ComPtr<ITypeInfo> info;
    EXPECT_EQ(tarvik->GetTypeInfo(1, 0, info.Out()), DISP_E_BADINDEX);
    EXPECT_EQ(tarvik->GetTypeInfo(0, 0, nullptr), E_POINTER);
    ASSERT_EQ(events->GetTypeInfo(0, 0, info.Out()), S_OK);
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->guid, contract::DIID__ITarvikEvents);
    EXPECT_EQ(attr->cFuncs, 6);
    info->ReleaseTypeAttr(attr);
}

TEST_P(Dispatch, QueryInterfaceAnswersExactlyTheContractsInterfaces) {
    platform::ComPtr<IUnknown> p;
    for (const IID& iid : {IID_IUnknown, IID_IDispatch, contract::IID_ITarvik, contract::IID_ITarvikTest,
                           contract::DIID__ITarvikEvents, contract::DIID__ITarvikTestEvents,
                           IID_IConnectionPointContainer, IID_IProvideClassInfo, IID_IProvideClassInfo2}) {
        ASSERT_EQ(object->QueryInterface(iid, reinterpret_cast<void**>(p.Out())), S_OK);
    }
    EXPECT_EQ(object->QueryInterface(IID_IConnectionPoint, reinterpret_cast<void**>(p.Out())), E_NOINTERFACE);
    EXPECT_EQ(p.Get(), nullptr);
    EXPECT_EQ(object->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    // IDispatch is the ITarvik part.
    platform::ComPtr<IDispatch> dispatch;
    ASSERT_EQ(object->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(dispatch.Out())), S_OK);
    EXPECT_EQ(dispatch.Get(), static_cast<IDispatch*>(tarvik.Get()));
}

// The executable's type library registered in a private registry.
class RegisteredTypeLibrary {
public:
    RegisteredTypeLibrary() {
        WCHAR path[MAX_PATH];
        EXPECT_GT(GetModuleFileNameW(nullptr, path, MAX_PATH), 0u);
        platform::ComPtr<ITypeLib> library;
        EXPECT_EQ(LoadTypeLib(path, library.Out()), S_OK);
        if (library) {
            EXPECT_EQ(RegisterTypeLib(library.Get(), path, nullptr), S_OK);
        }
    }

private:
    trelvane::testing::TempHome m_home;
};

// Class information comes through the registration of the type library:
// in process this executable's, in the other process the server's own
// (trelvane-test-host registers it as it starts).
TEST_P(Dispatch, ClassInformationNamesTheDefaultSource) {
    RegisteredTypeLibrary registered;
    platform::ComPtr<IProvideClassInfo2> classInfo;
    ASSERT_EQ(object->QueryInterface(IID_IProvideClassInfo2, reinterpret_cast<void**>(classInfo.Out())), S_OK);
    GUID guid{};
    ASSERT_EQ(classInfo->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &guid), S_OK);
    EXPECT_EQ(guid, contract::DIID__ITarvikEvents);
    EXPECT_EQ(classInfo->GetGUID(2, &guid), E_FAIL);
    EXPECT_EQ(guid, GUID_NULL);
    EXPECT_EQ(classInfo->GetGUID(1, nullptr), E_POINTER);
    platform::ComPtr<ITypeInfo> info;
    ASSERT_EQ(classInfo->GetClassInfo(info.Out()), S_OK);
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->typekind, TKIND_COCLASS);
    EXPECT_EQ(attr->guid, contract::CLSID_CTarvik);
    info->ReleaseTypeAttr(attr);
}

// In process only: the server of the other process has registered its library.
TEST_F(Dispatch, ClassInformationNeedsTheRegisteredTypeLibrary) {
    trelvane::testing::TempHome unregistered;
    platform::ComPtr<IProvideClassInfo> classInfo;
    ASSERT_EQ(object->QueryInterface(IID_IProvideClassInfo, reinterpret_cast<void**>(classInfo.Out())), S_OK);
    ITypeInfo* info = reinterpret_cast<ITypeInfo*>(0x1);
    EXPECT_EQ(classInfo->GetClassInfo(&info), TYPE_E_LIBNOTREGISTERED);
    EXPECT_EQ(info, nullptr);
    // Type information of the interfaces comes from the executable itself.
    UINT count = 0;
    EXPECT_EQ(tarvik->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
}

TRELVANE_BOTH_PLACEMENTS(Dispatch);

}  // namespace
}  // namespace trelvane
