// The one source of truth for the contract: every interface with its members
// (kind, DISPID, parameters, help string) in vtable order, the fixed name
// tables of GetIDsOfNames, the late-bound argument rules, and the type
// library built from them.
#pragma once

#include <string>
#include <vector>

#include "contract/trelvane.h"
#include "platform/windows.h"

namespace trelvane::contract {

// How Invoke treats named arguments on an interface.
enum class NamedArguments {
    ByPosition,       // a named DISPID is the parameter's position; DISPID_PROPERTYPUT the setter's value
    OnlyPropertyPut,  // none but a single DISPID_PROPERTYPUT, else DISP_E_NONAMEDARGS
    Ignored,          // taken by position whatever their names
};

struct NameEntry {
    LPCOLESTR name;
    DISPID id;
};

struct InterfaceContract {
    const platform::InterfaceDesc& desc;
    std::vector<NameEntry> names;  // looked up one by one, without regard to case
    UINT maxArguments;
    NamedArguments namedArguments;
};

const InterfaceContract& ITarvikContract();
const InterfaceContract& ITarvikTestContract();
const InterfaceContract& ITarvikEventsContract();
const InterfaceContract& ITarvikTestEventsContract();
// The contract of an interface by IID, or null.
const InterfaceContract* ContractFor(REFIID iid);

const platform::CoclassDesc& CTarvikClass();
const platform::LibraryDesc& TrelvaneLibrary();

// The executable's resources (contract/resources.cpp): the AppID registry
// script, type "REGISTRY", and the type library, type "TYPELIB".
constexpr WORD kAppIdScriptId = 101;
constexpr WORD kTypeLibId = 1;

// A new reference to the type library (one per process, kept for its life):
// the one the program carries, which is the description's.
HRESULT LoadTrelvaneTypeLib(ITypeLib** library);

// The IDL text of the contract, as kept in contract/trelvane.idl.
std::string RenderIdl();
// The IDL name of a parameter's type: "LONG", "BSTR*", ...
std::string IdlTypeName(VARTYPE vt);
// The reference page of the contract for client programmers, as kept in
// docs/reference.md (contract/reference.cpp).
std::string RenderReference();

}  // namespace trelvane::contract
