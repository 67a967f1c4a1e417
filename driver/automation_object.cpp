#include "driver/automation_object.h"
#include <type_traits>

namespace trelvane::driver {
namespace {

using platform::MemberDesc;
using platform::MemberKind;

using platform::VariantBool;
using platform::VariantBstr;
using platform::VariantI4;
using platform::VariantR4;

// Puts a getter's value into result with the declared type. The value is
// taken by reference: it is read only after the getter (an argument) ran.
template <class T>
HRESULT Get(HRESULT hr, VARTYPE vt, const T& value, VARIANT* result) {
    if (FAILED(hr)) return hr;
    result->vt = vt;
    if constexpr (std::is_same_v<T, LONG>) result->lVal = value;
    if constexpr (std::is_same_v<T, SHORT>) result->iVal = value;
    if constexpr (std::is_same_v<T, VARIANT_BOOL>) result->boolVal = value;
    if constexpr (std::is_same_v<T, FLOAT>) result->fltVal = value;
    if constexpr (std::is_same_v<T, BSTR>) result->bstrVal = value;
    return hr;
}

}  // namespace

HRESULT CallITarvik(ITarvik* self, const MemberDesc& m, VARIANT* args, VARIANT* result) {
    const bool get = m.kind == MemberKind::PropertyGet;
    LONG l = 0;
    VARIANT_BOOL b = VARIANT_FALSE;
    switch (m.dispid) {
    case 1: return self->Open(args[0].lVal, args[1].plVal);
    case 2: return self->Close();
    case 3: return self->ResetStartPost();
    case 4: return self->StartNumberOK(args[0].lVal);
    case 5: return Get(self->get_PortNumber(&l), VT_I4, l, result);
    case 6: return Get(self->get_StartNumber(&l), VT_I4, l, result);
    case 9:
        return get ? Get(self->get_InterCharacterTimeout(&l), VT_I4, l, result)
                   : self->put_InterCharacterTimeout(args[0].lVal);
    case 10: return get ? Get(self->get_StateDTR(&b), VT_BOOL, b, result) : self->put_StateDTR(args[0].boolVal);
    case 11: return Get(self->get_StateStartPost(&b), VT_BOOL, b, result);
    case 12: return Get(self->get_StateFinishPost(&b), VT_BOOL, b, result);
    case 13: return self->StartBatteryTest(args[0].bstrVal);
    default: return DISP_E_MEMBERNOTFOUND;
    }
}

HRESULT CallITarvikTest(ITarvikTest* self, const MemberDesc& m, VARIANT* args, VARIANT* result) {
    const bool get = m.kind == MemberKind::PropertyGet;
    LONG l = 0;
    SHORT s = 0;
    FLOAT f = 0;
    BSTR text = nullptr;
    VARIANT_BOOL b = VARIANT_FALSE;
    switch (m.dispid) {
    case 1: return self->put_StartNumberTest(args[0].lVal);
    case 2: return get ? Get(self->get_ReadyToSend(&b), VT_BOOL, b, result) : self->put_ReadyToSend(args[0].boolVal);
    case 3: return get ? Get(self->get_Parity(&text), VT_BSTR, text, result) : self->put_Parity(args[0].bstrVal);
    case 4: return get ? Get(self->get_BaudRate(&l), VT_I4, l, result) : self->put_BaudRate(args[0].lVal);
    case 5: return get ? Get(self->get_DataBits(&s), VT_I2, s, result) : self->put_DataBits(args[0].iVal);
    case 6: return get ? Get(self->get_StopBits(&f), VT_R4, f, result) : self->put_StopBits(args[0].fltVal);
    case 7: return get ? Get(self->get_ParityCheck(&b), VT_BOOL, b, result) : self->put_ParityCheck(args[0].boolVal);
    case 8: return self->WriteToPort(args[0].bstrVal);
    case 9: return Get(self->get_StateDSR(&b), VT_BOOL, b, result);
    case 10: return Get(self->get_StateCTS(&b), VT_BOOL, b, result);
    default: return DISP_E_MEMBERNOTFOUND;
    }
}

HRESULT CallITarvikEvents(_ITarvikEvents* self, const MemberDesc& m, VARIANT* args, VARIANT*) {
    auto* object = static_cast<AutomationObject*>(self);
    switch (m.dispid) {
    case 1: return object->Fire_StartNumberRequest(args[0].lVal);
    case 2: return object->Fire_StartNumberFault(args[0].lVal, args[1].bstrVal);
    case 4: return object->Fire_SystemError(args[0].bstrVal);
    case 5: return object->Fire_StartPostStateChanged(args[0].boolVal);
    case 6: return object->Fire_FinishPostStateChanged(args[0].boolVal);
    case 7: return object->Fire_BatteryTestReady(args[0].bstrVal, args[1].fltVal);
    default: return DISP_E_MEMBERNOTFOUND;
    }
}

HRESULT CallITarvikTestEvents(_ITarvikTestEvents* self, const MemberDesc& m, VARIANT* args, VARIANT*) {
    auto* object = static_cast<AutomationObject*>(self);
    switch (m.dispid) {
    case 1: return object->Fire_SP_PortOpened();
    case 2: return object->Fire_SP_PortClosed();
    case 3: return object->Fire_SP_Reset();
    case 4: return object->Fire_InputReceived(args[0].bstrVal);
    default: return DISP_E_MEMBERNOTFOUND;
    }
}

AutomationObject::AutomationObject()
    : m_propertyNotifyPoint(Identity(), this, IID_IPropertyNotifySink),
      m_eventsPoint(Identity(), this, contract::DIID__ITarvikEvents),
      m_testEventsPoint(Identity(), this, contract::DIID__ITarvikTestEvents) {}

AutomationObject::~AutomationObject() {
    m_propertyNotifyPoint.DisconnectAll();
    m_eventsPoint.DisconnectAll();
    m_testEventsPoint.DisconnectAll();
}

HRESULT AutomationObject::QueryInterface(REFIID riid, void** ppvObject) {
    if (ppvObject == nullptr) return E_POINTER;
    void* p = nullptr;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == contract::IID_ITarvik)
        p = static_cast<ITarvik*>(this);
    else if (riid == contract::IID_ITarvikTest)
        p = static_cast<ITarvikTest*>(this);
    else if (riid == contract::DIID__ITarvikEvents)
        p = static_cast<_ITarvikEvents*>(this);
    else if (riid == contract::DIID__ITarvikTestEvents)
        p = static_cast<_ITarvikTestEvents*>(this);
    else if (riid == IID_IConnectionPointContainer)
        p = static_cast<IConnectionPointContainer*>(this);
    else if (riid == IID_IProvideClassInfo2 || riid == IID_IProvideClassInfo)
        p = static_cast<IProvideClassInfo2*>(this);
    *ppvObject = p;
    if (p == nullptr) return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

HRESULT AutomationObject::EnumConnectionPoints(IEnumConnectionPoints** ppEnum) {
    ConnectionPoint* const points[] = {&m_propertyNotifyPoint, &m_eventsPoint, &m_testEventsPoint};
    return EnumConnectionPointsOf(points, 3, ppEnum);
}

HRESULT AutomationObject::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) {
    ConnectionPoint* const points[] = {&m_propertyNotifyPoint, &m_eventsPoint, &m_testEventsPoint};
    return FindConnectionPointIn(points, 3, riid, ppCP);
}

HRESULT AutomationObject::GetClassInfo(ITypeInfo** ppTI) {
    if (ppTI == nullptr) return E_POINTER;
    *ppTI = nullptr;
    // Through the type library's registration, so this needs the server registered.
    platform::ComPtr<ITypeLib> library;
    if (HRESULT hr = LoadRegTypeLib(contract::LIBID_Trelvane, 1, 0, LOCALE_NEUTRAL, library.Out()); FAILED(hr))
        return hr;
    return library->GetTypeInfoOfGuid(contract::CLSID_CTarvik, ppTI);
}

HRESULT AutomationObject::GetGUID(DWORD dwGuidKind, GUID* pGUID) {
    if (pGUID == nullptr) return E_POINTER;
    if (dwGuidKind == GUIDKIND_DEFAULT_SOURCE_DISP_IID) {
        *pGUID = contract::DIID__ITarvikEvents;
        return S_OK;
    }
    *pGUID = GUID_NULL;
    return E_FAIL;
}

HRESULT AutomationObject::Fire_StartNumberRequest(LONG StartNumber) {
    const VARIANT args[] = {VariantI4(StartNumber)};
    return m_eventsPoint.Raise(1, args, 1);
}
HRESULT AutomationObject::Fire_StartNumberFault(LONG ErrorCode, BSTR ErrorMessage) {
    const VARIANT args[] = {VariantI4(ErrorCode), VariantBstr(ErrorMessage)};
    return m_eventsPoint.Raise(2, args, 2);
}
HRESULT AutomationObject::Fire_SystemError(BSTR ErrorMessage) {
    const VARIANT args[] = {VariantBstr(ErrorMessage)};
    return m_eventsPoint.Raise(4, args, 1);
}
HRESULT AutomationObject::Fire_StartPostStateChanged(VARIANT_BOOL state) {
    const VARIANT args[] = {VariantBool(state)};
    return m_eventsPoint.Raise(5, args, 1);
}
HRESULT AutomationObject::Fire_FinishPostStateChanged(VARIANT_BOOL state) {
    const VARIANT args[] = {VariantBool(state)};
    return m_eventsPoint.Raise(6, args, 1);
}
HRESULT AutomationObject::Fire_BatteryTestReady(BSTR DeviceSelector, FLOAT Voltage) {
    const VARIANT args[] = {VariantBstr(DeviceSelector), VariantR4(Voltage)};
    return m_eventsPoint.Raise(7, args, 2);
}
HRESULT AutomationObject::Fire_SP_PortOpened() { return m_testEventsPoint.Raise(1, nullptr, 0); }
HRESULT AutomationObject::Fire_SP_PortClosed() { return m_testEventsPoint.Raise(2, nullptr, 0); }
HRESULT AutomationObject::Fire_SP_Reset() { return m_testEventsPoint.Raise(3, nullptr, 0); }
HRESULT AutomationObject::Fire_InputReceived(BSTR message) {
    const VARIANT args[] = {VariantBstr(message)};
    return m_testEventsPoint.Raise(4, args, 1);
}

}  // namespace trelvane::driver
