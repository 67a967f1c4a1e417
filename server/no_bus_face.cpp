// A server with no D-Bus face: the build for Windows, which has no session
// bus.
#include "server/bus_face_start.h"

namespace trelvane::server {

void BusFaceEnd::operator()(BusFace*) const {}

RunningBusFace StartBusFace(IUnknown*) { return nullptr; }

}  // namespace trelvane::server
