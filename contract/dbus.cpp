#include "contract/dbus.h"

namespace trelvane::contract::dbus {
namespace {

using platform::MemberDesc;
using platform::MemberKind;

std::string Text(LPCOLESTR s) { return s ? platform::ToUtf8(s) : std::string(); }
VARTYPE Plain(VARTYPE type) { return static_cast<VARTYPE>(type & ~VT_BYREF); }

struct PropertyChanges {
    const char* event;
    std::vector<std::string> withFirstArg;
    std::vector<std::string> invalidated;
};

// What the driver changes by itself, and the event that tells of it: the
// two posts' lines, a start number received, the port opened or closed
// (also by a fault, through the tick). Every other property changes only
// by a call.
const PropertyChanges kChanges[] = {
    {"StartNumberRequest", {}, {"StartNumber"}},
    {"StartPostStateChanged", {"StateStartPost", "StateDSR"}, {}},
    {"FinishPostStateChanged", {"StateFinishPost", "StateCTS"}, {}},
    {"SP_PortOpened", {}, {"PortNumber", "StartNumber"}},
    {"SP_PortClosed", {}, {"PortNumber", "StartNumber"}},
};

Property* FindProperty(BusInterface& bus, const std::string& name) {
    for (auto& p : bus.properties)
        if (p.name == name) return &p;
    return nullptr;
}

void AddMembers(BusInterface& bus, const InterfaceContract& iface) {
    for (const MemberDesc& m : iface.desc.members) {
        const std::string name = Text(m.name);
        if (m.kind == MemberKind::Method) {
            Method method{name, &iface, &m, {}, {}};
            for (const auto& p : m.params)
                ((p.flags & PARAMFLAG_FOUT) ? method.out : method.in).push_back({Text(p.name), Plain(p.type)});
            bus.methods.push_back(std::move(method));
            continue;
        }
        Property* property = FindProperty(bus, name);
        if (property == nullptr) {
            bus.properties.push_back(
                {name, Plain(m.params.at(0).type), &iface, m.dispid, false, false, ChangeSignal::None});
            property = &bus.properties.back();
        }
        (m.kind == MemberKind::PropertyGet ? property->readable : property->writable) = true;
    }
}

void AddSignals(BusInterface& bus, const InterfaceContract& events) {
    for (const MemberDesc& m : events.desc.members) {
        Signal signal{Text(m.name), events.desc.iid, m.dispid, {}, {}, {}};
        for (const auto& p : m.params) signal.args.push_back({Text(p.name), Plain(p.type)});
        for (const auto& change : kChanges)
            if (signal.name == change.event) {
                signal.changesWithFirstArg = change.withFirstArg;
                signal.invalidates = change.invalidated;
            }
        bus.signals.push_back(std::move(signal));
    }
}

BusInterface Build() {
    BusInterface bus;
    AddMembers(bus, ITarvikContract());
    AddMembers(bus, ITarvikTestContract());
    bus.methods.push_back({kRelease, nullptr, nullptr, {}, {}});
    AddSignals(bus, ITarvikEventsContract());
    AddSignals(bus, ITarvikTestEventsContract());
    for (const Signal& signal : bus.signals) {
        for (const auto& name : signal.changesWithFirstArg) FindProperty(bus, name)->change = ChangeSignal::WithValue;
        for (const auto& name : signal.invalidates) FindProperty(bus, name)->change = ChangeSignal::Invalidated;
    }
    return bus;
}

constexpr char kDoctype[] =
    "<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object Introspection 1.0//EN\"\n"
    " \"http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd\">\n";

constexpr char kStandardInterfaces[] =
    "  <interface name=\"org.freedesktop.DBus.Peer\">\n"
    "    <method name=\"Ping\"/>\n"
    "    <method name=\"GetMachineId\">\n"
    "      <arg name=\"machine_uuid\" type=\"s\" direction=\"out\"/>\n"
    "    </method>\n"
    "  </interface>\n"
    "  <interface name=\"org.freedesktop.DBus.Introspectable\">\n"
    "    <method name=\"Introspect\">\n"
    "      <arg name=\"xml_data\" type=\"s\" direction=\"out\"/>\n"
    "    </method>\n"
    "  </interface>\n"
    "  <interface name=\"org.freedesktop.DBus.Properties\">\n"
    "    <method name=\"Get\">\n"
    "      <arg name=\"interface_name\" type=\"s\" direction=\"in\"/>\n"
    "      <arg name=\"property_name\" type=\"s\" direction=\"in\"/>\n"
    "      <arg name=\"value\" type=\"v\" direction=\"out\"/>\n"
    "    </method>\n"
    "    <method name=\"GetAll\">\n"
    "      <arg name=\"interface_name\" type=\"s\" direction=\"in\"/>\n"
    "      <arg name=\"props\" type=\"a{sv}\" direction=\"out\"/>\n"
    "    </method>\n"
    "    <method name=\"Set\">\n"
    "      <arg name=\"interface_name\" type=\"s\" direction=\"in\"/>\n"
    "      <arg name=\"property_name\" type=\"s\" direction=\"in\"/>\n"
    "      <arg name=\"value\" type=\"v\" direction=\"in\"/>\n"
    "    </method>\n"
    "    <signal name=\"PropertiesChanged\">\n"
    "      <arg name=\"interface_name\" type=\"s\"/>\n"
    "      <arg name=\"changed_properties\" type=\"a{sv}\"/>\n"
    "      <arg name=\"invalidated_properties\" type=\"as\"/>\n"
    "    </signal>\n"
    "  </interface>\n";

std::string ArgXml(const Arg& arg, const char* direction) {
    std::string line = "      <arg name=\"" + arg.name + "\" type=\"" + TypeCode(arg.type) + "\"";
    if (direction) line += std::string(" direction=\"") + direction + "\"";
    return line + "/>\n";
}

std::string ElementXml(const std::string& kind, const std::string& name, const std::string& body) {
    const std::string open = "    <" + kind + " name=\"" + name + "\"";
    return body.empty() ? open + "/>\n" : open + ">\n" + body + "    </" + kind + ">\n";
}

}  // namespace

const Method* BusInterface::FindMethod(const std::string& name) const {
    for (const auto& m : methods)
        if (m.name == name) return &m;
    return nullptr;
}

const Property* BusInterface::FindProperty(const std::string& name) const {
    for (const auto& p : properties)
        if (p.name == name) return &p;
    return nullptr;
}

const Signal* BusInterface::FindSignal(REFIID events, DISPID dispid) const {
    for (const auto& s : signals)
        if (s.events == events && s.dispid == dispid) return &s;
    return nullptr;
}

const BusInterface& TarvikBusInterface() {
    static const BusInterface bus = Build();
    return bus;
}

char TypeCode(VARTYPE type) {
    switch (type) {
    case VT_I4: return 'i';
    case VT_BOOL: return 'b';
    case VT_I2: return 'n';
    case VT_R4: return 'd';
    case VT_BSTR: return 's';
    default: return 0;
    }
}

std::string Signature(const std::vector<Arg>& args) {
    std::string signature;
    for (const Arg& arg : args) signature += TypeCode(arg.type);
    return signature;
}

std::string RenderInterfaceXml() {
    const BusInterface& bus = TarvikBusInterface();
    std::string xml = std::string("  <interface name=\"") + kInterface + "\">\n";
    for (const Method& m : bus.methods) {
        std::string body;
        for (const Arg& arg : m.in) body += ArgXml(arg, "in");
        for (const Arg& arg : m.out) body += ArgXml(arg, "out");
        xml += ElementXml("method", m.name, body);
    }
    for (const Property& p : bus.properties) {
        const char* access = p.readable && p.writable ? "readwrite" : p.readable ? "read" : "write";
        const char* emits = p.change == ChangeSignal::WithValue     ? "true"
                            : p.change == ChangeSignal::Invalidated ? "invalidates"
                                                                    : "false";
        xml += "    <property name=\"" + p.name + "\" type=\"" + TypeCode(p.type) + "\" access=\"" + access +
               "\">\n      <annotation name=\"org.freedesktop.DBus.Property.EmitsChangedSignal\" value=\"" + emits +
               "\"/>\n    </property>\n";
    }
    for (const Signal& s : bus.signals) {
        std::string body;
        for (const Arg& arg : s.args) body += ArgXml(arg, nullptr);
        xml += ElementXml("signal", s.name, body);
    }
    return xml + "  </interface>\n";
}

std::string RenderInterfaceFile() {
    return std::string(kDoctype) +
           "<!-- Written by trelvane-idl from contract/contract.cpp; a test keeps this file equal to it. -->\n"
           "<node>\n" +
           RenderInterfaceXml() + "</node>\n";
}

std::string RenderIntrospection() {
    return std::string(kDoctype) + "<node>\n" + kStandardInterfaces + RenderInterfaceXml() + "</node>\n";
}

}  // namespace trelvane::contract::dbus
