// The automation half of the driver object: IUnknown, the IDispatch of each
// of its four interfaces, the connection points with event raising, and
// class information. The members of ITarvik and ITarvikTest are left to the
// class that derives from it (the driver object, or a test double).
#pragma once

#include "contract/contract.h"
#include "driver/connection_points.h"
#include "driver/dispatch.h"

namespace trelvane::driver {

// IDispatch for one interface of the object, by the contract's rules. call
// runs a member on the object through the interface's own vtable.
template <class Interface, const contract::InterfaceContract& (*Contract)(),
          HRESULT (*Call)(Interface*, const platform::MemberDesc&, VARIANT*, VARIANT*)>
class DispatchPart : public Interface {
public:
    HRESULT GetTypeInfoCount(UINT* pctinfo) override { return ContractTypeInfoCount(pctinfo); }
    HRESULT GetTypeInfo(UINT iTInfo, LCID, ITypeInfo** ppTInfo) override {
        return ContractTypeInfo(Contract().desc.iid, iTInfo, ppTInfo);
    }
    HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID, DISPID* rgDispId) override {
        return GetIDsOfNamesFromTable(Contract(), riid, rgszNames, cNames, rgDispId);
    }
    HRESULT Invoke(DISPID dispIdMember, REFIID, LCID, WORD wFlags, DISPPARAMS* pDispParams, VARIANT* pVarResult,
                   EXCEPINFO* pExcepInfo, UINT* puArgErr) override {
        return InvokeByContract(Contract(), dispIdMember, wFlags, pDispParams, pVarResult, pExcepInfo, puArgErr,
                                [this](const platform::MemberDesc& m, VARIANT* args, VARIANT* result) {
                                    return Call(this, m, args, result);
                                });
    }
};

HRESULT CallITarvik(ITarvik* self, const platform::MemberDesc& member, VARIANT* args, VARIANT* result);
HRESULT CallITarvikTest(ITarvikTest* self, const platform::MemberDesc& member, VARIANT* args, VARIANT* result);
HRESULT CallITarvikEvents(_ITarvikEvents* self, const platform::MemberDesc& member, VARIANT* args, VARIANT* result);
HRESULT CallITarvikTestEvents(_ITarvikTestEvents* self, const platform::MemberDesc& member, VARIANT* args,
                              VARIANT* result);

class AutomationObject
    : public DispatchPart<ITarvik, contract::ITarvikContract, CallITarvik>,
      public DispatchPart<ITarvikTest, contract::ITarvikTestContract, CallITarvikTest>,
      public DispatchPart<_ITarvikEvents, contract::ITarvikEventsContract, CallITarvikEvents>,
      public DispatchPart<_ITarvikTestEvents, contract::ITarvikTestEventsContract, CallITarvikTestEvents>,
      public IConnectionPointContainer,
      public IProvideClassInfo2,
      protected platform::RefCounted {
public:
    AutomationObject();

    HRESULT QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG AddRef() override { return AddRefImpl(); }
    ULONG Release() override { return ReleaseImpl(); }

    HRESULT EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
    HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;
    HRESULT GetClassInfo(ITypeInfo** ppTI) override;
    HRESULT GetGUID(DWORD dwGuidKind, GUID* pGUID) override;

    // Raising the events to the connected sinks. Arguments stay the caller's.
    HRESULT Fire_StartNumberRequest(LONG StartNumber);
    HRESULT Fire_StartNumberFault(LONG ErrorCode, BSTR ErrorMessage);
    HRESULT Fire_SystemError(BSTR ErrorMessage);
    HRESULT Fire_StartPostStateChanged(VARIANT_BOOL state);
    HRESULT Fire_FinishPostStateChanged(VARIANT_BOOL state);
    HRESULT Fire_BatteryTestReady(BSTR DeviceSelector, FLOAT Voltage);
    HRESULT Fire_SP_PortOpened();
    HRESULT Fire_SP_PortClosed();
    HRESULT Fire_SP_Reset();
    HRESULT Fire_InputReceived(BSTR message);

protected:
    ~AutomationObject() override;

private:
    IUnknown* Identity() { return static_cast<ITarvik*>(this); }

    ConnectionPoint m_propertyNotifyPoint;
    ConnectionPoint m_eventsPoint;
    ConnectionPoint m_testEventsPoint;
};

}  // namespace trelvane::driver
