// The type library of the contract, as the program loads it: built from the
// description on Linux, widl's from the IDL (resource TYPELIB 1) on Windows.
#include <gtest/gtest.h>

#include "contract/contract.h"

namespace trelvane {
namespace {

struct Library {
    platform::ComPtr<ITypeLib> lib;
    Library() { EXPECT_EQ(contract::LoadTrelvaneTypeLib(lib.Out()), S_OK); }
    platform::ComPtr<ITypeInfo> Info(REFGUID guid) {
        platform::ComPtr<ITypeInfo> info;
        EXPECT_EQ(lib->GetTypeInfoOfGuid(guid, info.Out()), S_OK);
        return info;
    }
    // A dual interface's own members: on Windows on its interface side (its
    // dispatch side lists IDispatch's first); the stand-in's library has the
    // dispatch side alone, with the own members.
    platform::ComPtr<ITypeInfo> Members(REFGUID guid) {
        auto info = Info(guid);
        HREFTYPE href = 0;
        platform::ComPtr<ITypeInfo> side;
        if (SUCCEEDED(info->GetRefTypeOfImplType(static_cast<UINT>(-1), &href)) &&
            SUCCEEDED(info->GetRefTypeInfo(href, side.Out())))
            return side;
        return info;
    }
};

// The text of a string the callee handed over, which is freed here.
platform::WString Str(BSTR b) { return platform::WString(platform::Bstr::Attach(b).View()); }

TEST(TypeLibrary, NameVersionAndHelp) {
    Library l;
    TLIBATTR* attr = nullptr;
    ASSERT_EQ(l.lib->GetLibAttr(&attr), S_OK);
    EXPECT_EQ(attr->guid, contract::LIBID_Trelvane);
    EXPECT_EQ(attr->wMajorVerNum, 1);
    EXPECT_EQ(attr->wMinorVerNum, 0);
    l.lib->ReleaseTLibAttr(attr);
    BSTR name = nullptr, help = nullptr;
    ASSERT_EQ(l.lib->GetDocumentation(-1, &name, &help, nullptr, nullptr), S_OK);
    EXPECT_EQ(Str(name), TEXT("Trelvane"));
    EXPECT_EQ(Str(help), TEXT("Trelvane 1.0 Type Library"));
    EXPECT_EQ(l.lib->GetTypeInfoCount(), 5u);
}

TEST(TypeLibrary, MembersWithDispidsKindsAndParameters) {
    Library l;
    auto info = l.Info(contract::IID_ITarvikTest);
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
    EXPECT_TRUE(attr->wTypeFlags & TYPEFLAG_FDUAL);
    info->ReleaseTypeAttr(attr);
    info = l.Members(contract::IID_ITarvikTest);
    ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->cFuncs, 16);
    // StartNumberTest: a setter and no getter.
    int getters = 0, setters = 0;
    for (UINT i = 0; i < attr->cFuncs; ++i) {
        FUNCDESC* f = nullptr;
        ASSERT_EQ(info->GetFuncDesc(i, &f), S_OK);
        if (f->memid == 1) (f->invkind == INVOKE_PROPERTYGET ? getters : setters)++;
        info->ReleaseFuncDesc(f);
    }
    EXPECT_EQ(getters, 0);
    EXPECT_EQ(setters, 1);
    info->ReleaseTypeAttr(attr);

    info = l.Members(contract::IID_ITarvik);
    FUNCDESC* open = nullptr;
    ASSERT_EQ(info->GetFuncDesc(0, &open), S_OK);
    EXPECT_EQ(open->memid, 1);
    EXPECT_EQ(open->invkind, INVOKE_FUNC);
    ASSERT_EQ(open->cParams, 2);
    EXPECT_EQ(open->lprgelemdescParam[0].tdesc.vt, VT_I4);
    EXPECT_EQ(open->lprgelemdescParam[1].tdesc.vt, VT_PTR);
    EXPECT_EQ(open->lprgelemdescParam[1].tdesc.lptdesc->vt, VT_I4);
    EXPECT_EQ(open->lprgelemdescParam[1].paramdesc.wParamFlags, PARAMFLAG_FOUT);
    info->ReleaseFuncDesc(open);
    BSTR names[3] = {};
    UINT count = 0;
    ASSERT_EQ(info->GetNames(1, names, 3, &count), S_OK);
    ASSERT_EQ(count, 3u);
    EXPECT_EQ(Str(names[0]), TEXT("Open"));
    EXPECT_EQ(Str(names[1]), TEXT("PortNumber"));
    EXPECT_EQ(Str(names[2]), TEXT("Status"));
    BSTR doc = nullptr;
    ASSERT_EQ(info->GetDocumentation(9, nullptr, &doc, nullptr, nullptr), S_OK);
    EXPECT_EQ(Str(doc),
              TEXT("Use this to get/set the maximum allowed time, in millisecond, between receiving bytes from ")
                  TEXT("the 'startpost' device. Default value is 1500 ms."));

    info = l.Info(contract::DIID__ITarvikEvents);
    ASSERT_EQ(info->GetDocumentation(2, nullptr, &doc, nullptr, nullptr), S_OK);
    EXPECT_EQ(Str(doc), TEXT("Fired on read error. Codes: 1: Illegal startpost id, 2: 1st byte <> 2nd byte, 3: Inter ")
                            TEXT("character timeout. ErrorMessage contains a description of the error."));
}

TEST(TypeLibrary, ClassWithDefaultInterfaceAndDefaultSource) {
    Library l;
    auto info = l.Info(contract::CLSID_CTarvik);
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
    ASSERT_EQ(attr->cImplTypes, 4);
    info->ReleaseTypeAttr(attr);
    int defaultSource = -1;
    for (UINT i = 0; i < 4; ++i) {
        INT flags = 0;
        info->GetImplTypeFlags(i, &flags);
        if (flags == (IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE)) defaultSource = static_cast<int>(i);
    }
    ASSERT_GE(defaultSource, 0);
    HREFTYPE href = 0;
    ASSERT_EQ(info->GetRefTypeOfImplType(static_cast<UINT>(defaultSource), &href), S_OK);
    platform::ComPtr<ITypeInfo> source;
    ASSERT_EQ(info->GetRefTypeInfo(href, source.Out()), S_OK);
    BSTR name = nullptr;
    source->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr);
    EXPECT_EQ(Str(name), TEXT("_ITarvikEvents"));
    BSTR help = nullptr;
    info->GetDocumentation(MEMBERID_NIL, nullptr, &help, nullptr, nullptr);
    EXPECT_EQ(Str(help), TEXT("Tarvik Class"));
}

}  // namespace
}  // namespace trelvane
