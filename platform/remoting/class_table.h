// The class objects this process has registered for other processes.
#pragma once

#include "platform/objects/com_base.h"

namespace platform::remoting {

// The class object of clsid registered by thread, asked for iid; a new
// reference in *out. CO_E_SERVER_STOPPING when it is not (or no longer) registered.
HRESULT QueryRegisteredClassObject(REFCLSID clsid, DWORD thread, REFIID iid, IUnknown** out);
// Withdraws every class object that thread registered.
void RevokeClassObjectsOf(DWORD thread);

// Whether this process's class table runs CreateInstance and says so in its
// greeting (as every server does). Tests turn it off to stand for a server of
// the first release, which closes a connection that asks it.
bool ClassTableCreatesInstances();
void SetClassTableCreatesInstances(bool on);

}  // namespace platform::remoting
