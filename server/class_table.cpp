#include "server/class_table.h"

#include <new>

#include "contract/trelvane.h"
#include "driver/tarvik.h"
#include "server/registration.h"

namespace trelvane::server {
namespace {

HRESULT CreateTarvikClassObject(IUnknown** classObject) {
    *classObject = new (std::nothrow) CComClassFactorySingleton<CTarvik>;
    return *classObject ? S_OK : E_OUTOFMEMORY;
}

// CTarvik needs nothing when the server starts or ends: no start/stop hook.
ClassTableEntry g_classTable[] = {
    {&contract::CLSID_CTarvik, &UpdateClassEntries, &CreateTarvikClassObject, nullptr, nullptr, 0},
};

}  // namespace

std::span<ClassTableEntry> ClassTable() { return g_classTable; }

}  // namespace trelvane::server
