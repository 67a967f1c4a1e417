// The module of a server: the count of server locks that decides when the
// server may end, the library the server's classes are described in, its
// class table, and the process's one module that objects lock.
#pragma once

#include <atomic>
#include <span>

#include "platform/framework/registrar.h"
#include "platform/framework/system.h"

// One creatable class of a server.
struct ClassTableEntry {
    const CLSID* clsid;
    // Writes (true) or removes (false) the class's registry entries.
    HRESULT (*updateRegistry)(bool registering);
    // A new class object for the class, with one reference for the caller.
    HRESULT (*createClassObject)(IUnknown** classObject);
    // Called with true once the server has entered its apartment and with
    // false when it terminates.
    void (*classStartStop)(bool starting);

    // While the server runs: the class object made for registration (one
    // reference) and the cookie of its registration.
    IUnknown* classObject;
    DWORD cookie;
};

class CAtlModule {
public:
    CAtlModule(const CAtlModule&) = delete;
    CAtlModule& operator=(const CAtlModule&) = delete;

    virtual ~CAtlModule();
    // A server lock: taken for every object a client holds, and by a client
    // that asks the class object to keep the server. Both return the new count.
    virtual LONG LockModule();
    virtual LONG UnlockModule();
    virtual LONG GetLockCount();
    // Adds the placeholders that every registry script of the module may
    // use (for a server: its "APPID").
    virtual HRESULT AddCommonRGSReplacements(IRegistrarBase* registrar) = 0;

    bool StartupFailed() const { return m_startupFailed; }
    REFGUID LibId() const { return m_libid; }

protected:
    // Makes this the process's module.
    CAtlModule();

    std::atomic<LONG> m_lockCount{0};
    GUID m_libid = GUID_NULL;
    // The module cannot serve: its entry returns -1 at once.
    bool m_startupFailed = false;
};

// A module of class T: T::LibId() names the library its classes are
// described in.
template <class T>
class CAtlModuleT : public CAtlModule {
protected:
    CAtlModuleT() { m_libid = T::LibId(); }
};

namespace platform {

// The process's module, or null when no module exists (a program that is
// not a server, or a test that runs objects without one).
CAtlModule* ProcessModule();

// A server lock on the process's module for as long as it lives; nothing
// without a module.
class ServerLock {
public:
    ServerLock() : m_module(ProcessModule()) {
        if (m_module) m_module->LockModule();
    }
    ~ServerLock() {
        if (m_module) m_module->UnlockModule();
    }
    ServerLock(const ServerLock&) = delete;
    ServerLock& operator=(const ServerLock&) = delete;

private:
    CAtlModule* m_module;
};

}  // namespace platform
