// The contract written out as IDL, for people and for tools that read IDL.
#include <cstdio>

#include "contract/contract.h"
#include "platform/windows.h"

namespace trelvane::contract {
namespace {

using platform::InterfaceDesc;
using platform::MemberKind;

std::string Text(LPCOLESTR s) { return s ? platform::ToUtf8(s) : std::string(); }

std::string Uuid(const GUID& g) {
    WCHAR text[CHARS_IN_GUID];
    StringFromGUID2(g, text, CHARS_IN_GUID);
    return platform::ToUtf8(platform::WString(text + 1, 36));
}

std::string Member(const platform::MemberDesc& m, const std::string& indent) {
    std::string attributes;
    if (m.kind == MemberKind::PropertyGet) attributes = "propget, ";
    if (m.kind == MemberKind::PropertyPut) attributes = "propput, ";
    std::string line = indent + "[" + attributes + "id(" + std::to_string(m.dispid) + "), helpstring(\"" +
                       Text(m.help) + "\")] HRESULT " + Text(m.name) + "(";
    for (std::size_t i = 0; i < m.params.size(); ++i) {
        const auto& p = m.params[i];
        std::string direction = "[in]";
        if (p.flags & PARAMFLAG_FRETVAL)
            direction = "[out, retval]";
        else if (p.flags & PARAMFLAG_FOUT)
            direction = "[out]";
        line += (i ? ", " : "") + direction + " " + IdlTypeName(p.type) + " " + (p.name ? Text(p.name) : "newVal");
    }
    return line + ");\n";
}

std::string Dual(const InterfaceDesc& d) {
    std::string text = "[\n    object,\n    uuid(" + Uuid(d.iid) +
                       "),\n    dual,\n    oleautomation,\n"
                       "    helpstring(\"" +
                       Text(d.help) +
                       "\"),\n    pointer_default(unique)\n]\n"
                       "interface " +
                       Text(d.name) + " : IDispatch\n{\n";
    for (const auto& m : d.members) text += Member(m, "    ");
    return text + "};\n\n";
}

std::string Dispinterface(const InterfaceDesc& d) {
    std::string text = "    [\n        uuid(" + Uuid(d.iid) + "),\n        helpstring(\"" + Text(d.help) +
                       "\")\n    ]\n    dispinterface " + Text(d.name) +
                       "\n    {\n        properties:\n"
                       "        methods:\n";
    for (const auto& m : d.members) text += Member(m, "        ");
    return text + "    };\n\n";
}

}  // namespace

std::string IdlTypeName(VARTYPE vt) {
    std::string name;
    switch (vt & ~VT_BYREF) {
    case VT_I4: name = "LONG"; break;
    case VT_I2: name = "SHORT"; break;
    case VT_R4: name = "FLOAT"; break;
    case VT_BOOL: name = "VARIANT_BOOL"; break;
    case VT_BSTR: name = "BSTR"; break;
    default: name = "VARIANT"; break;
    }
    return (vt & VT_BYREF) ? name + "*" : name;
}

std::string RenderIdl() {
    const auto& library = TrelvaneLibrary();
    std::string text =
        "// The Trelvane automation contract. Written by trelvane-idl from contract/contract.cpp;\n"
        "// a test keeps this file equal to it, so change the source, not this file.\n\n"
        "import \"oaidl.idl\";\nimport \"ocidl.idl\";\n\n";
    for (const auto* d : library.interfaces)
        if (d->kind == platform::InterfaceKind::Dual) text += Dual(*d);
    text += "[\n    uuid(" + Uuid(library.libid) + "),\n    version(" + std::to_string(library.majorVersion) + "." +
            std::to_string(library.minorVersion) + "),\n    helpstring(\"" + Text(library.help) + "\")\n]\nlibrary " +
            Text(library.name) + "\n{\n    importlib(\"stdole2.tlb\");\n\n";
    // The dual interfaces come into the library first, in the description's
    // order: widl (Wine 7) given a dispinterface before a dual interface
    // imports IDispatch twice and writes the second import's reference over
    // the LIBID's last byte.
    for (const auto* d : library.interfaces)
        if (d->kind == platform::InterfaceKind::Dual) text += "    interface " + Text(d->name) + ";\n";
    text += "\n";
    for (const auto* d : library.interfaces)
        if (d->kind == platform::InterfaceKind::DispInterface) text += Dispinterface(*d);
    for (const auto* c : library.coclasses) {
        text += "    [\n        uuid(" + Uuid(c->clsid) + "),\n        helpstring(\"" + Text(c->help) +
                "\")\n    ]\n    coclass " + Text(c->name) + "\n    {\n";
        for (const auto& impl : c->implemented) {
            std::string attributes;
            if (impl.flags & IMPLTYPEFLAG_FDEFAULT) attributes = "default";
            if (impl.flags & IMPLTYPEFLAG_FSOURCE) attributes += attributes.empty() ? "source" : ", source";
            const bool dispatch = impl.iface->kind == platform::InterfaceKind::DispInterface;
            text += "        " + (attributes.empty() ? "" : "[" + attributes + "] ") +
                    (dispatch ? "dispinterface " : "interface ") + Text(impl.iface->name) + ";\n";
        }
        text += "    };\n";
    }
    return text + "};\n";
}

}  // namespace trelvane::contract
