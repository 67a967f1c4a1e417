#include "platform/framework/server_module.h"

namespace {

std::atomic<CAtlModule*> g_processModule{nullptr};

}  // namespace

CAtlModule::CAtlModule() { g_processModule = this; }

CAtlModule::~CAtlModule() {
    CAtlModule* self = this;
    g_processModule.compare_exchange_strong(self, nullptr);
}

LONG CAtlModule::LockModule() { return ++m_lockCount; }

LONG CAtlModule::UnlockModule() { return --m_lockCount; }

LONG CAtlModule::GetLockCount() { return m_lockCount; }

namespace platform {

CAtlModule* ProcessModule() { return g_processModule; }

}  // namespace platform
