// An owning interface pointer: the reference is released when its owner
// goes. It needs nothing but AddRef and Release, so it is the same on both
// systems.
#pragma once

#include <utility>

namespace platform {

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

}  // namespace platform
