#include "server/trelvane_module.h"

#include <utility>

#include "contract/trelvane.h"
#include "server/class_table.h"

namespace trelvane {

CTrelvaneModule::CTrelvaneModule() {
#ifdef TRELVANE_TEST_SEAMS
    ApplyTestIntervals();
#endif
    server::SetRegistrationModule(this);
}

CTrelvaneModule::~CTrelvaneModule() { server::SetRegistrationModule(nullptr); }

HRESULT CTrelvaneModule::AddCommonRGSReplacements(IRegistrarBase* registrar) {
    return server::AddAppIdPlaceholder(registrar);
}

std::span<const ClassTableEntry> CTrelvaneModule::RegisteredClasses() { return ClassTable(); }

REFGUID CTrelvaneModule::LibId() { return contract::LIBID_Trelvane; }

std::span<ClassTableEntry> CTrelvaneModule::ClassTable() { return server::ClassTable(); }

HRESULT CTrelvaneModule::RegisterServerEntries() { return server::RegisterServerEntries(); }

HRESULT CTrelvaneModule::UnregisterServerEntries() { return server::UnregisterServerEntries(); }

bool CTrelvaneModule::PumpMessages() {
    if (!std::exchange(m_busFaceStarted, true))
        for (const ClassTableEntry& entry : ClassTable())
            if (*entry.clsid == contract::CLSID_CTarvik) m_busFace = server::StartBusFace(entry.classObject);
    return CAtlExeModuleT::PumpMessages();
}

HRESULT CTrelvaneModule::RevokeClassObjects() {
    m_busFace.reset();
    return CAtlExeModuleT::RevokeClassObjects();
}

}  // namespace trelvane
