#include "platform/objects/apartment.h"

namespace {
thread_local int t_depth = 0;
}

HRESULT CoInitialize(LPVOID pvReserved) {
    if (pvReserved != nullptr) return E_INVALIDARG;
    return t_depth++ == 0 ? S_OK : S_FALSE;
}

void CoUninitialize() {
    if (t_depth > 0) --t_depth;
}

namespace platform {
int ApartmentDepth() { return t_depth; }
}  // namespace platform
