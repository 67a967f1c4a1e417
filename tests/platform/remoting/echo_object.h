// A small automation object for the remoting tests, served by a thread of
// the test process: it echoes values, changes by-reference arguments, calls
// back an object it is given, and fails on request.
#pragma once

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>

#include "platform/windows.h"
#include "tests/support/server_thread.h"
#include "tests/support/singleton_factory.h"
#include "tests/support/test_env.h"

namespace trelvane::testing {

inline constexpr CLSID CLSID_Echo{0x3C1F7A52, 0x90D4, 0x4B6E, {0x8A, 0x17, 0x5D, 0x22, 0xE4, 0x0B, 0x91, 0x6C}};

class Echo final : public IDispatch, public ISupportErrorInfo, public platform::RefCounted {
public:
    enum : DISPID {
        kEcho = 1,
        kChangeReferences = 2,
        kCallBack = 3,
        kFail = 4,
        kStore = 5,
        kCallStored = 6,
        kTwice = 7,
        kThrow = 8
    };

    static Echo* Create() { return new Echo; }
    // The object's reference count now.
    ULONG References() {
        AddRefImpl();
        return ReleaseImpl();
    }

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IDispatch)
            *ppv = static_cast<IDispatch*>(this);
        else if (riid == IID_ISupportErrorInfo)
            *ppv = static_cast<ISupportErrorInfo*>(this);
        else
            return E_NOINTERFACE;
        AddRefImpl();
        return S_OK;
    }
    // The caller's object kept by kStore (read on the server's thread).
    IDispatch* Stored() const { return m_stored; }
    ULONG AddRef() override { return AddRefImpl(); }
    ULONG Release() override { return ReleaseImpl(); }
    HRESULT InterfaceSupportsErrorInfo(REFIID riid) override { return riid == IID_IDispatch ? S_OK : S_FALSE; }

    HRESULT GetTypeInfoCount(UINT* count) override {
        *count = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return DISP_E_BADINDEX; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
        HRESULT hr = S_OK;
        for (UINT i = 0; i < count; ++i) {
            const std::u16string name = names[i] ? names[i] : u"";
            ids[i] = name == u"Echo" ? kEcho : name == u"Fail" ? kFail : DISPID_UNKNOWN;
            if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
        }
        return hr;
    }
    HRESULT Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result, EXCEPINFO* ex,
                   UINT* argErr) override {
        switch (id) {
        case kEcho: return params->cArgs == 1 && result ? VariantCopy(result, &params->rgvarg[0]) : E_INVALIDARG;
        case kChangeReferences: return ChangeReferences(*params);
        case kCallBack: return CallBack(*params, result);
        case kFail: return Fail(ex, argErr);
        case kTwice: {  // the text argument twice over
            if (params->cArgs != 1 || params->rgvarg[0].vt != VT_BSTR || !result) return E_INVALIDARG;
            const std::u16string once(params->rgvarg[0].bstrVal, SysStringLen(params->rgvarg[0].bstrVal));
            const std::u16string twice = once + once;
            result->vt = VT_BSTR;
            result->bstrVal = SysAllocStringLen(twice.data(), static_cast<UINT>(twice.size()));
            return S_OK;
        }
        case kStore:
            if (params->cArgs != 1 || params->rgvarg[0].vt != VT_DISPATCH) return E_INVALIDARG;
            if (m_stored) m_stored->Release();
            m_stored = params->rgvarg[0].pdispVal;
            if (m_stored) m_stored->AddRef();
            return S_OK;
        case kCallStored: {
            VARIANT stored;
            VariantInit(&stored);
            stored.vt = VT_DISPATCH;
            stored.pdispVal = m_stored;
            DISPPARAMS one{&stored, nullptr, 1, 0};
            return CallBack(one, result);
        }
        case kThrow: throw std::runtime_error("echo threw");  // what a careless object does
        default: return DISP_E_MEMBERNOTFOUND;
        }
    }

private:
    ~Echo() override {
        if (m_stored) m_stored->Release();
    }

    // Each by-reference argument gets a new value of its type.
    HRESULT ChangeReferences(DISPPARAMS& params) {
        for (UINT i = 0; i < params.cArgs; ++i) {
            VARIANT& a = params.rgvarg[i];
            switch (a.vt) {
            case VT_BYREF | VT_I4: *a.plVal += 1; break;
            case VT_BYREF | VT_R8: *a.pdblVal *= 2; break;
            case VT_BYREF | VT_BOOL: *a.pboolVal = static_cast<VARIANT_BOOL>(~*a.pboolVal); break;
            case VT_BYREF | VT_BSTR:
                SysFreeString(*a.pbstrVal);
                *a.pbstrVal = SysAllocString(u"changed");
                break;
            case VT_BYREF | VT_VARIANT:
                VariantClear(a.pvarVal);
                a.pvarVal->vt = VT_I4;
                a.pvarVal->lVal = 42;
                break;
            case VT_BYREF | VT_DISPATCH:
                if (*a.ppdispVal) (*a.ppdispVal)->Release();
                *a.ppdispVal = this;
                AddRefImpl();
                break;
            default: return DISP_E_TYPEMISMATCH;
            }
        }
        return S_OK;
    }
    // Asks the object in the argument for its value: a call back into the caller.
    static HRESULT CallBack(DISPPARAMS& params, VARIANT* result) {
        if (params.cArgs != 1 || params.rgvarg[0].vt != VT_DISPATCH || !params.rgvarg[0].pdispVal) return E_INVALIDARG;
        DISPPARAMS none{nullptr, nullptr, 0, 0};
        return params.rgvarg[0].pdispVal->Invoke(DISPID_VALUE, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, result,
                                                 nullptr, nullptr);
    }
    static HRESULT Fail(EXCEPINFO* ex, UINT* argErr) {
        ICreateErrorInfo* create = nullptr;
        CreateErrorInfo(&create);
        create->SetSource(const_cast<LPOLESTR>(u"Echo"));
        create->SetDescription(const_cast<LPOLESTR>(u"echo failed"));
        IErrorInfo* info = nullptr;
        create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info));
        SetErrorInfo(0, info);
        info->Release();
        create->Release();
        if (ex) {
            ex->bstrSource = SysAllocString(u"Echo");
            ex->bstrDescription = SysAllocString(u"echo failed");
            ex->scode = E_ACCESSDENIED;
        }
        if (argErr) *argErr = 7;
        return DISP_E_EXCEPTION;
    }

    IDispatch* m_stored = nullptr;  // a caller's object, kept for kCallStored
};

// An Echo served by a thread of this process, and this thread an apartment.
class EchoServed {
public:
    EchoServed() : m_factory(new SingletonFactory<Echo>), m_server(CLSID_Echo, m_factory) {
        CoInitialize(nullptr);
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
    }
    ~EchoServed() {
        CoUninitialize();
        m_factory->Release();
    }
    HRESULT Create(IDispatch** echo) {
        return CoCreateInstance(CLSID_Echo, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch,
                                reinterpret_cast<void**>(echo));
    }
    // The served object's reference count, read on the server's thread.
    ULONG ServerReferences() {
        ULONG count = 0;
        m_server.Run([&] { count = m_factory->Object() ? m_factory->Object()->References() : 0; });
        return count;
    }
    // Waits until the served object's count is expected (peers that went
    // are cleaned up by the server's thread, soon after).
    bool WaitServerReferences(ULONG expected) {
        for (int i = 0; i < 500; ++i) {
            if (ServerReferences() == expected) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    SingletonFactory<Echo>& Factory() { return *m_factory; }
    ServerThread& Server() { return m_server; }

private:
    TempHome m_home;
    SingletonFactory<Echo>* m_factory;
    ServerThread m_server;
};

}  // namespace trelvane::testing
