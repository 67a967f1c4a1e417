// How a server started by activation tells the client that started it that
// its class object is registered, so that the client need not watch the run
// folder: the client passes one end of a socket pair as the server's
// descriptor 3 and names it in the server's environment; the server writes
// a byte there once its class's socket listens, and closes it.
#pragma once

#include <string>

namespace platform::remoting {

// The descriptor number the server gets its end as.
constexpr int kReadyFd = 3;

// The environment entry ("NAME=value") that names serverEnd, once it is the
// server's descriptor kReadyFd; empty when serverEnd cannot be examined.
std::string ReadySocketEntry(int serverEnd);

// In the server: tells the client that started it, if any, that a class
// object listens. Only the first call writes; later ones do nothing.
void SignalActivationReady();

}  // namespace platform::remoting
