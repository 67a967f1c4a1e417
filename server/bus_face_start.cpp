// The server serves the driver object on the session bus as well.
#include "server/bus_face_start.h"

#include "server/dbus_face.h"
#include "server/trelvane_module.h"

namespace trelvane::server {

void BusFaceEnd::operator()(BusFace* face) const { delete face; }

RunningBusFace StartBusFace(IUnknown* classObject) {
    return RunningBusFace(BusFace::Start(classObject, CTrelvaneModule::BusLibraryFile()).release());
}

}  // namespace trelvane::server

namespace trelvane {

#ifndef TRELVANE_TEST_SEAMS
const char* CTrelvaneModule::BusLibraryFile() { return platform::dbus::kBusLibraryFile; }
#endif

}  // namespace trelvane
