// Per-thread entry into the object runtime. The runtime's apartments grow
// with the automation server; for now a thread only records that it entered.
#pragma once

#include "platform/base/types.h"

// S_OK for the first entry of a thread, S_FALSE for each further one.
HRESULT CoInitialize(LPVOID pvReserved);
void CoUninitialize();

namespace platform {
// How often the calling thread has entered and not yet left.
int ApartmentDepth();
}
