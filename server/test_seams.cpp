// The seams of the test build of the server (trelvane-test-server), read
// from the environment:
//   TRELVANE_TEST_FAULT=apartment     the apartment cannot be entered
//   TRELVANE_TEST_FAULT=monitor       the shutdown monitor cannot start
//   TRELVANE_TEST_FAULT=registration  registering the class objects gives
//                                     a success code other than S_OK
//   TRELVANE_TEST_FAULT=bus-library   the bus library cannot be loaded
//   TRELVANE_TEST_SHUTDOWN_MS, TRELVANE_TEST_PAUSE_MS
//                                     the idle time before quitting and the
//                                     pause after revoking, in milliseconds
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "platform/dbus/bus_library.h"
#include "server/trelvane_module.h"

namespace trelvane {
namespace {

bool Fault(std::string_view which) {
    const char* fault = std::getenv("TRELVANE_TEST_FAULT");
    return fault != nullptr && which == fault;
}

void ReadInterval(const char* name, DWORD* interval) {
    if (const char* value = std::getenv(name)) *interval = static_cast<DWORD>(std::strtoul(value, nullptr, 10));
}

}  // namespace

void CTrelvaneModule::ApplyTestIntervals() {
    ReadInterval("TRELVANE_TEST_SHUTDOWN_MS", &m_shutdownTimeout);
    ReadInterval("TRELVANE_TEST_PAUSE_MS", &m_pauseAfterRevoke);
}

HRESULT CTrelvaneModule::EnterApartment() {
    return Fault("apartment") ? E_OUTOFMEMORY : CAtlExeModuleT::EnterApartment();
}

HRESULT CTrelvaneModule::RegisterClassObjects(DWORD context, DWORD flags) {
    const HRESULT hr = CAtlExeModuleT::RegisterClassObjects(context, flags);
    return hr == S_OK && Fault("registration") ? S_FALSE : hr;
}

const char* CTrelvaneModule::BusLibraryFile() {
    return Fault("bus-library") ? "libtrelvane-no-such-bus-library.so.0" : platform::dbus::kBusLibraryFile;
}

HRESULT CTrelvaneModule::StartShutdownMonitor() {
    if (!Fault("monitor")) return CAtlExeModuleT::StartShutdownMonitor();
    platform::log::Error(platform::log::Channel::server, "cannot start the shutdown monitor (injected)");
    return E_FAIL;
}

}  // namespace trelvane
