#include "server/dbus_face.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace trelvane::server {
namespace {

using contract::dbus::Method;
using contract::dbus::Property;
using platform::ComPtr;
using platform::dbus::IncomingCall;

constexpr char kIntrospectable[] = "org.freedesktop.DBus.Introspectable";
constexpr char kProperties[] = "org.freedesktop.DBus.Properties";
constexpr char kInvalidArgs[] = "org.freedesktop.DBus.Error.InvalidArgs";
constexpr char kUnknownMethod[] = "org.freedesktop.DBus.Error.UnknownMethod";
constexpr char kUnknownInterface[] = "org.freedesktop.DBus.Error.UnknownInterface";
constexpr char kUnknownProperty[] = "org.freedesktop.DBus.Error.UnknownProperty";
constexpr char kPropertyReadOnly[] = "org.freedesktop.DBus.Error.PropertyReadOnly";
constexpr char kLimitsExceeded[] = "org.freedesktop.DBus.Error.LimitsExceeded";

// Bus clients holding the object at once, at most (the bus daemon allows
// fewer connections per user than this); a call from one more fails with
// this result.
constexpr std::size_t kMaxHolds = 1024;
constexpr HRESULT kTooManyHolds = HRESULT_FROM_WIN32(ERROR_TOO_MANY_OPEN_FILES);

// The bus error of a failed call: an invalid argument as the bus names it,
// anything else under the interface's own names (docs/dbus.md).
std::string ErrorName(HRESULT hr) {
    switch (hr) {
    case DISP_E_TYPEMISMATCH:
    case DISP_E_OVERFLOW:
    case DISP_E_BADPARAMCOUNT:
    case E_INVALIDARG: return kInvalidArgs;
    case S_FALSE: return std::string(contract::dbus::kErrorPrefix) + "Refused";
    case RPC_E_SERVERFAULT: return std::string(contract::dbus::kErrorPrefix) + "ServerFault";
    case E_OUTOFMEMORY: return std::string(contract::dbus::kErrorPrefix) + "OutOfMemory";
    case kTooManyHolds: return kLimitsExceeded;
    default: return std::string(contract::dbus::kErrorPrefix) + "Failed";
    }
}

// The platform's text for the result, as an automation client reads it,
// with the code. S_FALSE, a request refused, has no text of its own.
std::string ErrorText(HRESULT hr) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
    const std::string text = hr == S_FALSE         ? "The request was refused."
                             : hr == kTooManyHolds ? "Too many bus clients hold the driver object."
                                                   : SystemMessageText(static_cast<DWORD>(hr));
    return text + " (" + code + ")";
}

void ReplyFailure(IncomingCall& call, HRESULT hr) { call.ReplyError(ErrorName(hr), ErrorText(hr)); }

// Variants that the caller owns, cleared when they go.
struct Values {
    std::vector<VARIANT> items;
    Values() = default;
    Values(const Values&) = delete;
    Values& operator=(const Values&) = delete;
    ~Values() {
        for (VARIANT& v : items) VariantClear(&v);
    }
};

// A value read from the bus as the contract's type (a double as a FLOAT),
// before anything is called: a value out of range is an invalid argument.
HRESULT ToDeclaredType(VARIANT* value, VARTYPE type) {
    if (value->vt == type) return S_OK;
    VARIANT converted;
    VariantInit(&converted);
    const HRESULT hr = VariantChangeType(&converted, value, 0, type);
    if (SUCCEEDED(hr)) {
        VariantClear(value);
        *value = converted;
    }
    return hr;
}

// Reads the arguments of the signature as the contract's types.
HRESULT ReadArgs(IncomingCall& call, const std::vector<contract::dbus::Arg>& declared, Values* values) {
    for (const auto& arg : declared) {
        values->items.emplace_back();
        if (!call.ReadValue(contract::dbus::TypeCode(arg.type), &values->items.back())) return E_INVALIDARG;
        if (HRESULT hr = ToDeclaredType(&values->items.back(), arg.type); FAILED(hr)) return hr;
    }
    return S_OK;
}

// One member of the driver object through its late binding, as an
// automation client calls it: args in parameter order.
HRESULT InvokeMember(ITarvik* object, const contract::InterfaceContract& iface, DISPID dispid, WORD flags,
                     std::vector<VARIANT> args, VARIANT* result) {
    ComPtr<IDispatch> dispatch;
    HRESULT hr = object->QueryInterface(iface.desc.iid, reinterpret_cast<void**>(dispatch.Out()));
    if (FAILED(hr)) return hr;
    std::vector<VARIANT> reversed(args.rbegin(), args.rend());
    DISPID putValue = DISPID_PROPERTYPUT;
    const bool put = flags == DISPATCH_PROPERTYPUT;
    DISPPARAMS params{reversed.data(), put ? &putValue : nullptr, static_cast<UINT>(reversed.size()), put ? 1u : 0u};
    EXCEPINFO exception{};
    UINT argError = 0;
    hr = dispatch->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, &exception, &argError);
    platform::ClearExcepInfo(&exception);
    return hr;
}

std::string Quoted(const std::string& signature) { return "(" + signature + ")"; }

}  // namespace

std::unique_ptr<BusFace> BusFace::Start(IUnknown* classObject, const char* libraryFile) {
    // Without a session bus the library is not even loaded.
    if (!platform::dbus::SessionBusNamed()) return nullptr;
    std::unique_ptr<BusFace> face(new BusFace(classObject));
    std::string failure;
    // Started by the bus for a client's call, which waits for the face: it
    // joins at once. The countdown starts then, as after an activation whose
    // client let go, so that a server whose client left before its call
    // arrived does not serve for ever.
    if (std::getenv("DBUS_STARTER_BUS_TYPE") != nullptr) {
        platform::dbus::LoadBusLibrary(libraryFile, &failure);
        if (face->Join(failure)) platform::ServerLock started;
        return face;
    }
    // Otherwise a client of the automation face may be waiting for its first
    // answers: the library loads beside them, and the face joins once it has.
    BusFace* self = face.get();
    face->m_load = platform::dbus::BackgroundBusLibraryLoad::Start(
        libraryFile, [self](const std::string& loadFailure) { self->Join(loadFailure); }, &failure);
    if (!face->m_load) face->Join(failure);
    return face;
}

bool BusFace::Join(std::string failure) {
    if (failure.empty()) {
        m_bus = platform::dbus::SessionBus::Join(
            contract::dbus::kObjectPath,
            {[this](IncomingCall& call) { OnCall(call); }, [this](const std::string& client) { OnDeparted(client); },
             [this] { m_holds.clear(); }},
            &failure);
    }
    if (!m_bus) {
        // No failure: the bus named was not there after all.
        if (!failure.empty())
            platform::log::Warning(platform::log::Channel::dbus, "%s; serving automation clients only",
                                   failure.c_str());
        return false;
    }
    m_relays[0] = ComPtr<BusEventRelay>::Attach(new BusEventRelay(contract::DIID__ITarvikEvents, m_bus.get()));
    m_relays[1] = ComPtr<BusEventRelay>::Attach(new BusEventRelay(contract::DIID__ITarvikTestEvents, m_bus.get()));
    m_bus->RequestName(contract::dbus::kBusName);
    return true;
}

BusFace::BusFace(IUnknown* classObject) : m_classObject(classObject) {}

BusFace::~BusFace() {
    m_load.reset();
    for (auto& relay : m_relays)
        if (relay) relay->Detach();
    m_holds.clear();
    m_bus.reset();
}

void BusFace::OnCall(IncomingCall& call) {
    const std::string iface = call.Interface();
    const std::string member = call.Member();
    if (iface == kProperties) return CallProperties(call, member);
    // Introspection takes no hold: tools and client libraries introspect
    // on their own, and that alone must not keep the server.
    if (iface == kIntrospectable && member == "Introspect" && call.Signature().empty())
        return call.ReplyText(contract::dbus::RenderIntrospection());
    if (!iface.empty() && iface != contract::dbus::kInterface && iface != kIntrospectable)
        return call.ReplyError(kUnknownInterface, "The object has no interface " + iface);
    const Method* method = iface == kIntrospectable ? nullptr : contract::dbus::TarvikBusInterface().FindMethod(member);
    if (method == nullptr)
        return call.ReplyError(kUnknownMethod, "There is no method " + member + Quoted(call.Signature()) + " in " +
                                                   (iface.empty() ? contract::dbus::kInterface : iface));
    CallMethod(call, *method);
}

void BusFace::CallMethod(IncomingCall& call, const Method& method) {
    const std::string signature = contract::dbus::Signature(method.in);
    if (call.Signature() != signature)
        return call.ReplyError(kInvalidArgs,
                               method.name + " takes " + Quoted(signature) + ", not " + Quoted(call.Signature()));
    if (method.member == nullptr) {  // Release
        m_holds.erase(call.Sender());
        return call.Reply({});
    }
    Values in;
    if (HRESULT hr = ReadArgs(call, method.in, &in); FAILED(hr))
        return call.ReplyError(kInvalidArgs, method.name + ": " + ErrorText(hr));
    ComPtr<ITarvik> object;
    if (HRESULT hr = Hold(call.Sender(), object.Out()); FAILED(hr)) return ReplyFailure(call, hr);

    // The parameters in order: the caller's values, and for an [out] number
    // a place to write it.
    std::vector<LONG> outs(method.out.size(), 0);
    std::vector<VARIANT> args;
    std::size_t nextIn = 0, nextOut = 0;
    for (const auto& p : method.member->params) {
        if (p.flags & PARAMFLAG_FOUT) {
            VARIANT out;
            VariantInit(&out);
            out.vt = VT_BYREF | VT_I4;
            out.plVal = &outs[nextOut++];
            args.push_back(out);
        } else {
            args.push_back(in.items[nextIn++]);
        }
    }
    const HRESULT hr = InvokeMember(object.Get(), *method.iface, method.member->dispid, DISPATCH_METHOD, args, nullptr);
    // S_FALSE: a request refused. Open tells it by its status; a method
    // that answers nothing tells it by an error.
    if (FAILED(hr) || (hr == S_FALSE && method.out.empty())) return ReplyFailure(call, hr);
    std::vector<VARIANT> results;
    results.reserve(outs.size());
    for (LONG value : outs) results.push_back(platform::VariantI4(value));
    call.Reply(results);
}

void BusFace::CallProperties(IncomingCall& call, const std::string& member) {
    const char* signature = member == "Get" ? "ss" : member == "Set" ? "ssv" : member == "GetAll" ? "s" : nullptr;
    if (signature == nullptr)
        return call.ReplyError(kUnknownMethod, "There is no method " + member + " in " + kProperties);
    if (call.Signature() != signature)
        return call.ReplyError(kInvalidArgs,
                               member + " takes " + Quoted(signature) + ", not " + Quoted(call.Signature()));
    std::string iface, name;
    call.ReadString(&iface);
    if (!iface.empty() && iface != contract::dbus::kInterface)
        return call.ReplyError(kUnknownInterface, "The object has no properties of " + iface);
    const auto& bus = contract::dbus::TarvikBusInterface();
    const Property* property = nullptr;
    if (member != "GetAll") {
        call.ReadString(&name);
        if ((property = bus.FindProperty(name)) == nullptr)
            return call.ReplyError(kUnknownProperty, "There is no property " + name);
    }
    Values value;
    if (member == "Set") {
        char code = 0;
        value.items.emplace_back();
        if (!property->writable) return call.ReplyError(kPropertyReadOnly, name + " is read-only");
        if (!call.ReadVariant(&code, &value.items[0]) || code != contract::dbus::TypeCode(property->type))
            return call.ReplyError(kInvalidArgs, name + " takes a value of type " +
                                                     contract::dbus::TypeCode(property->type) + ", not " +
                                                     (code ? std::string(1, code) : std::string("another")));
        if (HRESULT hr = ToDeclaredType(&value.items[0], property->type); FAILED(hr))
            return call.ReplyError(kInvalidArgs, name + ": " + ErrorText(hr));
    } else if (property && !property->readable) {
        return call.ReplyError(kInvalidArgs, name + " is write-only");
    }

    ComPtr<ITarvik> object;
    if (HRESULT hr = Hold(call.Sender(), object.Out()); FAILED(hr)) return ReplyFailure(call, hr);
    if (member == "Set") {
        const HRESULT hr =
            InvokeMember(object.Get(), *property->iface, property->dispid, DISPATCH_PROPERTYPUT, value.items, nullptr);
        return FAILED(hr) ? ReplyFailure(call, hr) : call.Reply({});
    }
    std::vector<const Property*> wanted;
    if (property) {
        wanted.push_back(property);
    } else {
        for (const Property& p : bus.properties)
            if (p.readable) wanted.push_back(&p);
    }
    Values results;
    std::vector<std::pair<std::string, VARIANT>> entries;
    for (const Property* p : wanted) {
        results.items.emplace_back();
        VariantInit(&results.items.back());
        const HRESULT hr =
            InvokeMember(object.Get(), *p->iface, p->dispid, DISPATCH_PROPERTYGET, {}, &results.items.back());
        if (FAILED(hr)) return ReplyFailure(call, hr);
        entries.emplace_back(p->name, results.items.back());
    }
    if (property) return call.ReplyVariant(results.items[0]);
    call.ReplyDictionary(entries);
}

HRESULT BusFace::Hold(const std::string& client, ITarvik** object) {
    auto held = m_holds.find(client);
    if (held == m_holds.end()) {
        if (m_holds.size() >= kMaxHolds) return kTooManyHolds;
        ComPtr<IClassFactory> factory;
        HRESULT hr = m_classObject->QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(factory.Out()));
        ComPtr<ITarvik> tarvik;
        if (SUCCEEDED(hr))
            hr = factory->CreateInstance(nullptr, contract::IID_ITarvik, reinterpret_cast<void**>(tarvik.Out()));
        if (FAILED(hr)) return hr;
        ConnectRelays(tarvik.Get());
        held = m_holds.emplace(client, std::move(tarvik)).first;
    }
    *object = held->second.Get();
    (*object)->AddRef();
    return S_OK;
}

// The relays stay connected for the object's life: from the first bus
// client on, every event reaches the bus, whoever caused it.
void BusFace::ConnectRelays(ITarvik* object) {
    if (m_relaysConnected) return;
    ComPtr<IConnectionPointContainer> container;
    HRESULT hr = object->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(container.Out()));
    for (auto& relay : m_relays) {
        ComPtr<IConnectionPoint> point;
        DWORD cookie = 0;
        if (SUCCEEDED(hr)) hr = container->FindConnectionPoint(relay->EventsIid(), point.Out());
        if (SUCCEEDED(hr)) hr = point->Advise(relay.Get(), &cookie);
    }
    if (FAILED(hr))
        platform::log::Error(platform::log::Channel::dbus, "cannot connect to the driver's events: 0x%08X %s",
                             static_cast<unsigned>(hr), SystemMessageText(static_cast<DWORD>(hr)).c_str());
    m_relaysConnected = true;
}

void BusFace::OnDeparted(const std::string& client) { m_holds.erase(client); }

}  // namespace trelvane::server
