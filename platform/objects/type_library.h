// A type library built from a description held in code: the stand-in for a
// library compiled from IDL, for the interfaces, dispinterfaces and classes
// of one contract.
#pragma once

#include <vector>

#include "platform/objects/ocidl.h"

namespace platform {

enum class MemberKind { Method, PropertyGet, PropertyPut };

// type: the parameter's VARTYPE; VT_BYREF marks a pointer ([out] and
// [out, retval] parameters). A setter's value has no name (null).
struct ParamDesc {
    LPCOLESTR name;
    VARTYPE type;
    USHORT flags;  // PARAMFLAG_FIN, PARAMFLAG_FOUT, PARAMFLAG_FRETVAL
};

struct MemberDesc {
    LPCOLESTR name;
    MemberKind kind;
    DISPID dispid;
    std::vector<ParamDesc> params;
    LPCOLESTR help;
};

enum class InterfaceKind { Dual, DispInterface };

struct InterfaceDesc {
    LPCOLESTR name;
    IID iid;
    InterfaceKind kind;
    LPCOLESTR help;
    std::vector<MemberDesc> members;  // vtable order
};

struct ImplementedInterface {
    const InterfaceDesc* iface;
    INT flags;  // IMPLTYPEFLAG_FDEFAULT, IMPLTYPEFLAG_FSOURCE
};

struct CoclassDesc {
    LPCOLESTR name;
    CLSID clsid;
    LPCOLESTR help;
    std::vector<ImplementedInterface> implemented;
};

struct LibraryDesc {
    LPCOLESTR name;
    GUID libid;
    WORD majorVersion;
    WORD minorVersion;
    LPCOLESTR help;
    std::vector<const InterfaceDesc*> interfaces;  // type infos 0..n-1, then the classes
    std::vector<const CoclassDesc*> coclasses;
};

// The description must outlive the library.
HRESULT CreateTypeLibFromDesc(const LibraryDesc& desc, ITypeLib** library);

// The parameters a caller passes: all but the [out, retval] one.
std::size_t CallerParamCount(const MemberDesc& member);

bool EqualsNoCase(LPCOLESTR a, LPCOLESTR b);

}  // namespace platform
