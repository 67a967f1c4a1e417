// The proxies and stubs of the contract's dual interfaces, as the stand-in's
// remoting sends their calls.
#pragma once

#include <vector>

#include "contract/contract.h"

namespace trelvane::contract {

// The wire shapes of a dual interface's methods as its proxy and stub send
// them, in vtable order (empty for other interfaces): to be held against
// the description.
std::vector<std::vector<platform::remoting::ParamShape>> MarshalledShapes(REFIID iid);

}  // namespace trelvane::contract
