// The description of a type library held in code: the interfaces,
// dispinterfaces and classes of one contract, as plain data. The same on both
// systems: on the stand-in a type library is built from it, on Windows the
// IDL compiled into the program's type library is written from it.
#pragma once

#include <cstddef>
#include <vector>

#ifdef _WIN32
#include "platform/windows_system.h"
#else
#include "platform/objects/oaidl.h"
#endif

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

// The parameters a caller passes: all but the [out, retval] one.
inline std::size_t CallerParamCount(const MemberDesc& member) {
    std::size_t count = 0;
    for (const auto& p : member.params)
        if ((p.flags & PARAMFLAG_FRETVAL) == 0) ++count;
    return count;
}

// The program's type library for the description (which must outlive it):
// on the stand-in, built from the description; on Windows, the library the
// program carries as its resource TYPELIB 1, compiled from the IDL written
// from the description; TYPE_E_CANTLOADLIBRARY when that is another library.
HRESULT LoadTypeLibOfDesc(const LibraryDesc& desc, ITypeLib** library);

}  // namespace platform
