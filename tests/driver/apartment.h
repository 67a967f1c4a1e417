// The apartment of the test's thread, where its sinks live. On Windows a
// multithreaded one: the listener's events then reach the sinks while the
// test waits for the device without a message loop (in a single-threaded
// apartment they would wait for its messages). The stand-in's events reach
// a sink from any thread, and it has the one kind of apartment.
#pragma once

#include "platform/windows.h"

namespace trelvane::testing {

HRESULT EnterTestApartment();

}  // namespace trelvane::testing
