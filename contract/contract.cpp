#include "contract/contract.h"

#include <mutex>

namespace trelvane::contract {
namespace {

using platform::InterfaceDesc;
using platform::InterfaceKind;
using platform::MemberDesc;
using platform::MemberKind;
using platform::ParamDesc;

constexpr USHORT kIn = PARAMFLAG_FIN;
constexpr USHORT kOut = PARAMFLAG_FOUT;
constexpr USHORT kRetval = PARAMFLAG_FOUT | PARAMFLAG_FRETVAL;

MemberDesc Method(LPCOLESTR name, DISPID id, std::vector<ParamDesc> params, LPCOLESTR help) {
    return {name, MemberKind::Method, id, std::move(params), help};
}
MemberDesc Get(LPCOLESTR name, DISPID id, VARTYPE type, LPCOLESTR help) {
    return {name, MemberKind::PropertyGet, id, {{u"pVal", static_cast<VARTYPE>(VT_BYREF | type), kRetval}}, help};
}
MemberDesc Put(LPCOLESTR name, DISPID id, VARTYPE type, LPCOLESTR help) {
    return {name, MemberKind::PropertyPut, id, {{nullptr, type, kIn}}, help};
}

// The contract's tables, laid out as tables.
// clang-format off
const InterfaceDesc kITarvik{
    u"ITarvik",
    IID_ITarvik,
    InterfaceKind::Dual,
    u"ITarvik Interface",
    {
        Method(u"Open", 1, {{u"PortNumber", VT_I4, kIn}, {u"Status", VT_BYREF | VT_I4, kOut}},
               u"Open 'startpost' device, status: 0: success. On error event SystemError will be raised, status "
               u"contains indication about error. 1: opening, 2 port setting, 3: event mask, 4: COM state, 5: Set "
               u"RTS."),
        Method(u"Close", 2, {}, u"Close 'startpost' device"),
        Method(u"ResetStartPost", 3, {}, u"Reset 'startpost' device"),
        Method(u"StartNumberOK", 4, {{u"StartNumber", VT_I4, kIn}},
               u"Confirm start number received by StartNumberRequest(), if the supplied number matches the number "
               u"received from the device an acknowledge will be sent to the device, otherwise S_FALSE will be "
               u"returned."),
        Get(u"PortNumber", 5, VT_I4,
            u"Returns the com port number to which the 'startpost' device has been connected, -1 if not connected."),
        Get(u"StartNumber", 6, VT_I4,
            u"Returns the number last received from the 'startpost' device, -1 if non received."),
        Get(u"InterCharacterTimeout", 9, VT_I4,
            u"Use this to get/set the maximum allowed time, in millisecond, between receiving bytes from the "
            u"'startpost' device. Default value is 1500 ms."),
        Put(u"InterCharacterTimeout", 9, VT_I4,
            u"Use this to get/set the maximum allowed time, in millisecond, between receiving bytes from the "
            u"'startpost' device. Default value is 1500 ms."),
        Get(u"StateDTR", 10, VT_BOOL, u"property StateDTR"),
        Put(u"StateDTR", 10, VT_BOOL, u"property StateDTR"),
        Get(u"StateStartPost", 11, VT_BOOL, u"property StateStartPost get the DSR state"),
        Get(u"StateFinishPost", 12, VT_BOOL, u"property StateFinishPost get CTS state"),
        Method(u"StartBatteryTest", 13, {{u"DeviceSelector", VT_BSTR, kIn}}, u"method StartBatteryTest"),
    }};

const InterfaceDesc kITarvikTest{
    u"ITarvikTest",
    IID_ITarvikTest,
    InterfaceKind::Dual,
    u"ITarvikTest Interface",
    {
        Put(u"StartNumberTest", 1, VT_I4, u"property StartNumberTest"),
        Get(u"ReadyToSend", 2, VT_BOOL, u"property ReadyToSend"),
        Put(u"ReadyToSend", 2, VT_BOOL, u"property ReadyToSend"),
        Get(u"Parity", 3, VT_BSTR, u"property Parity"),
        Put(u"Parity", 3, VT_BSTR, u"property Parity"),
        Get(u"BaudRate", 4, VT_I4, u"property BaudRate"),
        Put(u"BaudRate", 4, VT_I4, u"property BaudRate"),
        Get(u"DataBits", 5, VT_I2, u"property DataBits"),
        Put(u"DataBits", 5, VT_I2, u"property DataBits"),
        Get(u"StopBits", 6, VT_R4, u"property StopBits"),
        Put(u"StopBits", 6, VT_R4, u"property StopBits"),
        Get(u"ParityCheck", 7, VT_BOOL, u"property ParityCheck"),
        Put(u"ParityCheck", 7, VT_BOOL, u"property ParityCheck"),
        Method(u"WriteToPort", 8, {{u"strToWrite", VT_BSTR, kIn}}, u"method WriteToPort"),
        Get(u"StateDSR", 9, VT_BOOL, u"property DSR state."),
        Get(u"StateCTS", 10, VT_BOOL, u"property CTS state."),
    }};

const InterfaceDesc kITarvikEvents{
    u"_ITarvikEvents",
    DIID__ITarvikEvents,
    InterfaceKind::DispInterface,
    u"_ITarvikEvents Interface",
    {
        Method(u"StartNumberRequest", 1, {{u"StartNumber", VT_I4, kIn}},
               u"Fired when correct start number read from 'startpost' device"),
        Method(u"StartNumberFault", 2, {{u"ErrorCode", VT_I4, kIn}, {u"ErrorMessage", VT_BSTR, kIn}},
               u"Fired on read error. Codes: 1: Illegal startpost id, 2: 1st byte <> 2nd byte, 3: Inter character "
               u"timeout. ErrorMessage contains a description of the error."),
        Method(u"SystemError", 4, {{u"ErrorMessage", VT_BSTR, kIn}},
               u"Fired when system error occurs. ErrorMessage contains a description of the detected error."),
        Method(u"StartPostStateChanged", 5, {{u"state", VT_BOOL, kIn}},
               u"Fired when StartPostStateChanged (i.e. DSR)"),
        Method(u"FinishPostStateChanged", 6, {{u"state", VT_BOOL, kIn}},
               u"Fired when FinishPostStateChanged (i.e. CTS)"),
        Method(u"BatteryTestReady", 7, {{u"DeviceSelector", VT_BSTR, kIn}, {u"Voltage", VT_R4, kIn}},
               u"Fired when BatteryTestReady"),
    }};

const InterfaceDesc kITarvikTestEvents{
    u"_ITarvikTestEvents",
    DIID__ITarvikTestEvents,
    InterfaceKind::DispInterface,
    u"_ITarvikTestEvents Interface",
    {
        Method(u"SP_PortOpened", 1, {}, u"Fired when port has been succesfully opened."),
        Method(u"SP_PortClosed", 2, {}, u"Fired when port has been succesfully closed."),
        Method(u"SP_Reset", 3, {}, u"Fired when port has been succesfully reset."),
        Method(u"InputReceived", 4, {{u"message", VT_BSTR, kIn}},
               u"Fired when input data from port has been received, message contains received data."),
    }};

// What a name of the lookup table stands for: a member or accessor name its
// DISPID, a parameter name its position (a name shared by a property and a
// parameter is the property's).
DISPID IdOfName(const InterfaceDesc& desc, LPCOLESTR name) {
    for (const auto& m : desc.members)
        if (platform::EqualNoCase(m.name, name)) return m.dispid;
    const std::u16string text(name);
    if (text.size() > 4 && (text.compare(0, 4, u"get_") == 0 || text.compare(0, 4, u"put_") == 0))
        for (const auto& m : desc.members)
            if (platform::EqualNoCase(m.name, name + 4)) return m.dispid;
    for (const auto& m : desc.members)
        for (std::size_t k = 0; k < m.params.size(); ++k)
            if (m.params[k].name && platform::EqualNoCase(m.params[k].name, name)) return static_cast<DISPID>(k);
    return 0;  // newVal: the unnamed value of a setter, position 0
}

std::vector<NameEntry> Names(const InterfaceDesc& desc, std::initializer_list<LPCOLESTR> names) {
    std::vector<NameEntry> table;
    for (LPCOLESTR name : names) table.push_back({name, IdOfName(desc, name)});
    return table;
}

}  // namespace

const InterfaceContract& ITarvikContract() {
    static const InterfaceContract contract{
        kITarvik,
        Names(kITarvik,
              {u"PortNumber", u"Status", u"Open", u"Close", u"ResetStartPost", u"StartNumber", u"StartNumberOK",
               u"PortNumber", u"pVal", u"get_PortNumber", u"StartNumber", u"get_StartNumber",
               u"InterCharacterTimeout", u"get_InterCharacterTimeout", u"put_InterCharacterTimeout", u"StateDTR",
               u"get_StateDTR", u"put_StateDTR", u"StateStartPost", u"get_StateStartPost", u"StateFinishPost",
               u"get_StateFinishPost", u"DeviceSelector", u"StartBatteryTest"}),
        2, NamedArguments::ByPosition};
    return contract;
}

const InterfaceContract& ITarvikTestContract() {
    static const InterfaceContract contract{
        kITarvikTest,
        Names(kITarvikTest,
              {u"StartNumberTest", u"newVal", u"put_StartNumberTest", u"ReadyToSend", u"pVal", u"get_ReadyToSend",
               u"put_ReadyToSend", u"Parity", u"get_Parity", u"put_Parity", u"BaudRate", u"get_BaudRate",
               u"put_BaudRate", u"DataBits", u"get_DataBits", u"put_DataBits", u"StopBits", u"get_StopBits",
               u"put_StopBits", u"ParityCheck", u"get_ParityCheck", u"put_ParityCheck", u"strToWrite",
               u"WriteToPort", u"StateDSR", u"get_StateDSR", u"StateCTS", u"get_StateCTS"}),
        1, NamedArguments::Ignored};
    return contract;
}

const InterfaceContract& ITarvikEventsContract() {
    static const InterfaceContract contract{
        kITarvikEvents,
        Names(kITarvikEvents, {u"StartNumberRequest", u"StartNumberFault", u"SystemError", u"StartPostStateChanged",
                               u"FinishPostStateChanged", u"BatteryTestReady"}),
        2, NamedArguments::OnlyPropertyPut};
    return contract;
}

const InterfaceContract& ITarvikTestEventsContract() {
    static const InterfaceContract contract{
        kITarvikTestEvents,
        Names(kITarvikTestEvents, {u"SP_PortOpened", u"SP_PortClosed", u"SP_Reset", u"message", u"InputReceived"}),
        1, NamedArguments::Ignored};
    return contract;
}

const InterfaceContract* ContractFor(REFIID iid) {
    for (const InterfaceContract* c : {&ITarvikContract(), &ITarvikTestContract(), &ITarvikEventsContract(),
                                       &ITarvikTestEventsContract()})
        if (c->desc.iid == iid) return c;
    return nullptr;
}

// clang-format on

const platform::CoclassDesc& CTarvikClass() {
    static const platform::CoclassDesc coclass{u"CTarvik",
                                               CLSID_CTarvik,
                                               u"Tarvik Class",
                                               {{&kITarvik, IMPLTYPEFLAG_FDEFAULT},
                                                {&kITarvikTest, 0},
                                                {&kITarvikEvents, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE},
                                                {&kITarvikTestEvents, IMPLTYPEFLAG_FSOURCE}}};
    return coclass;
}

const platform::LibraryDesc& TrelvaneLibrary() {
    static const platform::LibraryDesc library{u"Trelvane",
                                               LIBID_Trelvane,
                                               1,
                                               0,
                                               u"Trelvane 1.0 Type Library",
                                               {&kITarvik, &kITarvikTest, &kITarvikEvents, &kITarvikTestEvents},
                                               {&CTarvikClass()}};
    return library;
}

HRESULT LoadTrelvaneTypeLib(ITypeLib** library) {
    if (library == nullptr) return E_POINTER;
    static std::mutex mutex;
    static ITypeLib* loaded = nullptr;  // kept for the process's life, as a loaded library is
    std::lock_guard lock(mutex);
    if (!loaded)
        if (HRESULT hr = platform::CreateTypeLibFromDesc(TrelvaneLibrary(), &loaded); FAILED(hr)) return hr;
    loaded->AddRef();
    *library = loaded;
    return S_OK;
}

}  // namespace trelvane::contract
