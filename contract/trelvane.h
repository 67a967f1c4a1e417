// The automation contract of Trelvane as C++ sees it: identities and the two
// dual interfaces in vtable order. The event dispinterfaces have only
// IDispatch's members.
//
// The interfaces and their identities are at global scope, where a client on
// Windows finds them in the header generated from the type library; what else
// the contract holds is in trelvane::contract, which names the identities too.
#pragma once

#include "platform/windows.h"

// Fixed for ever: clients and registrations depend on them.
inline constexpr GUID LIBID_Trelvane{0x8C1371A5, 0xF4AC, 0x45C5, {0x9A, 0xB2, 0x80, 0xBD, 0x05, 0x16, 0xF6, 0x6B}};
inline constexpr CLSID CLSID_CTarvik{0x979033AA, 0xC8F3, 0x4158, {0xA7, 0x97, 0x25, 0x51, 0x64, 0xFE, 0xA4, 0x39}};
inline constexpr IID IID_ITarvik{0x59476687, 0xFA86, 0x44BA, {0xBC, 0x66, 0x34, 0xAB, 0x9C, 0xD0, 0x68, 0x29}};
inline constexpr IID IID_ITarvikTest{0xB9787A24, 0x0D66, 0x4706, {0xA1, 0xBE, 0x95, 0x41, 0x38, 0x20, 0xE9, 0xFB}};
inline constexpr IID DIID__ITarvikEvents{0x7475B3C9, 0xA9F5, 0x418B, {0xB3, 0x77, 0x26, 0x77, 0x22, 0x65, 0x3A, 0x58}};
inline constexpr IID DIID__ITarvikTestEvents{
    0xCBC1E9F1, 0x975A, 0x4611, {0x85, 0x91, 0x25, 0xAD, 0x22, 0x56, 0xDA, 0x0E}};

struct ITarvik : IDispatch {
    virtual HRESULT Open(LONG PortNumber, LONG* Status) = 0;
    virtual HRESULT Close() = 0;
    virtual HRESULT ResetStartPost() = 0;
    virtual HRESULT StartNumberOK(LONG StartNumber) = 0;
    virtual HRESULT get_PortNumber(LONG* pVal) = 0;
    virtual HRESULT get_StartNumber(LONG* pVal) = 0;
    virtual HRESULT get_InterCharacterTimeout(LONG* pVal) = 0;
    virtual HRESULT put_InterCharacterTimeout(LONG newVal) = 0;
    virtual HRESULT get_StateDTR(VARIANT_BOOL* pVal) = 0;
    virtual HRESULT put_StateDTR(VARIANT_BOOL newVal) = 0;
    virtual HRESULT get_StateStartPost(VARIANT_BOOL* pVal) = 0;
    virtual HRESULT get_StateFinishPost(VARIANT_BOOL* pVal) = 0;
    virtual HRESULT StartBatteryTest(BSTR DeviceSelector) = 0;
};

struct ITarvikTest : IDispatch {
    virtual HRESULT put_StartNumberTest(LONG newVal) = 0;
    virtual HRESULT get_ReadyToSend(VARIANT_BOOL* pVal) = 0;
    virtual HRESULT put_ReadyToSend(VARIANT_BOOL newVal) = 0;
    virtual HRESULT get_Parity(BSTR* pVal) = 0;
    virtual HRESULT put_Parity(BSTR newVal) = 0;
    virtual HRESULT get_BaudRate(LONG* pVal) = 0;
    virtual HRESULT put_BaudRate(LONG newVal) = 0;
    virtual HRESULT get_DataBits(SHORT* pVal) = 0;
    virtual HRESULT put_DataBits(SHORT newVal) = 0;
    virtual HRESULT get_StopBits(FLOAT* pVal) = 0;
    virtual HRESULT put_StopBits(FLOAT newVal) = 0;
    virtual HRESULT get_ParityCheck(VARIANT_BOOL* pVal) = 0;
    virtual HRESULT put_ParityCheck(VARIANT_BOOL newVal) = 0;
    virtual HRESULT WriteToPort(BSTR strToWrite) = 0;
    virtual HRESULT get_StateDSR(VARIANT_BOOL* pVal) = 0;
    virtual HRESULT get_StateCTS(VARIANT_BOOL* pVal) = 0;
};

struct _ITarvikEvents : IDispatch {};
struct _ITarvikTestEvents : IDispatch {};

namespace trelvane::contract {

using ::CLSID_CTarvik;
using ::DIID__ITarvikEvents;
using ::DIID__ITarvikTestEvents;
using ::IID_ITarvik;
using ::IID_ITarvikTest;
using ::LIBID_Trelvane;
// The server's AppID, as fixed as the rest.
inline constexpr GUID APPID_Trelvane = LIBID_Trelvane;

// The Status that ITarvik::Open reports: Opened with S_OK, otherwise the step
// that failed, with S_FALSE and a SystemError that says why.
enum class OpenStatus : LONG {
    Opened = 0,
    PortNotOpened = 1,
    LineSettingsRefused = 2,
    EventMaskRefused = 3,
    LineSettingsUnread = 4,
    RtsNotSwitchedOff = 5,
    DtrNotSwitchedOff = 6,
};

// Registers how the contract's interfaces cross between processes (their
// proxies and stubs, and the type library). It runs as every program that
// includes this header starts, as an installed proxy would be found.
bool RegisterProxyStubs();
inline const bool g_proxyStubsRegistered = RegisterProxyStubs();

}  // namespace trelvane::contract

// Clients written for 1.0 name the contract's names as contract::IID_ITarvik.
namespace contract = trelvane::contract;
