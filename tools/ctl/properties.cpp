#include "tools/ctl/properties.h"

#include <map>

#include "contract/contract.h"
#include "platform/windows.h"

namespace trelvane::ctl {
namespace {

// Properties that the driver keeps whether or not a port is open.
bool KeptWithoutPort(const std::string& name) { return name == "InterCharacterTimeout" || name == "StartNumberTest"; }

void Collect(const contract::InterfaceContract& contract, std::vector<Property>* out) {
    for (const auto& member : contract.desc.members) {
        if (member.kind == platform::MemberKind::Method || member.params.empty()) continue;
        const std::string name = platform::ToUtf8(member.name);
        const bool get = member.kind == platform::MemberKind::PropertyGet;
        Property* property = nullptr;
        for (auto& p : *out)
            if (p.name == name) property = &p;
        if (!property) {
            out->push_back({name, contract.desc.iid, member.dispid,
                            static_cast<VARTYPE>(member.params[0].type & ~VT_BYREF), false, false,
                            !KeptWithoutPort(name)});
            property = &out->back();
        }
        (get ? property->readable : property->writable) = true;
    }
}

}  // namespace

const std::vector<Property>& Properties() {
    static const std::vector<Property> properties = [] {
        std::vector<Property> out;
        Collect(contract::ITarvikContract(), &out);
        Collect(contract::ITarvikTestContract(), &out);
        return out;
    }();
    return properties;
}

const Property* FindProperty(std::string_view name) {
    for (const auto& p : Properties())
        if (platform::EqualNoCase(name, p.name)) return &p;
    return nullptr;
}

std::string CanonicalValue(const Property& property, std::string_view text, std::string* expected) {
    if (property.name == "Parity") {
        for (const char* parity : {"None", "Odd", "Even", "Mark", "Space"})
            if (platform::EqualNoCase(text, parity)) return parity;
        *expected = "None, Odd, Even, Mark or Space";
        return {};
    }
    if (property.name == "DataBits") {
        for (const char* bits : {"5", "6", "7", "8"})
            if (text == bits) return bits;
        *expected = "5, 6, 7 or 8";
        return {};
    }
    if (property.name == "StopBits") {
        for (const char* bits : {"1", "1.0", "1.5", "2", "2.0"})
            if (text == bits) return bits;
        *expected = "1, 1.5 or 2";
        return {};
    }
    return std::string(text);
}

}  // namespace trelvane::ctl
