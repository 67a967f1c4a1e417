// The type library and the IDL built from the one description.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "contract/contract.h"
#include "contract/dbus.h"
#include "contract/proxy_stub.h"

#ifndef TRELVANE_SOURCE_DIR
#error "TRELVANE_SOURCE_DIR must name the source tree"
#endif

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
};

// The text of a string the callee handed over, which is freed here.
std::u16string Str(BSTR b) { return std::u16string(platform::Bstr::Attach(b).View()); }

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
    EXPECT_EQ(Str(name), u"Trelvane");
    EXPECT_EQ(Str(help), u"Trelvane 1.0 Type Library");
    EXPECT_EQ(l.lib->GetTypeInfoCount(), 5u);
}

TEST(TypeLibrary, MembersWithDispidsKindsAndParameters) {
    Library l;
    auto info = l.Info(contract::IID_ITarvikTest);
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->cFuncs, 16);
    EXPECT_TRUE(attr->wTypeFlags & TYPEFLAG_FDUAL);
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

    info = l.Info(contract::IID_ITarvik);
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
    EXPECT_EQ(Str(names[0]), u"Open");
    EXPECT_EQ(Str(names[1]), u"PortNumber");
    EXPECT_EQ(Str(names[2]), u"Status");
    BSTR doc = nullptr;
    ASSERT_EQ(info->GetDocumentation(9, nullptr, &doc, nullptr, nullptr), S_OK);
    EXPECT_EQ(Str(doc),
              u"Use this to get/set the maximum allowed time, in millisecond, between receiving bytes from "
              u"the 'startpost' device. Default value is 1500 ms.");

    info = l.Info(contract::DIID__ITarvikEvents);
    ASSERT_EQ(info->GetDocumentation(2, nullptr, &doc, nullptr, nullptr), S_OK);
    EXPECT_EQ(Str(doc),
              u"Fired on read error. Codes: 1: Illegal startpost id, 2: 1st byte <> 2nd byte, 3: Inter "
              u"character timeout. ErrorMessage contains a description of the error.");
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
    EXPECT_EQ(Str(name), u"_ITarvikEvents");
    BSTR help = nullptr;
    info->GetDocumentation(MEMBERID_NIL, nullptr, &help, nullptr, nullptr);
    EXPECT_EQ(Str(help), u"Tarvik Class");
}

TEST(ContractIdl, FileMatchesTheDescription) {
    std::ifstream file(std::string(TRELVANE_SOURCE_DIR) + "/contract/trelvane.idl", std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    EXPECT_EQ(text.str(), contract::RenderIdl())
        << "contract/trelvane.idl is out of date: regenerate it with build/tools/trelvane-idl contract/trelvane.idl";
}

TEST(ContractReference, PageMatchesTheDescriptionAndNamesEveryMember) {
    std::ifstream file(std::string(TRELVANE_SOURCE_DIR) + "/docs/reference.md", std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    const std::string page = contract::RenderReference();
    EXPECT_EQ(text.str(), page) << "docs/reference.md is out of date: regenerate it with "
                                   "build/tools/trelvane-idl --reference docs/reference.md";
    // Every member and event has its paragraph, with what the description
    // does not hold: no name is left without a note.
    for (const auto* d : contract::TrelvaneLibrary().interfaces)
        for (const auto& member : d->members) {
            const std::string heading = "**" + platform::ToUtf8(member.name) + "**: ";
            const auto at = page.find(heading);
            ASSERT_NE(at, std::string::npos) << heading;
            EXPECT_NE(page.compare(at + heading.size(), 1, "\n"), 0) << heading << "has no note";
        }
    // Every event has its row on the session bus, with the thread that raises it.
    for (const auto& signal : contract::dbus::TarvikBusInterface().signals) {
        const std::string row = "| `" + signal.name + "` | `" + signal.name + "(";
        const auto at = page.find(row);
        ASSERT_NE(at, std::string::npos) << row;
        const auto thread = page.find(")` | ", at) + 5;
        EXPECT_NE(page.compare(thread, 3, " | "), 0) << signal.name << " has no thread";
    }
}

TEST(ContractMarshalling, ProxiesAndStubsSendWhatTheDescriptionDeclares) {
    for (const auto* c : {&contract::ITarvikContract(), &contract::ITarvikTestContract()}) {
        const auto& members = c->desc.members;
        const auto shapes = contract::MarshalledShapes(c->desc.iid);
        ASSERT_EQ(shapes.size(), members.size());
        for (std::size_t i = 0; i < members.size(); ++i) {
            std::vector<platform::remoting::ParamShape> declared;
            for (const auto& p : members[i].params) declared.push_back(platform::remoting::ShapeOf(p.type));
            EXPECT_TRUE(shapes[i] == declared) << platform::ToUtf8(members[i].name) << " at vtable slot " << 7 + i;
        }
        const auto* marshaller = platform::remoting::FindInterface(c->desc.iid);
        ASSERT_NE(marshaller, nullptr);
        EXPECT_EQ(marshaller->slots, 7 + members.size());
    }
    // The event interfaces cross one-way; their members take only [in] arguments.
    for (const IID& iid : {contract::DIID__ITarvikEvents, contract::DIID__ITarvikTestEvents}) {
        const auto* marshaller = platform::remoting::FindInterface(iid);
        ASSERT_NE(marshaller, nullptr);
        EXPECT_TRUE(marshaller->events);
    }
}

}  // namespace
}  // namespace trelvane
