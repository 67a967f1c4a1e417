// An owning, move-only BSTR: the string is freed when its owner goes. The
// same on both systems.
#pragma once

#include <utility>

#include "platform/base/wide_string.h"
#ifdef _WIN32
#include "platform/windows_system.h"
#else
#include "platform/objects/oleauto.h"
#endif

namespace platform {

class Bstr {
public:
    Bstr() = default;
    // A copy of text; empty (false) when the memory could not be had.
    explicit Bstr(WStringView text) : m_b(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
    Bstr(Bstr&& other) noexcept : m_b(other.Detach()) {}
    Bstr& operator=(Bstr&& other) noexcept {
        if (this != &other) Reset(other.Detach());
        return *this;
    }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    ~Bstr() { SysFreeString(m_b); }

    // Adopts a string the caller owns, such as one a callee handed out.
    static Bstr Attach(BSTR b) {
        Bstr result;
        result.m_b = b;
        return result;
    }
    void Reset(BSTR b = nullptr) {
        SysFreeString(m_b);
        m_b = b;
    }
    BSTR Detach() { return std::exchange(m_b, nullptr); }
    BSTR Get() const { return m_b; }
    // For an out-parameter: frees what is held first.
    BSTR* Out() {
        Reset();
        return &m_b;
    }
    WStringView View() const { return {m_b ? m_b : TEXT(""), SysStringLen(m_b)}; }
    explicit operator bool() const { return m_b != nullptr; }

private:
    BSTR m_b = nullptr;
};

}  // namespace platform
