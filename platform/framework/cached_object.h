// CComObjectCached<T>: an object that its class object keeps, and whose
// clients together hold one server lock. The class object's reference is
// always the first one, so a count of two or more means that some client
// holds the object.
#pragma once

#include <atomic>

#include "platform/framework/server_module.h"

template <class T>
class CComClassFactorySingleton;

template <class T>
class CComObjectCached final : public T {
public:
    CComObjectCached() = default;

    ULONG AddRef() override {
        const LONG count = ++m_refs;
        if (count == 2)
            if (CAtlModule* module = platform::ProcessModule()) module->LockModule();
        return static_cast<ULONG>(count);
    }
    ULONG Release() override {
        const LONG count = --m_refs;
        if (count == 1) {
            if (CAtlModule* module = platform::ProcessModule()) module->UnlockModule();
        } else if (count == 0) {
            delete this;  // the object's final clean-up is its destructor
        }
        return static_cast<ULONG>(count);
    }

private:
    template <class>
    friend class CComClassFactorySingleton;
    ~CComObjectCached() override = default;

    // Clients reach the object on the server's main thread only; the count
    // is atomic all the same, so that a stray reference taken elsewhere
    // cannot corrupt it.
    std::atomic<LONG> m_refs{0};
};
