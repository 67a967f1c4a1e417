// Class objects: CComClassFactory, the part every class object shares, and
// CComClassFactorySingleton<T>, which makes one object of T at the first
// activation and hands every activation that same object.
#pragma once

#include <atomic>
#include <new>

#include "platform/framework/cached_object.h"
#include "platform/framework/system.h"

// A class object counts its own references and holds no server lock, so
// that a registered class object alone never keeps a server running.
class CComClassFactory : public IClassFactory, protected platform::RefCounted {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override { return AddRefImpl(); }
    ULONG Release() override { return ReleaseImpl(); }
    // A client keeps the server running without holding an object.
    HRESULT LockServer(BOOL fLock) override;

protected:
    ~CComClassFactory() override = default;
};

template <class T>
class CComClassFactorySingleton final : public CComClassFactory {
public:
    CComClassFactorySingleton() { InitializeCriticalSection(&m_creationLock); }

    // The class cannot be aggregated. A creation that failed is not tried
    // again: every later activation gets the same failure.
    HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) override {
        if (ppvObject == nullptr) return E_POINTER;
        *ppvObject = nullptr;
        if (pUnkOuter != nullptr) return CLASS_E_NOAGGREGATION;
        if (m_creationResult == S_OK && m_object == nullptr) {
            EnterCriticalSection(&m_creationLock);
            if (m_creationResult == S_OK && m_object == nullptr) m_creationResult = CreateObject();
            LeaveCriticalSection(&m_creationLock);
        }
        const HRESULT hr = m_creationResult;
        return hr == S_OK ? m_object.load()->QueryInterface(riid, ppvObject) : hr;
    }

private:
    ~CComClassFactorySingleton() override {
        if (IUnknown* object = m_object.exchange(nullptr)) object->Release();
        DeleteCriticalSection(&m_creationLock);
    }

    // The shared object, whose first reference is the factory's own.
    HRESULT CreateObject() {
        CComObjectCached<T>* object = nullptr;
        try {
            object = new CComObjectCached<T>;
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        IUnknown* unknown = nullptr;
        const HRESULT hr = object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown));
        if (FAILED(hr)) {
            delete object;
            return hr;
        }
        m_object = unknown;
        return S_OK;
    }

    std::atomic<HRESULT> m_creationResult{S_OK};
    std::atomic<IUnknown*> m_object{nullptr};
    CRITICAL_SECTION m_creationLock;
};
