// A client program registers the driver's proxies as it starts. The client
// library's link flags name this symbol (pkg-config's Libs, the CMake
// package's link options), so that the linker takes this object from the
// archive although the program refers to nothing in it.
#include "contract/trelvane.h"

extern "C" const bool trelvane_client_interfaces = trelvane::contract::RegisterProxyStubs();
