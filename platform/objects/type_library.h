// A type library built from a description held in code: the stand-in for a
// library compiled from IDL, for the interfaces, dispinterfaces and classes
// of one contract; and the platform's calls that load libraries and
// register them in the registry.
#pragma once

#include "platform/objects/ocidl.h"
#include "platform/objects/type_description.h"

namespace platform {

// The description must outlive the library.
HRESULT CreateTypeLibFromDesc(const LibraryDesc& desc, ITypeLib** library);

}  // namespace platform

// A program carries its type library as its resource "TYPELIB" 1, whose data
// is the library's description (a platform::LibraryDesc). A program can load
// only its own: any other file gives TYPE_E_CANTLOADLIBRARY.
HRESULT LoadTypeLib(LPCOLESTR szFile, ITypeLib** pptlib);

// Writes HKEY_CLASSES_ROOT\TypeLib\{LIBID}\<major>.<minor> (hexadecimal),
// its default value the library's help string, with
// <lcid>\win64 = szFullPath, FLAGS and HELPDIR. The interface keys that the
// platform adds for its marshaller are not written: remoting finds
// interfaces through the contract. A registry error is returned as an
// HRESULT of the Win32 facility.
HRESULT RegisterTypeLib(ITypeLib* ptlib, LPCOLESTR szFullPath, LPCOLESTR szHelpDir);
// Removes what RegisterTypeLib wrote for that version, locale and system,
// and the keys above it that are left empty. TYPE_E_LIBNOTREGISTERED when
// that registration does not exist.
HRESULT UnRegisterTypeLib(REFGUID libID, WORD wVerMajor, WORD wVerMinor, LCID lcid, SYSKIND syskind);
// The registered path: the same major version with the highest minor
// version not below wMin; the locale, its primary language, then 0; win64,
// then win32. TYPE_E_LIBNOTREGISTERED when there is none.
HRESULT QueryPathOfRegTypeLib(REFGUID guid, USHORT wMaj, USHORT wMin, LCID lcid, BSTR* lpbstrPathName);
// LoadTypeLib of the registered path; TYPE_E_LIBNOTREGISTERED also when the
// file found there holds another library.
HRESULT LoadRegTypeLib(REFGUID rguid, WORD wVerMajor, WORD wVerMinor, LCID lcid, ITypeLib** pptlib);
