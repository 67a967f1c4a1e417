// CTrelvaneModule: the module of the trelvane server. It serves the classes
// of the server's class table (CTarvik alone) and is what registration asks
// for the common placeholders and the classes to register.
#pragma once

#include <span>

#include "platform/windows.h"
#include "server/bus_face_start.h"
#include "server/registration.h"

namespace trelvane {

class CTrelvaneModule final : public CAtlExeModuleT<CTrelvaneModule>, public server::IRegistrationModule {
public:
    CTrelvaneModule();
    ~CTrelvaneModule() override;

    // "APPID": the AppID in registry form. One operation for both bases.
    HRESULT AddCommonRGSReplacements(IRegistrarBase* registrar) override;
    std::span<const ClassTableEntry> RegisteredClasses() override;

    static REFGUID LibId();
    static std::span<ClassTableEntry> ClassTable();
    static HRESULT RegisterServerEntries();
    static HRESULT UnregisterServerEntries();

    // The D-Bus face serves while the message loop runs: it joins the bus
    // once the class objects are registered, and leaves it before they are
    // withdrawn, so that no bus call arrives at a server that is ending.
    bool PumpMessages();
    HRESULT RevokeClassObjects();
    // The file the bus library is loaded from (in the test build, one that
    // is not there when a test asks). Only a server with a D-Bus face has it.
    static const char* BusLibraryFile();

#ifdef TRELVANE_TEST_SEAMS
    // The test build (trelvane-test-server, test_seams.cpp): failures that
    // the platform never produces by itself, and other intervals, as the
    // TRELVANE_TEST_ variables of the environment ask.
    static HRESULT EnterApartment();
    HRESULT RegisterClassObjects(DWORD context, DWORD flags);
    HRESULT StartShutdownMonitor();

private:
    void ApplyTestIntervals();
#endif

private:
    server::RunningBusFace m_busFace;
    bool m_busFaceStarted = false;
};

}  // namespace trelvane
