// Error information objects and the per-thread current one.
#include <new>

#include "platform/objects/oleauto.h"

namespace {

class ErrorInfo final : public IErrorInfo, public ICreateErrorInfo, public platform::RefCounted {
public:
    ~ErrorInfo() override {
        SysFreeString(m_source);
        SysFreeString(m_description);
        SysFreeString(m_helpFile);
    }

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IErrorInfo) {
            *ppv = static_cast<IErrorInfo*>(this);
        } else if (riid == IID_ICreateErrorInfo) {
            *ppv = static_cast<ICreateErrorInfo*>(this);
        } else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRefImpl();
        return S_OK;
    }
    ULONG AddRef() override { return AddRefImpl(); }
    ULONG Release() override { return ReleaseImpl(); }

    HRESULT GetGUID(GUID* pGUID) override { return pGUID ? (*pGUID = m_guid, S_OK) : E_INVALIDARG; }
    HRESULT GetSource(BSTR* out) override { return Copy(m_source, out); }
    HRESULT GetDescription(BSTR* out) override { return Copy(m_description, out); }
    HRESULT GetHelpFile(BSTR* out) override { return Copy(m_helpFile, out); }
    HRESULT GetHelpContext(DWORD* out) override { return out ? (*out = m_helpContext, S_OK) : E_INVALIDARG; }

    HRESULT SetGUID(REFGUID rguid) override {
        m_guid = rguid;
        return S_OK;
    }
    HRESULT SetSource(LPOLESTR text) override { return Store(text, &m_source); }
    HRESULT SetDescription(LPOLESTR text) override { return Store(text, &m_description); }
    HRESULT SetHelpFile(LPOLESTR text) override { return Store(text, &m_helpFile); }
    HRESULT SetHelpContext(DWORD context) override {
        m_helpContext = context;
        return S_OK;
    }

private:
    static HRESULT Copy(BSTR from, BSTR* out) {
        if (out == nullptr) return E_INVALIDARG;
        *out = from ? SysAllocStringLen(from, SysStringLen(from)) : nullptr;
        return from && !*out ? E_OUTOFMEMORY : S_OK;
    }
    static HRESULT Store(LPOLESTR text, BSTR* field) {
        BSTR copy = SysAllocString(text);
        if (text && !copy) return E_OUTOFMEMORY;
        SysFreeString(*field);
        *field = copy;
        return S_OK;
    }

    GUID m_guid = GUID_NULL;
    BSTR m_source = nullptr;
    BSTR m_description = nullptr;
    BSTR m_helpFile = nullptr;
    DWORD m_helpContext = 0;
};

// The thread's current error information; released when the thread ends.
struct CurrentError {
    IErrorInfo* info = nullptr;
    ~CurrentError() {
        if (info) info->Release();
    }
};
thread_local CurrentError t_current;

}  // namespace

HRESULT CreateErrorInfo(ICreateErrorInfo** pperrinfo) {
    if (pperrinfo == nullptr) return E_INVALIDARG;
    *pperrinfo = new (std::nothrow) ErrorInfo;
    return *pperrinfo ? S_OK : E_OUTOFMEMORY;
}

HRESULT SetErrorInfo(ULONG, IErrorInfo* perrinfo) {
    if (perrinfo) perrinfo->AddRef();
    if (t_current.info) t_current.info->Release();
    t_current.info = perrinfo;
    return S_OK;
}

HRESULT GetErrorInfo(ULONG, IErrorInfo** pperrinfo) {
    if (pperrinfo == nullptr) return E_INVALIDARG;
    *pperrinfo = t_current.info;
    t_current.info = nullptr;
    return *pperrinfo ? S_OK : S_FALSE;
}
