// On Windows the interfaces cross between processes through the system's
// type-library marshaler, which finds them by the registered type library
// ("RegServer" registers it): nothing is registered as a program starts.
#include "contract/trelvane.h"

namespace trelvane::contract {

bool RegisterProxyStubs() { return true; }

}  // namespace trelvane::contract
