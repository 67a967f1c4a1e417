// CTrelvaneModule: the module of the trelvane server. It serves the classes
// of the server's class table (CTarvik alone) and is what registration asks
// for the common placeholders and the classes to register.
#pragma once

#include <span>

#include "platform/windows.h"
#include "server/registration.h"

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
};
