// The automation contract of Trelvane as this tree's code sees it: the
// identities and interfaces that clients see too (trelvane/interfaces.h)
// over the platform's types, and the registration of their proxies.
//
// The interfaces and their identities are at global scope, where a client on
// Windows finds them in the header generated from the type library; what else
// the contract holds is in trelvane::contract, which names the identities too.
#pragma once

#include "platform/windows.h"

#include "trelvane/interfaces.h"

namespace trelvane::contract {

using ::APPID_Trelvane;
using ::CLSID_CTarvik;
using ::DIID__ITarvikEvents;
using ::DIID__ITarvikTestEvents;
using ::IID_ITarvik;
using ::IID_ITarvikTest;
using ::LIBID_Trelvane;
using trelvane::OpenStatus;

// Registers how the contract's interfaces cross between processes (their
// proxies and stubs, and the type library). It runs as every program that
// includes this header starts, as an installed proxy would be found.
bool RegisterProxyStubs();
inline const bool g_proxyStubsRegistered = RegisterProxyStubs();

}  // namespace trelvane::contract
