// The stub of IDispatch's four methods, for every dispatch-based interface.
#pragma once

#include "platform/remoting/marshallers.h"

namespace platform::remoting {

// Runs GetTypeInfoCount, GetTypeInfo, GetIDsOfNames or Invoke (slots 3 to
// 6); malformed arguments leave call.in failed.
void RunDispatchMethod(IDispatch* object, std::uint16_t slot, StubCall& call);

}  // namespace platform::remoting
