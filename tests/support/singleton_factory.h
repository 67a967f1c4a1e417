// A class factory that hands every activation the same object, made by the
// first one, as the server does with the driver object.
#pragma once

#include <functional>
#include <mutex>

#include "platform/windows.h"

namespace trelvane::testing {

template <class T>
class SingletonFactory final : public IClassFactory, public platform::RefCounted {
public:
    // create makes the object, with one reference for the factory.
    explicit SingletonFactory(std::function<T*()> create = [] { return T::Create(); }) : m_create(std::move(create)) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppv = static_cast<IClassFactory*>(this);
            AddRefImpl();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return AddRefImpl(); }
    ULONG Release() override { return ReleaseImpl(); }

    HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (outer != nullptr) return CLASS_E_NOAGGREGATION;
        std::lock_guard lock(m_mutex);
        if (!m_object) m_object = platform::ComPtr<T>::Attach(m_create());
        return m_object->QueryInterface(riid, ppv);
    }
    HRESULT LockServer(BOOL lock) override {
        m_locks += lock ? 1 : -1;
        return S_OK;
    }
    T* Object() {
        std::lock_guard lock(m_mutex);
        return m_object.Get();
    }
    int Locks() const { return m_locks; }

private:
    ~SingletonFactory() override = default;

    std::function<T*()> m_create;
    std::mutex m_mutex;
    platform::ComPtr<T> m_object;
    std::atomic<int> m_locks{0};
};

}  // namespace trelvane::testing
