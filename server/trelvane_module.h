// CTrelvaneModule: the module of the trelvane server. Its class table holds
// one class, CTarvik, whose class object makes the one driver object at the
// first activation and hands every later activation that same object.
#pragma once

#include <span>

#include "platform/windows.h"

class CTrelvaneModule final : public CAtlExeModuleT<CTrelvaneModule> {
public:
    CTrelvaneModule();

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
