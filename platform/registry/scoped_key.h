// A registry key handle that closes itself, on both systems.
#pragma once

#ifdef _WIN32
#include "platform/windows_system.h"
#else
#include "platform/registry/registry.h"
#endif

namespace platform {

class ScopedKey {
public:
    ScopedKey() = default;
    ~ScopedKey() { Close(); }
    ScopedKey(const ScopedKey&) = delete;
    ScopedKey& operator=(const ScopedKey&) = delete;
    HKEY* Out() {
        Close();
        return &m_key;
    }
    HKEY Get() const { return m_key; }
    void Close() {
        if (m_key) RegCloseKey(m_key);
        m_key = nullptr;
    }

private:
    HKEY m_key = nullptr;
};

}  // namespace platform
