// The platform's interfaces that cross: IUnknown and IDispatch (their
// methods are the connection's and dispatch_marshalling.cpp's),
// IClassFactory, IProvideClassInfo and IProvideClassInfo2,
// ISupportErrorInfo and IPropertyNotifySink. The connection-point
// interfaces are in connection_point_marshalling.cpp.
#include "platform/remoting/connection.h"
#include "platform/remoting/proxy_stub.h"
#include "platform/remoting/variants.h"

namespace platform::remoting {

void RegisterConnectionPointInterfaces();

namespace {

using namespace wire::method;

class ClassFactoryProxy final : public ProxyOf<IClassFactory> {
public:
    using ProxyOf::ProxyOf;
    HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) override {
        if (ppvObject == nullptr) return E_POINTER;
        *ppvObject = nullptr;
        if (pUnkOuter != nullptr) return CLASS_E_NOAGGREGATION;  // an outer object cannot cross
        if (FindInterface(riid) == nullptr) return E_NOINTERFACE;
        return CallForObject(
            kCreateInstance, riid, [&](Writer& w) { w.Guid(riid); }, ppvObject);
    }
    HRESULT LockServer(BOOL fLock) override { return CallTyped(kLockServer, static_cast<LONG>(fLock)); }
};

bool ClassFactoryStub(void* object, std::uint16_t slot, StubCall& call) {
    auto* factory = static_cast<IClassFactory*>(object);
    if (slot == kCreateInstance) {
        const GUID iid = call.in.Guid();
        if (!call.in.AtEnd()) return false;
        IUnknown* instance = nullptr;
        call.hr = FindInterface(iid) ? factory->CreateInstance(nullptr, iid, reinterpret_cast<void**>(&instance))
                                     : E_NOINTERFACE;
        call.connection.PutObject(call.out, SUCCEEDED(call.hr) ? instance : nullptr, iid);
        if (instance) instance->Release();
        return true;
    }
    if (slot == kLockServer) {
        const BOOL lock = call.in.I32();
        if (!call.in.AtEnd()) return false;
        if (lock) {
            call.hr = factory->LockServer(TRUE);
            if (SUCCEEDED(call.hr)) call.connection.NoteServerLock(factory, true);
        } else {
            // A peer gives back only the locks it took: an unlock beyond them
            // would take another client's lock away and end the server under it.
            call.hr = call.connection.NoteServerLock(factory, false) ? factory->LockServer(FALSE) : S_OK;
        }
        return true;
    }
    return false;
}

class ClassInfoProxy final : public ProxyOf<IProvideClassInfo2> {
public:
    using ProxyOf::ProxyOf;
    HRESULT GetClassInfo(ITypeInfo** ppTI) override {
        if (ppTI == nullptr) return E_POINTER;
        *ppTI = nullptr;
        HRESULT built = S_OK;
        const HRESULT hr = Call(
            kGetClassInfo, [](Writer&) {}, [&](Reader& r) { built = GetTypeInfoRef(r, ppTI); });
        if (FAILED(hr) && *ppTI) {
            (*ppTI)->Release();
            *ppTI = nullptr;
        }
        return FAILED(hr) ? hr : built;
    }
    HRESULT GetGUID(DWORD dwGuidKind, GUID* pGUID) override {
        if (pGUID == nullptr) return E_POINTER;
        return Call(
            kGetGUID, [&](Writer& w) { w.U32(dwGuidKind); }, [&](Reader& r) { *pGUID = r.Guid(); });
    }
};

bool ClassInfoStub(void* object, std::uint16_t slot, StubCall& call) {
    auto* info = static_cast<IProvideClassInfo2*>(object);
    if (slot == kGetClassInfo) {
        if (!call.in.AtEnd()) return false;
        ITypeInfo* type = nullptr;
        call.hr = info->GetClassInfo(&type);
        PutTypeInfo(call.out, SUCCEEDED(call.hr) ? type : nullptr);
        if (type) type->Release();
        return true;
    }
    if (slot == kGetGUID) {
        const DWORD kind = call.in.U32();
        if (!call.in.AtEnd()) return false;
        GUID guid = GUID_NULL;
        call.hr = info->GetGUID(kind, &guid);
        call.out.Guid(guid);
        return true;
    }
    return false;
}

class SupportErrorInfoProxy final : public ProxyOf<ISupportErrorInfo> {
public:
    using ProxyOf::ProxyOf;
    HRESULT InterfaceSupportsErrorInfo(REFIID riid) override {
        return Call(
            kInterfaceSupportsErrorInfo, [&](Writer& w) { w.Guid(riid); }, [](Reader&) {});
    }
};

bool SupportErrorInfoStub(void* object, std::uint16_t slot, StubCall& call) {
    const GUID iid = call.in.Guid();
    if (slot != kInterfaceSupportsErrorInfo || !call.in.AtEnd()) return false;
    call.hr = static_cast<ISupportErrorInfo*>(object)->InterfaceSupportsErrorInfo(iid);
    return true;
}

class PropertyNotifySinkProxy final : public ProxyOf<IPropertyNotifySink> {
public:
    using ProxyOf::ProxyOf;
    HRESULT OnChanged(DISPID dispID) override { return CallTyped(kOnChanged, dispID); }
    HRESULT OnRequestEdit(DISPID dispID) override { return CallTyped(kOnRequestEdit, dispID); }
};

}  // namespace

void RegisterStandardInterfaces() {
    RegisterInterface({IID_IUnknown, false, false, 3, {}, nullptr, nullptr});
    RegisterInterface({IID_IDispatch, true, false, 7, {}, &MakeProxy<DispatchProxy>, nullptr});
    RegisterInterface({IID_IClassFactory, false, false, 5, {}, &MakeProxy<ClassFactoryProxy>, &ClassFactoryStub});
    RegisterInterface(
        {IID_IProvideClassInfo2, false, false, 5, {IID_IProvideClassInfo}, &MakeProxy<ClassInfoProxy>, &ClassInfoStub});
    RegisterInterface({IID_IProvideClassInfo, false, false, 4, {}, &MakeProxy<ClassInfoProxy>, &ClassInfoStub});
    RegisterInterface(
        {IID_ISupportErrorInfo, false, false, 4, {}, &MakeProxy<SupportErrorInfoProxy>, &SupportErrorInfoStub});
    RegisterInterface({IID_IPropertyNotifySink,
                       false,
                       false,
                       5,
                       {},
                       &MakeProxy<PropertyNotifySinkProxy>,
                       &TypedStubs<kOnChanged, &IPropertyNotifySink::OnChanged, &IPropertyNotifySink::OnRequestEdit>});
    RegisterConnectionPointInterfaces();
}

}  // namespace platform::remoting
