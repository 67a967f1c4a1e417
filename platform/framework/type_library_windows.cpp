// The program's type library on Windows: the one it carries as its resource
// TYPELIB 1, compiled by widl from the IDL that the description writes.
#include <string>

#include "platform/framework/system_helpers_windows.h"
#include "platform/objects/type_description.h"

namespace platform {

HRESULT LoadTypeLibOfDesc(const LibraryDesc& desc, ITypeLib** library) {
    if (library == nullptr) return E_INVALIDARG;
    *library = nullptr;
    const WString path = ThisExecutablePath();
    if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
    ITypeLib* loaded = nullptr;
    if (HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, &loaded); FAILED(hr)) return hr;
    TLIBATTR* attr = nullptr;
    HRESULT hr = loaded->GetLibAttr(&attr);
    if (SUCCEEDED(hr)) {
        if (!IsEqualGUID(attr->guid, desc.libid) || attr->wMajorVerNum != desc.majorVersion ||
            attr->wMinorVerNum != desc.minorVersion)
            hr = TYPE_E_CANTLOADLIBRARY;
        loaded->ReleaseTLibAttr(attr);
    }
    if (FAILED(hr)) {
        loaded->Release();
        return hr;
    }
    *library = loaded;
    return S_OK;
}

}  // namespace platform
