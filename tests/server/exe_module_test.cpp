// The server module's message loop: a quit that finds a client's lock still
// held does not end the server under that client.
#include <gtest/gtest.h>

#include <span>

#include "platform/windows.h"

namespace {

class QuickModule final : public CAtlExeModuleT<QuickModule> {
public:
    QuickModule() {
        m_shutdownTimeout = 50;
        m_pauseAfterRevoke = 0;
    }
    static REFGUID LibId() { return GUID_NULL; }
    static std::span<ClassTableEntry> ClassTable() { return {}; }
    static HRESULT RegisterServerEntries() { return E_NOTIMPL; }
    static HRESULT UnregisterServerEntries() { return E_NOTIMPL; }
    HRESULT AddCommonRGSReplacements(IRegistrarBase*) override { return S_OK; }
};

QuickModule* g_module = nullptr;
bool g_unlocked = false;

void UnlockOnce(HWND, UINT, UINT_PTR id, DWORD) {
    KillTimer(nullptr, id);
    g_unlocked = true;
    g_module->UnlockModule();
}

TEST(ExeModule, AQuitThatFindsALockHeldServesOnUntilTheLockIsGivenBack) {
    QuickModule module;
    ASSERT_FALSE(module.StartupFailed());
    g_module = &module;
    module.LockModule();  // a client handed the object just before the quit
    ASSERT_TRUE(PostThreadMessageW(GetCurrentThreadId(), WM_QUIT, 0, 0));
    SetTimer(nullptr, 0, 100, UnlockOnce);
    EXPECT_EQ(module.RunServer(), S_OK);
    EXPECT_TRUE(g_unlocked);  // it quit only after the client let go
    EXPECT_EQ(module.GetLockCount(), 0);
    g_module = nullptr;
}

}  // namespace
