// Our own helpers that the framework uses, for Windows: elsewhere the
// stand-in's areas hold them beside the calls they stand in for, and those
// areas are not built for Windows.
#pragma once

#include <atomic>
#include <string>
#include <utility>

#include "platform/windows_system.h"

namespace platform {

// A reference-counted object: the count starts at 1 for the creator.
class RefCounted {
public:
    ULONG AddRefImpl() { return ++m_refs; }
    ULONG ReleaseImpl();  // deletes the object at zero

protected:
    virtual ~RefCounted() = default;

private:
    std::atomic<ULONG> m_refs{1};
};

// An owning interface pointer.
template <class T>
class ComPtr {
public:
    ComPtr() = default;
    explicit ComPtr(T* p) : m_p(p) {  // takes a new reference; Attach adopts one
        if (m_p) m_p->AddRef();
    }
    ComPtr(const ComPtr& other) : ComPtr(other.m_p) {}
    ComPtr(ComPtr&& other) noexcept : m_p(other.m_p) { other.m_p = nullptr; }
    ~ComPtr() { Reset(); }
    ComPtr& operator=(ComPtr other) {
        std::swap(m_p, other.m_p);
        return *this;
    }
    static ComPtr Attach(T* p) {  // adopts a reference the caller already holds
        ComPtr result;
        result.m_p = p;
        return result;
    }
    void Reset() {
        if (m_p) m_p->Release();
        m_p = nullptr;
    }
    T* Detach() {
        T* p = m_p;
        m_p = nullptr;
        return p;
    }
    T* Get() const { return m_p; }
    T* operator->() const { return m_p; }
    T** Out() {
        Reset();
        return &m_p;
    }
    explicit operator bool() const { return m_p != nullptr; }

private:
    T* m_p = nullptr;
};

// Whether path names the running executable's file.
bool IsThisExecutable(LPCWSTR path);

}  // namespace platform

// The system's text of a message id as UTF-8 without the trailing line
// break; "Error N" when the system has none.
std::string SystemMessageText(DWORD code);
