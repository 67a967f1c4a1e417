// How each interface crosses between processes: its proxy and its stub,
// registered by IID. The platform's own interfaces are registered here; a
// contract registers its interfaces (and its type library, from which
// type information is built on the receiving side) before it is used.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/objects/oaidl.h"
#include "platform/remoting/codec.h"

namespace platform::remoting {

class Connection;
class InterfaceProxy;
class ProxyManager;

// A call being run by a stub: its arguments in, its results out.
struct StubCall {
    Connection& connection;
    Reader& in;
    Writer& out;
    HRESULT hr = S_OK;
};

struct InterfaceMarshaller {
    IID iid;
    bool dispatchBased = false;  // IDispatch's four methods (slots 3 to 6) come first
    bool events = false;         // events: Invoke from a server to its client goes one-way
    std::uint16_t slots = 3;     // vtable slots, IUnknown's included
    std::vector<IID> serves;     // interfaces its proxy serves as well (those it derives from)
    InterfaceProxy* (*createProxy)(ProxyManager& manager, REFIID iid) = nullptr;
    // Runs one of the interface's own methods (a slot after IUnknown's, and
    // after IDispatch's for dispatch-based ones) on object, an interface
    // pointer of this IID. False when the arguments were malformed.
    bool (*stub)(void* object, std::uint16_t slot, StubCall& call) = nullptr;
};

void RegisterInterface(InterfaceMarshaller marshaller);
// A function that registers interfaces (and type libraries), run when they
// are first looked up: safe to call while the program starts, before the
// descriptions it uses exist.
void AddInterfaceSource(void (*registerInterfaces)());
// Null for an interface that does not cross.
const InterfaceMarshaller* FindInterface(REFIID iid);

// Type libraries by LIBID, so that type information can be built on this side.
using TypeLibraryLoader = HRESULT (*)(ITypeLib** library);
void RegisterTypeLibrary(REFGUID libid, TypeLibraryLoader load);
// TYPE_E_LIBNOTREGISTERED when none was registered for libid.
HRESULT LoadTypeLibrary(REFGUID libid, ITypeLib** library);

// The platform's interfaces (standard_interfaces.cpp).
void RegisterStandardInterfaces();

}  // namespace platform::remoting
