// Apartments and class objects: entering the object runtime on a thread,
// making a class available to other processes, and creating objects of a
// class that another process serves. Entering and leaving an apartment and
// CoCreateInstance, which clients use too, are declared in the header
// installed for them.
#pragma once

#include "platform/objects/com_base.h"
#include "trelvane/automation_activation.h"

// The results of remoting and activation.
constexpr HRESULT CO_E_OBJNOTREG = static_cast<HRESULT>(0x800401FB);
constexpr HRESULT CO_E_OBJISREG = static_cast<HRESULT>(0x800401FC);
constexpr HRESULT CO_E_SERVER_STOPPING = static_cast<HRESULT>(0x80080008);
constexpr HRESULT RPC_E_CALL_REJECTED = static_cast<HRESULT>(0x80010001);

// Contexts (a class's server kinds) and registration kinds.
constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
constexpr DWORD CLSCTX_INPROC_HANDLER = 0x2;
constexpr DWORD CLSCTX_REMOTE_SERVER = 0x10;
constexpr DWORD CLSCTX_SERVER = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
constexpr DWORD CLSCTX_ALL = CLSCTX_SERVER | CLSCTX_INPROC_HANDLER;
constexpr DWORD REGCLS_SINGLEUSE = 0;
constexpr DWORD REGCLS_MULTIPLEUSE = 1;
constexpr DWORD REGCLS_MULTI_SEPARATE = 2;
constexpr DWORD REGCLS_SUSPENDED = 4;

// Makes the class object pUnk available to other processes of this user as
// long as it is registered (CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE): one
// registration serves every activation. CO_E_OBJISREG when the class is
// registered already (by this or another process).
HRESULT CoRegisterClassObject(REFCLSID rclsid, LPUNKNOWN pUnk, DWORD dwClsContext, DWORD flags, LPDWORD lpdwRegister);
// Withdraws it; objects already handed out stay connected.
HRESULT CoRevokeClassObject(DWORD dwRegister);

// The class object of a class served by another process, through a proxy.
// REGDB_E_CLASSNOTREG when no server is running for it.
HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvReserved, REFIID riid, LPVOID* ppv);
