// The contract as the session bus sees it: the names, and the one bus
// interface formed from ITarvik, ITarvikTest and the two event interfaces,
// each member with the bus's type codes. Written from the contract's
// description, as the IDL is.
#pragma once

#include <string>
#include <vector>

#include "contract/contract.h"

namespace trelvane::contract::dbus {

inline constexpr char kBusName[] = "org.trelvane.Tarvik1";
inline constexpr char kObjectPath[] = "/org/trelvane/Tarvik";
inline constexpr char kInterface[] = "org.trelvane.Tarvik1";
inline constexpr char kErrorPrefix[] = "org.trelvane.Tarvik1.Error.";
// The bus's own method that ends a caller's hold on the server.
inline constexpr char kRelease[] = "Release";

// A value's name and its automation type (never by reference).
struct Arg {
    std::string name;
    VARTYPE type;
};

// A method of ITarvik or ITarvikTest, or Release (member null).
struct Method {
    std::string name;
    const InterfaceContract* iface;
    const platform::MemberDesc* member;
    std::vector<Arg> in;
    std::vector<Arg> out;  // the [out] parameter, if any
};

// How a property announces its changes with PropertiesChanged.
enum class ChangeSignal { None, WithValue, Invalidated };

struct Property {
    std::string name;
    VARTYPE type;
    const InterfaceContract* iface;
    DISPID dispid;
    bool readable;
    bool writable;
    ChangeSignal change;
};

// An event; the properties it changes are announced with it.
struct Signal {
    std::string name;
    IID events;
    DISPID dispid;
    std::vector<Arg> args;
    std::vector<std::string> changesWithFirstArg;  // their new value is the event's first argument
    std::vector<std::string> invalidates;          // changed, to be read again
};

struct BusInterface {
    std::vector<Method> methods;
    std::vector<Property> properties;
    std::vector<Signal> signals;

    const Method* FindMethod(const std::string& name) const;
    const Property* FindProperty(const std::string& name) const;
    const Signal* FindSignal(REFIID events, DISPID dispid) const;
};

const BusInterface& TarvikBusInterface();

// The bus's type code of an automation type: 'i' LONG, 'b' VARIANT_BOOL,
// 'n' SHORT, 'd' FLOAT (the bus has no single precision), 's' BSTR; 0 for
// any other.
char TypeCode(VARTYPE type);
std::string Signature(const std::vector<Arg>& args);

// The interface element of the introspection data, as installed in
// share/dbus-1/interfaces/ (inside a node) and served by Introspect.
std::string RenderInterfaceXml();
// The file share/dbus-1/interfaces/org.trelvane.Tarvik1.xml.
std::string RenderInterfaceFile();
// What Introspect answers: the standard interfaces the object has, and its own.
std::string RenderIntrospection();

}  // namespace trelvane::contract::dbus
