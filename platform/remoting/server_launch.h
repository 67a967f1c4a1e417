// Activation on demand: starting the server registered for a class when
// none listens, and connecting to it (docs/activation.md).
#pragma once

#include "platform/objects/com_base.h"

namespace platform::remoting {

// The longest bound TRELVANE_ACTIVATION_TIMEOUT_MS may set: 10 minutes.
constexpr DWORD kLongestActivationBoundMs = 600000;

// How long an activation waits for a server to register its class object,
// and for another client's start of one: TRELVANE_ACTIVATION_TIMEOUT_MS
// (milliseconds), else 30 s. A value that is not a whole number from 1 to
// kLongestActivationBoundMs gives E_INVALIDARG and a line on standard error.
HRESULT ActivationBound(DWORD* ms);

// Connects to the server of clsid, starting the one registered for it
// (CLSID\{clsid}\LocalServer32, with " -Embedding" appended) when none
// listens. Clients that activate at once, in any thread or process, start
// at most one server. A connected socket, or -1 with *hr: E_INVALIDARG for a
// bad TRELVANE_ACTIVATION_TIMEOUT_MS, REGDB_E_CLASSNOTREG
// when the class has no server registered, the platform's error when its
// program cannot be started, CO_E_SERVER_EXEC_FAILURE when it ends or does
// not register in time.
int LaunchLocalServer(REFCLSID clsid, HRESULT* hr);

}  // namespace platform::remoting
