// The type library that widl builds from contract/trelvane.idl, as the
// system's type library calls read it, against the IDL file itself (which a
// test of the Linux build holds equal to the contract's description): every
// interface, dispinterface and the class with its GUID and help string,
// every member with its DISPID, kind and help string, and the names a client
// is given for each DISPID, the same both ways; and the library's own
// identity.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "platform/windows.h"

namespace trelvane {
namespace {

std::string Narrow(const wchar_t* text) {
    std::string out;
    for (; text && *text; ++text) out += static_cast<char>(*text);  // the library's texts are ASCII
    return out;
}

std::string Guid(const GUID& guid) {
    wchar_t text[40];
    StringFromGUID2(guid, text, 40);
    std::string narrow = Narrow(text);
    return narrow.substr(1, narrow.size() - 2);  // without the braces, as the IDL writes it
}

std::string Kind(INVOKEKIND kind) {
    return kind == INVOKE_PROPERTYGET ? "propget" : kind == INVOKE_PROPERTYPUT ? "propput" : "method";
}

// The names of a DISPID as a line: the member's, then its parameters'.
std::string NamesLine(const std::string& type, MEMBERID id, const std::string& names) {
    return "names " + type + "." + std::to_string(id) + ":" + names;
}

// One line per type and per member, and one per DISPID with its names, as
// the library has them. The names are those the system gives for a DISPID:
// the first member's that has it (a getter before its setter), without a
// setter's value.
std::set<std::string> FromLibrary(ITypeLib* library) {
    std::set<std::string> lines;
    for (UINT i = 0; i < library->GetTypeInfoCount(); ++i) {
        ITypeInfo* info = nullptr;
        if (FAILED(library->GetTypeInfo(i, &info))) continue;
        TYPEATTR* attr = nullptr;
        info->GetTypeAttr(&attr);
        BSTR name = nullptr, help = nullptr;
        info->GetDocumentation(MEMBERID_NIL, &name, &help, nullptr, nullptr);
        const std::string type = Narrow(name);
        lines.insert(type + " " + Guid(attr->guid) + " \"" + Narrow(help) + "\"");
        SysFreeString(name);
        SysFreeString(help);
        // A dual interface's own members are on its interface side.
        ITypeInfo* members = info;
        if (attr->typekind == TKIND_DISPATCH && (attr->wTypeFlags & TYPEFLAG_FDUAL)) {
            HREFTYPE href = 0;
            if (SUCCEEDED(info->GetRefTypeOfImplType(static_cast<UINT>(-1), &href)))
                info->GetRefTypeInfo(href, &members);
        }
        TYPEATTR* memberAttr = nullptr;
        members->GetTypeAttr(&memberAttr);
        for (UINT f = 0; f < memberAttr->cFuncs; ++f) {
            FUNCDESC* func = nullptr;
            if (FAILED(members->GetFuncDesc(f, &func))) continue;
            members->GetDocumentation(func->memid, &name, &help, nullptr, nullptr);
            lines.insert(type + "." + Narrow(name) + " " + Kind(func->invkind) + " " + std::to_string(func->memid) +
                         " \"" + Narrow(help) + "\"");
            SysFreeString(name);
            SysFreeString(help);
            BSTR names[8];
            UINT count = 0;
            if (SUCCEEDED(members->GetNames(func->memid, names, 8, &count))) {
                std::string joined;
                for (UINT n = 0; n < count; ++n) {
                    joined += " " + Narrow(names[n]);
                    SysFreeString(names[n]);
                }
                lines.insert(NamesLine(type, func->memid, joined));
            }
            members->ReleaseFuncDesc(func);
        }
        members->ReleaseTypeAttr(memberAttr);
        if (members != info) members->Release();
        info->ReleaseTypeAttr(attr);
        info->Release();
    }
    return lines;
}

// The same lines from the IDL's text: the attributes before each type, and
// each member's line with its parameters' names.
std::set<std::string> FromIdl(const std::string& path) {
    std::ifstream in(path);
    EXPECT_TRUE(in) << path;
    std::set<std::string> lines;
    const std::regex typeLine(R"(^\s*(?:interface|dispinterface|coclass)\s+(\w+))");
    const std::regex memberLine(R"(^\s*\[(.*)\]\s*HRESULT\s+(\w+)\((.*)\);)");
    const std::regex paramAttributes(R"(\[[^\]]*\])");
    const std::regex paramName(R"((\w+)\s*(?:,|$))");
    const std::regex uuid(R"(uuid\(([0-9A-Fa-f-]+)\))");
    const std::regex help(R"re(helpstring\("([^"]*)"\))re");
    const std::regex id(R"(\bid\((\d+)\))");
    std::string line, pendingUuid, pendingHelp, type;
    std::set<std::string> named;  // type.DISPID already given its names
    std::smatch m, part;
    while (std::getline(in, line)) {
        if (std::regex_search(line, m, uuid)) pendingUuid = m[1];
        if (std::regex_search(line, m, help) && line.find("HRESULT") == std::string::npos) pendingHelp = m[1];
        if (std::regex_search(line, m, typeLine) && line.find(';') == std::string::npos) {
            type = m[1];
            lines.insert(type + " " + pendingUuid + " \"" + pendingHelp + "\"");
        } else if (std::regex_search(line, m, memberLine)) {
            const std::string attributes = m[1];
            const std::string kind = attributes.find("propget") != std::string::npos   ? "propget"
                                     : attributes.find("propput") != std::string::npos ? "propput"
                                                                                       : "method";
            std::string memberHelp, memberId;
            if (std::regex_search(attributes, part, help)) memberHelp = part[1];
            if (std::regex_search(attributes, part, id)) memberId = part[1];
            lines.insert(type + "." + std::string(m[2]) + " " + kind + " " + memberId + " \"" + memberHelp + "\"");
            if (!named.insert(type + "." + memberId).second) continue;
            std::string names = " " + std::string(m[2]);
            const std::string params = std::regex_replace(m[3].str(), paramAttributes, "");
            for (auto p = std::sregex_iterator(params.begin(), params.end(), paramName); p != std::sregex_iterator();
                 ++p)
                names += " " + (*p)[1].str();
            if (kind == "propput") names.erase(names.rfind(' '));  // a setter's value has no name
            lines.insert(NamesLine(type, std::stoi(memberId), names));
        }
    }
    return lines;
}

ITypeLib* LoadBuiltLibrary() {
    ITypeLib* library = nullptr;
    const HRESULT loaded = LoadTypeLibEx(TEXT(TRELVANE_TYPE_LIBRARY), REGKIND_NONE, &library);
    EXPECT_EQ(loaded, S_OK) << std::hex << loaded;
    return library;
}

TEST(TypeLibrary, WidlBuildsWhatTheIdlDescribes) {
    ITypeLib* library = LoadBuiltLibrary();
    ASSERT_NE(library, nullptr);
    const std::set<std::string> built = FromLibrary(library);
    library->Release();
    const std::set<std::string> described = FromIdl(TRELVANE_IDL);
    // Types, members, and the DISPIDs of each type.
    EXPECT_EQ(described.size(), 5u + 13u + 16u + 6u + 4u + 11u + 10u + 6u + 4u) << "the IDL was not read as expected";
    std::ostringstream onlyBuilt, onlyDescribed;
    for (const auto& l : built)
        if (!described.count(l)) onlyBuilt << l << "\n";
    for (const auto& l : described)
        if (!built.count(l)) onlyDescribed << l << "\n";
    EXPECT_EQ(onlyBuilt.str(), "") << "in the library only";
    EXPECT_EQ(onlyDescribed.str(), "") << "in the IDL only";
}

// Registered under any other LIBID, the library would not be found by the
// contract's: widl has written a wrong last byte here, given a dispinterface
// before the dual interfaces.
TEST(TypeLibrary, TheLibraryIdIsTheIdls) {
    ITypeLib* library = LoadBuiltLibrary();
    ASSERT_NE(library, nullptr);
    TLIBATTR* attr = nullptr;
    ASSERT_EQ(library->GetLibAttr(&attr), S_OK);
    EXPECT_EQ(Guid(attr->guid), "8C1371A5-F4AC-45C5-9AB2-80BD0516F66B");
    EXPECT_EQ(attr->wMajorVerNum, 1);
    EXPECT_EQ(attr->wMinorVerNum, 0);
    library->ReleaseTLibAttr(attr);
    library->Release();
}

}  // namespace
}  // namespace trelvane
