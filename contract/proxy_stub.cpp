// How the contract's interfaces cross between processes, as generated
// proxy and stub code would: a proxy class per dual interface whose methods
// hand their typed arguments on, the stub tables in vtable order, the event
// dispinterfaces (sent one-way, as their members take only [in] arguments),
// and the type library from which the receiving side builds type information.
#include "contract/proxy_stub.h"

#include <type_traits>

namespace trelvane::contract {
namespace {

using platform::remoting::DualProxy;
using platform::remoting::InterfaceMarshaller;
using platform::remoting::MakeProxy;
using platform::remoting::TypedStubs;

constexpr UINT kFirst = platform::remoting::wire::method::kFirstDualMethod;

// Member pointers compared as template arguments: equality of pointers to
// virtual functions is not a constant expression, identity of arguments is.
template <auto>
struct Member {};

// One interface's methods in vtable order: its stub and their signatures.
template <auto... Methods>
struct MethodTable {
    // A method's slot: kFirst plus its place in the list.
    template <auto Method>
    static constexpr UINT Slot() {
        constexpr UINT place = [] {
            UINT counted = 0;
            (void)((std::is_same_v<Member<Method>, Member<Methods>> || (++counted, false)) || ...);
            return counted;
        }();
        static_assert(place < sizeof...(Methods), "not a method of this interface");
        return kFirst + place;
    }
    static constexpr auto kStub = &TypedStubs<kFirst, Methods...>;
    static constexpr std::uint16_t kSlots = kFirst + sizeof...(Methods);
    static std::vector<std::vector<platform::remoting::ParamShape>> Shapes() {
        return platform::remoting::ShapesOf<Methods...>();
    }
};

using ITarvikMethods =
    MethodTable<&ITarvik::Open, &ITarvik::Close, &ITarvik::ResetStartPost, &ITarvik::StartNumberOK,
                &ITarvik::get_PortNumber, &ITarvik::get_StartNumber, &ITarvik::get_InterCharacterTimeout,
                &ITarvik::put_InterCharacterTimeout, &ITarvik::get_StateDTR, &ITarvik::put_StateDTR,
                &ITarvik::get_StateStartPost, &ITarvik::get_StateFinishPost, &ITarvik::StartBatteryTest>;
using ITarvikTestMethods =
    MethodTable<&ITarvikTest::put_StartNumberTest, &ITarvikTest::get_ReadyToSend, &ITarvikTest::put_ReadyToSend,
                &ITarvikTest::get_Parity, &ITarvikTest::put_Parity, &ITarvikTest::get_BaudRate,
                &ITarvikTest::put_BaudRate, &ITarvikTest::get_DataBits, &ITarvikTest::put_DataBits,
                &ITarvikTest::get_StopBits, &ITarvikTest::put_StopBits, &ITarvikTest::get_ParityCheck,
                &ITarvikTest::put_ParityCheck, &ITarvikTest::WriteToPort, &ITarvikTest::get_StateDSR,
                &ITarvikTest::get_StateCTS>;

// A proxy whose methods call the slot their table gives them.
template <class I, class Table>
class TableProxy : public DualProxy<I> {
public:
    using DualProxy<I>::DualProxy;

protected:
    template <auto Method, class... A>
    HRESULT Call(A... args) {
        return this->CallTyped(Table::template Slot<Method>(), args...);
    }
};

class ITarvikProxy final : public TableProxy<ITarvik, ITarvikMethods> {
public:
    using TableProxy::TableProxy;
    HRESULT Open(LONG PortNumber, LONG* Status) override { return Call<&ITarvik::Open>(PortNumber, Status); }
    HRESULT Close() override { return Call<&ITarvik::Close>(); }
    HRESULT ResetStartPost() override { return Call<&ITarvik::ResetStartPost>(); }
    HRESULT StartNumberOK(LONG StartNumber) override { return Call<&ITarvik::StartNumberOK>(StartNumber); }
    HRESULT get_PortNumber(LONG* pVal) override { return Call<&ITarvik::get_PortNumber>(pVal); }
    HRESULT get_StartNumber(LONG* pVal) override { return Call<&ITarvik::get_StartNumber>(pVal); }
    HRESULT get_InterCharacterTimeout(LONG* pVal) override { return Call<&ITarvik::get_InterCharacterTimeout>(pVal); }
    HRESULT put_InterCharacterTimeout(LONG newVal) override {
        return Call<&ITarvik::put_InterCharacterTimeout>(newVal);
    }
    HRESULT get_StateDTR(VARIANT_BOOL* pVal) override { return Call<&ITarvik::get_StateDTR>(pVal); }
    HRESULT put_StateDTR(VARIANT_BOOL newVal) override { return Call<&ITarvik::put_StateDTR>(newVal); }
    HRESULT get_StateStartPost(VARIANT_BOOL* pVal) override { return Call<&ITarvik::get_StateStartPost>(pVal); }
    HRESULT get_StateFinishPost(VARIANT_BOOL* pVal) override { return Call<&ITarvik::get_StateFinishPost>(pVal); }
    HRESULT StartBatteryTest(BSTR DeviceSelector) override { return Call<&ITarvik::StartBatteryTest>(DeviceSelector); }
};

class ITarvikTestProxy final : public TableProxy<ITarvikTest, ITarvikTestMethods> {
public:
    using TableProxy::TableProxy;
    HRESULT put_StartNumberTest(LONG newVal) override { return Call<&ITarvikTest::put_StartNumberTest>(newVal); }
    HRESULT get_ReadyToSend(VARIANT_BOOL* pVal) override { return Call<&ITarvikTest::get_ReadyToSend>(pVal); }
    HRESULT put_ReadyToSend(VARIANT_BOOL newVal) override { return Call<&ITarvikTest::put_ReadyToSend>(newVal); }
    HRESULT get_Parity(BSTR* pVal) override { return Call<&ITarvikTest::get_Parity>(pVal); }
    HRESULT put_Parity(BSTR newVal) override { return Call<&ITarvikTest::put_Parity>(newVal); }
    HRESULT get_BaudRate(LONG* pVal) override { return Call<&ITarvikTest::get_BaudRate>(pVal); }
    HRESULT put_BaudRate(LONG newVal) override { return Call<&ITarvikTest::put_BaudRate>(newVal); }
    HRESULT get_DataBits(SHORT* pVal) override { return Call<&ITarvikTest::get_DataBits>(pVal); }
    HRESULT put_DataBits(SHORT newVal) override { return Call<&ITarvikTest::put_DataBits>(newVal); }
    HRESULT get_StopBits(FLOAT* pVal) override { return Call<&ITarvikTest::get_StopBits>(pVal); }
    HRESULT put_StopBits(FLOAT newVal) override { return Call<&ITarvikTest::put_StopBits>(newVal); }
    HRESULT get_ParityCheck(VARIANT_BOOL* pVal) override { return Call<&ITarvikTest::get_ParityCheck>(pVal); }
    HRESULT put_ParityCheck(VARIANT_BOOL newVal) override { return Call<&ITarvikTest::put_ParityCheck>(newVal); }
    HRESULT WriteToPort(BSTR strToWrite) override { return Call<&ITarvikTest::WriteToPort>(strToWrite); }
    HRESULT get_StateDSR(VARIANT_BOOL* pVal) override { return Call<&ITarvikTest::get_StateDSR>(pVal); }
    HRESULT get_StateCTS(VARIANT_BOOL* pVal) override { return Call<&ITarvikTest::get_StateCTS>(pVal); }
};

// A dispinterface of events: every member takes only [in] arguments, so
// nobody waits for its answer.
bool OnlyInArguments(const platform::InterfaceDesc& desc) {
    for (const auto& member : desc.members)
        for (const auto& param : member.params)
            if (param.flags & PARAMFLAG_FOUT) return false;
    return true;
}

InterfaceMarshaller EventsMarshaller(const platform::InterfaceDesc& desc) {
    return {
        desc.iid, true, OnlyInArguments(desc), kFirst, {IID_IDispatch}, &MakeProxy<platform::remoting::DispatchProxy>,
        nullptr};
}

void RegisterInterfaces() {
    using platform::remoting::RegisterInterface;
    RegisterInterface({IID_ITarvik,
                       true,
                       false,
                       ITarvikMethods::kSlots,
                       {IID_IDispatch},
                       &MakeProxy<ITarvikProxy>,
                       ITarvikMethods::kStub});
    RegisterInterface({IID_ITarvikTest,
                       true,
                       false,
                       ITarvikTestMethods::kSlots,
                       {IID_IDispatch},
                       &MakeProxy<ITarvikTestProxy>,
                       ITarvikTestMethods::kStub});
    RegisterInterface(EventsMarshaller(ITarvikEventsContract().desc));
    RegisterInterface(EventsMarshaller(ITarvikTestEventsContract().desc));
    platform::remoting::RegisterTypeLibrary(LIBID_Trelvane, &LoadTrelvaneTypeLib);
}

}  // namespace

bool RegisterProxyStubs() {
    // Runs while the program starts: the descriptions may not exist yet, so
    // the interfaces are registered when they are first looked up.
    static const bool added = (platform::remoting::AddInterfaceSource(&RegisterInterfaces), true);
    return added;
}

std::vector<std::vector<platform::remoting::ParamShape>> MarshalledShapes(REFIID iid) {
    if (iid == IID_ITarvik) return ITarvikMethods::Shapes();
    if (iid == IID_ITarvikTest) return ITarvikTestMethods::Shapes();
    return {};
}

}  // namespace trelvane::contract
