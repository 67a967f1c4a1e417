#include "server/trelvane_module.h"

#include <new>

#include "contract/trelvane.h"
#include "driver/tarvik.h"
#include "server/registration.h"

namespace {

HRESULT CreateTarvikClassObject(IUnknown** classObject) {
    *classObject = new (std::nothrow) CComClassFactorySingleton<CTarvik>;
    return *classObject ? S_OK : E_OUTOFMEMORY;
}

// CTarvik needs nothing when the server starts or ends: no start/stop hook.
ClassTableEntry g_classTable[] = {
    {&contract::CLSID_CTarvik, &server::UpdateClassEntries, &CreateTarvikClassObject, nullptr, nullptr, 0},
};

}  // namespace

CTrelvaneModule::CTrelvaneModule() {
#ifdef TRELVANE_TEST_SEAMS
    ApplyTestIntervals();
#endif
}

REFGUID CTrelvaneModule::LibId() { return contract::LIBID_Trelvane; }

std::span<ClassTableEntry> CTrelvaneModule::ClassTable() { return g_classTable; }

HRESULT CTrelvaneModule::RegisterServerEntries() { return server::RegisterServerEntries(); }

HRESULT CTrelvaneModule::UnregisterServerEntries() { return server::UnregisterServerEntries(); }
