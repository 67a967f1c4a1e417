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
    return {name, MemberKind::PropertyGet, id, {{TEXT("pVal"), static_cast<VARTYPE>(VT_BYREF | type), kRetval}}, help};
}
MemberDesc Put(LPCOLESTR name, DISPID id, VARTYPE type, LPCOLESTR help) {
    return {name, MemberKind::PropertyPut, id, {{nullptr, type, kIn}}, help};
}

// The contract's tables, laid out as tables.
// clang-format off
const InterfaceDesc kITarvik{
    TEXT("ITarvik"),
    IID_ITarvik,
    InterfaceKind::Dual,
    TEXT("ITarvik Interface"),
    {
        Method(TEXT("Open"), 1, {{TEXT("PortNumber"), VT_I4, kIn}, {TEXT("Status"), VT_BYREF | VT_I4, kOut}},
               TEXT("Open 'startpost' device, status: 0: success. On error event SystemError will be raised, status ")
               TEXT("contains indication about error. 1: opening, 2 port setting, 3: event mask, 4: COM state, 5: Set ")
               TEXT("RTS.")),
        Method(TEXT("Close"), 2, {}, TEXT("Close 'startpost' device")),
        Method(TEXT("ResetStartPost"), 3, {}, TEXT("Reset 'startpost' device")),
        Method(TEXT("StartNumberOK"), 4, {{TEXT("StartNumber"), VT_I4, kIn}},
               TEXT("Confirm start number received by StartNumberRequest(), if the supplied number matches the number ")
               TEXT("received from the device an acknowledge will be sent to the device, otherwise S_FALSE will be ")
               TEXT("returned.")),
        Get(TEXT("PortNumber"), 5, VT_I4,
            TEXT("Returns the com port number to which the 'startpost' device has been connected, -1 if not connected.")),
        Get(TEXT("StartNumber"), 6, VT_I4,
            TEXT("Returns the number last received from the 'startpost' device, -1 if non received.")),
        Get(TEXT("InterCharacterTimeout"), 9, VT_I4,
            TEXT("Use this to get/set the maximum allowed time, in millisecond, between receiving bytes from the ")
            TEXT("'startpost' device. Default value is 1500 ms.")),
        Put(TEXT("InterCharacterTimeout"), 9, VT_I4,
            TEXT("Use this to get/set the maximum allowed time, in millisecond, between receiving bytes from the ")
            TEXT("'startpost' device. Default value is 1500 ms.")),
        Get(TEXT("StateDTR"), 10, VT_BOOL, TEXT("property StateDTR")),
        Put(TEXT("StateDTR"), 10, VT_BOOL, TEXT("property StateDTR")),
        Get(TEXT("StateStartPost"), 11, VT_BOOL, TEXT("property StateStartPost get the DSR state")),
        Get(TEXT("StateFinishPost"), 12, VT_BOOL, TEXT("property StateFinishPost get CTS state")),
        Method(TEXT("StartBatteryTest"), 13, {{TEXT("DeviceSelector"), VT_BSTR, kIn}}, TEXT("method StartBatteryTest")),
    }};

const InterfaceDesc kITarvikTest{
    TEXT("ITarvikTest"),
    IID_ITarvikTest,
    InterfaceKind::Dual,
    TEXT("ITarvikTest Interface"),
    {
        Put(TEXT("StartNumberTest"), 1, VT_I4, TEXT("property StartNumberTest")),
        Get(TEXT("ReadyToSend"), 2, VT_BOOL, TEXT("property ReadyToSend")),
        Put(TEXT("ReadyToSend"), 2, VT_BOOL, TEXT("property ReadyToSend")),
        Get(TEXT("Parity"), 3, VT_BSTR, TEXT("property Parity")),
        Put(TEXT("Parity"), 3, VT_BSTR, TEXT("property Parity")),
        Get(TEXT("BaudRate"), 4, VT_I4, TEXT("property BaudRate")),
        Put(TEXT("BaudRate"), 4, VT_I4, TEXT("property BaudRate")),
        Get(TEXT("DataBits"), 5, VT_I2, TEXT("property DataBits")),
        Put(TEXT("DataBits"), 5, VT_I2, TEXT("property DataBits")),
        Get(TEXT("StopBits"), 6, VT_R4, TEXT("property StopBits")),
        Put(TEXT("StopBits"), 6, VT_R4, TEXT("property StopBits")),
        Get(TEXT("ParityCheck"), 7, VT_BOOL, TEXT("property ParityCheck")),
        Put(TEXT("ParityCheck"), 7, VT_BOOL, TEXT("property ParityCheck")),
        Method(TEXT("WriteToPort"), 8, {{TEXT("strToWrite"), VT_BSTR, kIn}}, TEXT("method WriteToPort")),
        Get(TEXT("StateDSR"), 9, VT_BOOL, TEXT("property DSR state.")),
        Get(TEXT("StateCTS"), 10, VT_BOOL, TEXT("property CTS state.")),
    }};

const InterfaceDesc kITarvikEvents{
    TEXT("_ITarvikEvents"),
    DIID__ITarvikEvents,
    InterfaceKind::DispInterface,
    TEXT("_ITarvikEvents Interface"),
    {
        Method(TEXT("StartNumberRequest"), 1, {{TEXT("StartNumber"), VT_I4, kIn}},
               TEXT("Fired when correct start number read from 'startpost' device")),
        Method(TEXT("StartNumberFault"), 2, {{TEXT("ErrorCode"), VT_I4, kIn}, {TEXT("ErrorMessage"), VT_BSTR, kIn}},
               TEXT("Fired on read error. Codes: 1: Illegal startpost id, 2: 1st byte <> 2nd byte, 3: Inter character ")
               TEXT("timeout. ErrorMessage contains a description of the error.")),
        Method(TEXT("SystemError"), 4, {{TEXT("ErrorMessage"), VT_BSTR, kIn}},
               TEXT("Fired when system error occurs. ErrorMessage contains a description of the detected error.")),
        Method(TEXT("StartPostStateChanged"), 5, {{TEXT("state"), VT_BOOL, kIn}},
               TEXT("Fired when StartPostStateChanged (i.e. DSR)")),
        Method(TEXT("FinishPostStateChanged"), 6, {{TEXT("state"), VT_BOOL, kIn}},
               TEXT("Fired when FinishPostStateChanged (i.e. CTS)")),
        Method(TEXT("BatteryTestReady"), 7, {{TEXT("DeviceSelector"), VT_BSTR, kIn}, {TEXT("Voltage"), VT_R4, kIn}},
               TEXT("Fired when BatteryTestReady")),
    }};

const InterfaceDesc kITarvikTestEvents{
    TEXT("_ITarvikTestEvents"),
    DIID__ITarvikTestEvents,
    InterfaceKind::DispInterface,
    TEXT("_ITarvikTestEvents Interface"),
    {
        Method(TEXT("SP_PortOpened"), 1, {}, TEXT("Fired when port has been succesfully opened.")),
        Method(TEXT("SP_PortClosed"), 2, {}, TEXT("Fired when port has been succesfully closed.")),
        Method(TEXT("SP_Reset"), 3, {}, TEXT("Fired when port has been succesfully reset.")),
        Method(TEXT("InputReceived"), 4, {{TEXT("message"), VT_BSTR, kIn}},
               TEXT("Fired when input data from port has been received, message contains received data.")),
    }};

// What a name of the lookup table stands for: a member or accessor name its
// DISPID, a parameter name its position (a name shared by a property and a
// parameter is the property's).
DISPID IdOfName(const InterfaceDesc& desc, LPCOLESTR name) {
    for (const auto& m : desc.members)
        if (platform::EqualNoCase(m.name, name)) return m.dispid;
    const platform::WString text(name);
    if (text.size() > 4 && (text.compare(0, 4, TEXT("get_")) == 0 || text.compare(0, 4, TEXT("put_")) == 0))
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
              {TEXT("PortNumber"), TEXT("Status"), TEXT("Open"), TEXT("Close"), TEXT("ResetStartPost"), TEXT("StartNumber"), TEXT("StartNumberOK"),
               TEXT("PortNumber"), TEXT("pVal"), TEXT("get_PortNumber"), TEXT("StartNumber"), TEXT("get_StartNumber"),
               TEXT("InterCharacterTimeout"), TEXT("get_InterCharacterTimeout"), TEXT("put_InterCharacterTimeout"), TEXT("StateDTR"),
               TEXT("get_StateDTR"), TEXT("put_StateDTR"), TEXT("StateStartPost"), TEXT("get_StateStartPost"), TEXT("StateFinishPost"),
               TEXT("get_StateFinishPost"), TEXT("DeviceSelector"), TEXT("StartBatteryTest")}),
        2, NamedArguments::ByPosition};
    return contract;
}

const InterfaceContract& ITarvikTestContract() {
    static const InterfaceContract contract{
        kITarvikTest,
        Names(kITarvikTest,
              {TEXT("StartNumberTest"), TEXT("newVal"), TEXT("put_StartNumberTest"), TEXT("ReadyToSend"), TEXT("pVal"), TEXT("get_ReadyToSend"),
               TEXT("put_ReadyToSend"), TEXT("Parity"), TEXT("get_Parity"), TEXT("put_Parity"), TEXT("BaudRate"), TEXT("get_BaudRate"),
               TEXT("put_BaudRate"), TEXT("DataBits"), TEXT("get_DataBits"), TEXT("put_DataBits"), TEXT("StopBits"), TEXT("get_StopBits"),
               TEXT("put_StopBits"), TEXT("ParityCheck"), TEXT("get_ParityCheck"), TEXT("put_ParityCheck"), TEXT("strToWrite"),
               TEXT("WriteToPort"), TEXT("StateDSR"), TEXT("get_StateDSR"), TEXT("StateCTS"), TEXT("get_StateCTS")}),
        1, NamedArguments::Ignored};
    return contract;
}

const InterfaceContract& ITarvikEventsContract() {
    static const InterfaceContract contract{
        kITarvikEvents,
        Names(kITarvikEvents, {TEXT("StartNumberRequest"), TEXT("StartNumberFault"), TEXT("SystemError"), TEXT("StartPostStateChanged"),
                               TEXT("FinishPostStateChanged"), TEXT("BatteryTestReady")}),
        2, NamedArguments::OnlyPropertyPut};
    return contract;
}

const InterfaceContract& ITarvikTestEventsContract() {
    static const InterfaceContract contract{
        kITarvikTestEvents,
        Names(kITarvikTestEvents, {TEXT("SP_PortOpened"), TEXT("SP_PortClosed"), TEXT("SP_Reset"), TEXT("message"), TEXT("InputReceived")}),
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
    static const platform::CoclassDesc coclass{TEXT("CTarvik"),
                                               CLSID_CTarvik,
                                               TEXT("Tarvik Class"),
                                               {{&kITarvik, IMPLTYPEFLAG_FDEFAULT},
                                                {&kITarvikTest, 0},
                                                {&kITarvikEvents, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE},
                                                {&kITarvikTestEvents, IMPLTYPEFLAG_FSOURCE}}};
    return coclass;
}

const platform::LibraryDesc& TrelvaneLibrary() {
    static const platform::LibraryDesc library{TEXT("Trelvane"),
                                               LIBID_Trelvane,
                                               1,
                                               0,
                                               TEXT("Trelvane 1.0 Type Library"),
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
        if (HRESULT hr = platform::LoadTypeLibOfDesc(TrelvaneLibrary(), &loaded); FAILED(hr)) return hr;
    loaded->AddRef();
    *library = loaded;
    return S_OK;
}

}  // namespace trelvane::contract
