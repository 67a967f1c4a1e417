// The server's D-Bus face as the module starts and ends it, with the face's
// own types kept out of the module: which of the two files defining these
// is built decides whether the server has a D-Bus face at all.
#pragma once

#include <memory>

#include "platform/windows.h"

namespace trelvane::server {

class BusFace;

struct BusFaceEnd {
    void operator()(BusFace* face) const;
};
using RunningBusFace = std::unique_ptr<BusFace, BusFaceEnd>;

// The D-Bus face of the object that classObject (an IClassFactory) makes,
// or null where the server has none.
RunningBusFace StartBusFace(IUnknown* classObject);

}  // namespace trelvane::server
