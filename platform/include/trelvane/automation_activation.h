// Activation: a thread enters its apartment with CoInitialize before it
// creates an object that another process serves, and leaves it with
// CoUninitialize.
#pragma once

#include "automation_objects.h"

constexpr HRESULT RPC_E_TIMEOUT = static_cast<HRESULT>(0x8001011F);

constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;

// Enters a single-threaded apartment: S_OK for the thread's first entry,
// S_FALSE for each further one. Calls and events for the objects this
// thread hands to other processes, and the replies to its own calls, arrive
// while it waits in GetMessageW, MsgWaitForMultipleObjectsEx or a call of
// its own; DispatchMessageW runs them one at a time.
HRESULT CoInitialize(LPVOID pvReserved);
// Leaves it; the last leave closes the thread's connections (its proxies
// answer RPC_E_DISCONNECTED from then on) and withdraws its class objects.
void CoUninitialize();

HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv);
