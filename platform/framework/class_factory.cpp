#include "platform/framework/class_factory.h"

HRESULT CComClassFactory::QueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
        *ppv = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

HRESULT CComClassFactory::LockServer(BOOL fLock) {
    if (CAtlModule* module = platform::ProcessModule()) {
        if (fLock)
            module->LockModule();
        else
            module->UnlockModule();
    }
    return S_OK;
}
